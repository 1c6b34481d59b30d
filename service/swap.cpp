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

// Standard and extension calls; an extension call without words of its own has empty rows.
struct WordTables {
    uint16_t request[NUM_NAMED_CALLS];
    uint16_t reply[NUM_NAMED_CALLS];
};

constexpr WordTables MakeTables()
{
    WordTables t{};
    const uint16_t w12 = W(1) | W(2);
    const uint16_t w123 = W(1) | W(2) | W(3);
    for (int c : {CALL_OPEN, CALL_READ, CALL_WRITE, CALL_GETHOSTBYADDR, CALL_EXECVE, CALL_DUP2, CALL_SETPGID})
        t.request[c] = w12;
    for (int c : {CALL_CLOSE, CALL_READDIR, CALL_REWINDDIR, CALL_CLOSEDIR, CALL_ACCESS, CALL_MKDIR, CALL_CHMOD,
                  CALL_FORKNEXEC, CALL_FSTAT, CALL_SETENV, CALL_EXECVP, CALL_EXIT, CALL_PEERPIPE})
        t.request[c] = W(1);
    t.request[CALL_CONNECTION] = w123;
    t.request[CALL_LSEEK] = w123;

    t.reply[CALL_CONNECTION] = w123;
    for (int c : {CALL_OPEN,     CALL_READ,    CALL_WRITE,     CALL_LSEEK,    CALL_CLOSE,   CALL_OPENDIR,
                  CALL_READDIR,  CALL_REWINDDIR, CALL_CLOSEDIR, CALL_ACCESS,  CALL_LINK,    CALL_UNLINK,
                  CALL_MKDIR,    CALL_RMDIR,   CALL_FORKNEXEC, CALL_CHMOD,    CALL_GETCWD,  CALL_CHDIR,
                  CALL_SYMLINK,  CALL_READLINK, CALL_FORK,     CALL_EXECVE,   CALL_EXECVP,  CALL_DUP2,
                  CALL_PEERPIPE, CALL_SETPGID, CALL_SETSID,    CALL_GETPGRP,  CALL_GETPID,  CALL_GETPPID})
        t.reply[c] = w12;
    t.reply[CALL_GETENV] = W(1);
    t.reply[CALL_GETTIMEOFDAY] = W(1) | W(3) | W(4) | W(5) | W(6);
    for (int c : {CALL_GETUID, CALL_GETGID, CALL_GETEUID, CALL_GETEGID})
        t.reply[c] = W(1);
    uint16_t stat = 0;
    for (int i = 1; i <= 12; i++)
        stat = static_cast<uint16_t>(stat | W(i));
    t.reply[CALL_STAT] = t.reply[CALL_LSTAT] = t.reply[CALL_FSTAT] = stat;
    const uint16_t host = W(1) | W(2) | W(3) | W(4) | W(5);
    t.reply[CALL_GETHOSTBYNAME] = t.reply[CALL_GETHOSTBYADDR] = host;
    t.reply[CALL_GETSERVBYNAME] = W(1) | W(2) | W(3) | W(4);
    // The authentication exchange: the step word; result and error words (the rest is bytes).
    t.request[CALL_AUTH] = W(1);
    t.reply[CALL_AUTH] = w12;
    return t;
}

constexpr WordTables tables = MakeTables();
static_assert(tables.request[CALL_NONE] == 0 && tables.reply[CALL_NONE] == 0);
static_assert(tables.reply[CALL_GETLOGIN] == 0 && tables.reply[CALL_GETHOSTNAME] == 0 &&
              tables.reply[CALL_SETENV] == 0 && tables.reply[CALL_EXIT] == 0);

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
    if (call < NUM_CALLS || call == CALL_AUTH)
        SwapWords(request, tables.request[call]);
    else if (settings.extensions)
        SwapExtensionRequest(request);
}

void SwapReply(char *reply)
{
    int call = MsgCall(reply);
    if (call >= NUM_CALLS && call != CALL_AUTH && settings.extensions && SwapExtensionReply(reply)) {
        SetLength(reply, swaps(MsgLength(reply)));
        return;
    }
    if (call == CALL_NONE || (call >= NUM_CALLS && call != CALL_AUTH)) {
        Error("internal error, Unknown function call %d\n", call);
        exit(1);
    }
    SwapWords(reply, tables.reply[call]);
    SetLength(reply, swaps(MsgLength(reply)));
}
