// Conversion between the wire byte order and the host's. Which words of a message are integers
// is its call's row (service/calls.cpp); the header's length is converted as well.
#include <cstdlib>

#include "common/settings.h"
#include "service/calls.h"
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

// Converts the words of msg whose bits are set: bit n for word n.
void SwapWords(char *msg, uint32_t words)
{
    for (int i = 0; i < 32 && (words >> i); i++)
        if (words & (1u << i))
            PutWord(msg, i, static_cast<int32_t>(swapl(static_cast<uint32_t>(GetWord(msg, i)))));
}

// The records behind the result and error words of a reply in host byte order: each one's
// length is read before its head words are converted.
void SwapRecords(char *reply, int head)
{
    int length = MsgLength(reply);
    int count = GetWord(reply, 1);
    uint32_t words = Words(0, head - 1).words;
    int pos = 12;
    for (int i = 0; i < count && pos + 4 * head <= length; i++) {
        int reclen = GetWord(reply + pos, 0);
        SwapWords(reply + pos, words);
        if (reclen < 4 * head)
            break;
        pos += reclen;
    }
}

} // namespace

void SwapRequest(char *request)
{
    SetLength(request, swaps(MsgLength(request)));
    if (const CallRow *row = CallRowOf(MsgCall(request)))
        SwapWords(request, row->request.words);
}

void SwapReply(char *reply)
{
    int call = MsgCall(reply);
    const CallRow *row = CallRowOf(call);
    if (!row || !CallName(call)) { // 4 is no call
        Error("internal error, Unknown function call %d\n", call);
        exit(1);
    }
    if (row->reply.records > 0)
        SwapRecords(reply, row->reply.records);
    SwapWords(reply, row->reply.words);
    SetLength(reply, swaps(MsgLength(reply)));
}
