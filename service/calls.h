// What the agent knows of each call, in one row per call number: its handler, which words of its
// request and reply are integers, and what the batched service loop must know of it. The rows
// stand in service/calls.cpp, one constant table per range of call numbers.
#pragma once
#include <cstdint>

#include "service/protocol.h"

// The integer words of a message, converted between byte orders: bit n stands for word n. A reply
// with records carries, behind its result and error words, word 1 records, each beginning with its
// own length in bytes and holding `records` integer words at its head.
struct Layout {
    uint32_t words;
    int records;
};

constexpr Layout operator|(Layout a, Layout b)
{
    return {a.words | b.words, a.records > b.records ? a.records : b.records};
}

// Words first to last.
constexpr Layout Words(int first, int last)
{
    Layout l{0, 0};
    for (int i = first; i <= last; i++)
        l.words |= 1u << i;
    return l;
}

constexpr Layout NO_WORDS = {0, 0};
constexpr Layout RESULT_ERROR = Words(1, 2);

// Records of `head` integer words (at most 32) behind the result and error words.
constexpr Layout Records(int head) { return {0, head}; }

// What the batched service loop must know of a call.
enum CallFlags : unsigned {
    // May wait on something outside the agent: every reply held back goes out before it runs.
    MAY_WAIT = 1u,
    // May change the byte order, hand the connection to another process or end the service:
    // nothing behind it is read ahead.
    HANDS_OVER = 2u,
};

struct CallRow {
    int call;
    Handler handler; // null: never dispatched (no call, or one the admission code answers)
    Layout request;
    Layout reply;
    unsigned flags;
};

// The row of a call number while its range is served (-x for the extension calls), or null.
const CallRow *CallRowOf(int call);

