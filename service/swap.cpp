// Conversion between the wire byte order and the host's.
#include <cstdlib>

#include "common/settings.h"
#include "service/protocol.h"

int swaps(int value)
{
    unsigned v = static_cast<unsigned>(value) & 0xffffu;
    return static_cast<int>(((v & 0xffu) << 8) | (v >> 8));
}

uint32_t swapl(uint32_t value)
{
    return ((value & 0xffu) << 24) | ((value & 0xff00u) << 8) | ((value >> 8) & 0xff00u) | (value >> 24);
}

namespace {

// Words converted per call, as a bit mask: bit n stands for word n.
constexpr uint16_t W(int a) { return static_cast<uint16_t>(1u << a); }

struct WordTables {
    uint16_t request[NUM_CALLS];
    uint16_t reply[NUM_CALLS];
};

constexpr WordTables MakeTables()
{
    WordTables t{};
    const uint16_t w12 = W(1) | W(2);
    t.request[0] = W(1) | W(2) | W(3);
    t.request[1] = w12;
    t.request[2] = w12;
    t.request[3] = w12;
    t.request[5] = W(1) | W(2) | W(3);
    t.request[6] = W(1);
    t.request[8] = t.request[9] = t.request[10] = W(1);
    t.request[17] = W(1);
    t.request[21] = t.request[24] = W(1);
    t.request[23] = W(1);
    t.request[30] = w12;
    t.request[34] = W(1);
    t.request[35] = W(1);
    t.request[37] = w12;
    t.request[38] = W(1);
    t.request[39] = W(1);
    t.request[40] = w12;
    t.request[42] = W(1);
    t.request[43] = w12;

    t.reply[0] = W(1) | W(2) | W(3);
    const int plain[] = {1, 2, 3, 5, 6, 7, 8, 9, 10, 17, 19, 20, 21, 22, 23, 24, 25, 26, 31, 33,
                         36, 37, 38, 40, 42, 43, 44, 45, 46, 47};
    for (int c : plain)
        t.reply[c] = w12;
    t.reply[11] = W(1);
    t.reply[12] = W(1) | W(3) | W(4) | W(5) | W(6);
    t.reply[13] = t.reply[14] = t.reply[15] = t.reply[16] = W(1);
    uint16_t stat = 0;
    for (int i = 1; i <= 12; i++)
        stat = static_cast<uint16_t>(stat | W(i));
    t.reply[18] = t.reply[32] = t.reply[34] = stat;
    const uint16_t host = W(1) | W(2) | W(3) | W(4) | W(5);
    t.reply[29] = t.reply[30] = host;
    t.reply[41] = W(1) | W(2) | W(3) | W(4);
    return t;
}

constexpr WordTables tables = MakeTables();
static_assert(tables.request[4] == 0 && tables.reply[4] == 0);
static_assert(tables.reply[27] == 0 && tables.reply[28] == 0 && tables.reply[35] == 0 && tables.reply[39] == 0);

void SwapWords(char *msg, uint16_t mask)
{
    for (int i = 1; mask >> i; i++) {
        if (mask & W(i))
            PutWord(msg, i, static_cast<int32_t>(swapl(static_cast<uint32_t>(GetWord(msg, i)))));
    }
}

} // namespace

void SwapRequest(char *request)
{
    SetLength(request, swaps(MsgLength(request)));
    int call = MsgCall(request);
    if (call < NUM_CALLS)
        SwapWords(request, tables.request[call]);
    else if (settings.extensions)
        SwapExtensionRequest(request);
}

void SwapReply(char *reply)
{
    int call = MsgCall(reply);
    if (call >= NUM_CALLS && settings.extensions && ExtensionHandler(call)) {
        SwapExtensionReply(reply);
        SetLength(reply, swaps(MsgLength(reply)));
        return;
    }
    if (call == 4 || call >= NUM_CALLS) {
        Error("internal error, Unknown function call %d\n", call);
        exit(1);
    }
    SwapWords(reply, tables.reply[call]);
    SetLength(reply, swaps(MsgLength(reply)));
}
