// The service loop, the dispatcher and the connection request.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/auth.h"
#include "service/handlers.h"
#include "service/protocol.h"

char requestbuf[MAX_MESSAGE];
char replybuf[MAX_MESSAGE];

namespace {

// One row per standard call, in call-number order; 4 is no call and ends the service.
constexpr CallRow CALL_ROWS[] = {
    {CALL_CONNECTION,     "Connection",    Connection},
    {CALL_OPEN,           "open",          RemoteOpen},
    {CALL_READ,           "read",          RemoteRead},
    {CALL_WRITE,          "write",         RemoteWrite},
    {CALL_NONE,           nullptr,         UnknownCall},
    {CALL_LSEEK,          "lseek",         RemoteLseek},
    {CALL_CLOSE,          "close",         RemoteClose},
    {CALL_OPENDIR,        "opendir",       RemoteOpendir},
    {CALL_READDIR,        "readdir",       RemoteReaddir},
    {CALL_REWINDDIR,      "rewinddir",     RemoteRewinddir},
    {CALL_CLOSEDIR,       "closedir",      RemoteClosedir},
    {CALL_GETENV,         "getenv",        RemoteGetenv},
    {CALL_GETTIMEOFDAY,   "gettimeofday",  RemoteGettimeofday},
    {CALL_GETUID,         "getuid",        RemoteGetuid},
    {CALL_GETGID,         "getgid",        RemoteGetgid},
    {CALL_GETEUID,        "geteuid",       RemoteGeteuid},
    {CALL_GETEGID,        "getegid",       RemoteGetegid},
    {CALL_ACCESS,         "access",        RemoteAccess},
    {CALL_STAT,           "stat",          RemoteStat},
    {CALL_LINK,           "link",          RemoteLink},
    {CALL_UNLINK,         "unlink",        RemoteUnlink},
    {CALL_MKDIR,          "mkdir",         RemoteMkdir},
    {CALL_RMDIR,          "rmdir",         RemoteRmdir},
    {CALL_FORKNEXEC,      "ForkNExec",     RemoteForkNExec},
    {CALL_CHMOD,          "chmod",         RemoteChmod},
    {CALL_GETCWD,         "getcwd",        RemoteGetcwd},
    {CALL_CHDIR,          "chdir",         RemoteChdir},
    {CALL_GETLOGIN,       "getlogin",      RemoteGetlogin},
    {CALL_GETHOSTNAME,    "gethostname",   RemoteGethostname},
    {CALL_GETHOSTBYNAME,  "gethostbyname", RemoteGethost},
    {CALL_GETHOSTBYADDR,  "gethostbyaddr", RemoteGethost},
    {CALL_SYMLINK,        "symlink",       RemoteLink},
    {CALL_LSTAT,          "lstat",         RemoteStat},
    {CALL_READLINK,       "readlink",      RemoteReadlink},
    {CALL_FSTAT,          "fstat",         RemoteStat},
    {CALL_SETENV,         "setenv",        RemoteSetenv},
    {CALL_FORK,           "fork",          RemoteFork},
    {CALL_EXECVE,         "execve",        RemoteExecve},
    {CALL_EXECVP,         "execvp",        RemoteExecvp},
    {CALL_EXIT,           "_exit",         RemoteExit},
    {CALL_DUP2,           "dup2",          RemoteDup2},
    {CALL_GETSERVBYNAME,  "getservbyname", RemoteGetservbyname},
    {CALL_PEERPIPE,       "peerpipe",      RemotePeerpipe},
    {CALL_SETPGID,        "setpgid",       RemoteSetpgid},
    {CALL_SETSID,         "setsid",        RemoteSetsid},
    {CALL_GETPGRP,        "getpgrp",       RemoteGetpgrp},
    {CALL_GETPID,         "getpid",        RemoteGetpid},
    {CALL_GETPPID,        "getppid",       RemoteGetppid},
};

static_assert(std::size(CALL_ROWS) == NUM_CALLS, "every standard call needs its row");

constexpr bool RowsMatchTheWire()
{
    for (int i = 0; i < NUM_CALLS; i++) {
        const CallRow &row = CALL_ROWS[i];
        if (row.call != i || std::string_view(row.name ? row.name : "") != std::string_view(CallName(i) ? CallName(i) : ""))
            return false;
    }
    return true;
}
static_assert(RowsMatchTheWire(), "a row is out of order or carries another name");

// Extension calls above 47, served only while the option of their range is set; every other
// number ends the service. A family of extension calls adds its rows in its own source file
// and one range here. The first entry is empty.
struct ExtensionRange {
    const CallRow *rows;
    int count;
    const int Settings::*option;
};

constexpr ExtensionRange EXTENSIONS[] = {
    {nullptr, 0, nullptr},
    {FILE_EXTENSION_ROWS, NUM_FILE_EXTENSIONS, &Settings::extensions},
};

Handler FindHandler(int call)
{
    if (call < NUM_CALLS)
        return CALL_ROWS[call].handler;
    for (const ExtensionRange &range : EXTENSIONS) {
        if (range.count == 0 || !(settings.*range.option))
            continue;
        for (int i = 0; i < range.count; i++)
            if (range.rows[i].call == call)
                return range.rows[i].handler;
    }
    return UnknownCall;
}

} // namespace

char *UnknownCall(int, char *request)
{
    Error("Unknown function call %d\n", MsgCall(request));
    exit(1);
}

char *Connection(int, char *request)
{
    Verbose("Request: Connection\n");
    if (static_cast<uint32_t>(GetWord(request, 1)) != PROTOCOL_MAGIC) {
        Verbose("Swapping the requests\n");
        settings.swaprequest = settings.swaprequest ? 0 : 1;
        SwapRequest(request);
    }
    if (static_cast<uint32_t>(GetWord(request, 1)) != PROTOCOL_MAGIC || GetWord(request, 2) != PROTOCOL_VERSION ||
        MsgLength(request) != 16) {
        Error("Connection failed, unknown protocol\n");
        exit(1);
    }
    SetLength(replybuf, 16);
    PutWord(replybuf, 1, static_cast<int32_t>(PROTOCOL_MAGIC));
    PutWord(replybuf, 2, PROTOCOL_VERSION);
    PutWord(replybuf, 3, static_cast<int32_t>(static_cast<uint32_t>(GetWord(request, 3)) + 1u));
    return replybuf;
}

char *ProcessRequest(int connection, char *request)
{
    int call = MsgCall(request);
    replybuf[2] = request[2];
    TraceReset();
    return FindHandler(call)(connection, request);
}

namespace {

// Requests that arrive together are read together and their replies written together. Only
// whole requests are taken from the connection, and none past a call that may hand the
// connection to another process or end the service; every waiting reply is written before a
// call that may block or end the service, and before the agent waits for input.
constexpr int BUFFERED = 4 * MAX_MESSAGE;
char inbuf[BUFFERED];
int inStart, inEnd; // whole requests taken from the connection and not yet served
char outbuf[BUFFERED];
int outUsed;

// Calls that wait on nothing outside the agent and never end the service: their replies may
// stay in the output buffer while the requests behind them are served.
constexpr std::array<bool, MAX_CALLS> MakeQuick()
{
    std::array<bool, MAX_CALLS> quick{};
    for (int call : {CALL_LSEEK,   CALL_CLOSE,     CALL_OPENDIR,  CALL_READDIR,  CALL_REWINDDIR, CALL_CLOSEDIR,
                     CALL_GETENV,  CALL_GETTIMEOFDAY, CALL_GETUID, CALL_GETGID,  CALL_GETEUID,   CALL_GETEGID,
                     CALL_ACCESS,  CALL_STAT,      CALL_LINK,     CALL_UNLINK,   CALL_MKDIR,     CALL_RMDIR,
                     CALL_CHMOD,   CALL_GETCWD,    CALL_CHDIR,    CALL_GETLOGIN, CALL_GETHOSTNAME, CALL_SYMLINK,
                     CALL_LSTAT,   CALL_READLINK,  CALL_FSTAT,    CALL_SETENV,   CALL_DUP2,      CALL_SETPGID,
                     CALL_SETSID,  CALL_GETPGRP,   CALL_GETPID,   CALL_GETPPID})
        quick[static_cast<size_t>(call)] = true;
    return quick;
}
constexpr std::array<bool, MAX_CALLS> QUICK = MakeQuick();

// Calls behind which no byte is read ahead: the connection request (it may change the byte
// order), the calls that hand the connection over or end the service, and numbers not served.
bool IsBoundary(int call)
{
    return call == CALL_CONNECTION || call == CALL_FORK || call == CALL_EXECVE || call == CALL_EXECVP ||
           call == CALL_EXIT || FindHandler(call) == UnknownCall;
}

bool IsQuick(int call) { return QUICK[static_cast<size_t>(call)] && FindHandler(call) != UnknownCall; }

void FlushReplies(int connection)
{
    if (outUsed > 0 && local_writex(connection, outbuf, outUsed) != outUsed) {
        Error("Write failure\n");
        exit(1);
    }
    outUsed = 0;
}

// Sends a reply now, or keeps it while more requests are at hand.
void QueueReply(int connection, const char *reply, int length)
{
    bool more = inStart < inEnd;
    if (!more && outUsed == 0) {
        if (local_writex(connection, reply, length) != length) {
            Error("Write failure\n");
            exit(1);
        }
        return;
    }
    if (outUsed + length > BUFFERED)
        FlushReplies(connection);
    memcpy(outbuf + outUsed, reply, static_cast<size_t>(length));
    outUsed += length;
    if (!more)
        FlushReplies(connection);
}

// The length of the whole requests at the start of data, up to and including a boundary call.
int WholeRequests(const char *data, int available)
{
    int pos = 0;
    while (available - pos >= 4) {
        int length = MsgLength(data + pos);
        if (settings.swaprequest)
            length = swaps(length);
        if (length > MAX_MESSAGE)
            break;
        int size = length < 4 ? 4 : length;
        if (size > available - pos)
            break;
        int call = MsgCall(data + pos);
        pos += size;
        if (IsBoundary(call))
            break;
    }
    return pos;
}

// Reads one request straight into the request buffer, waiting for all of it.
void ReadOneRequest(int connection)
{
    long got = local_readx(connection, requestbuf, 4);
    if (got == 0) {
        Verbose("EOF\n");
        close(connection);
        exit(0);
    }
    if (got != 4) {
        Error("Trouble reading request\n");
        exit(1);
    }
    int length_in = MsgLength(requestbuf);
    if (settings.swaprequest)
        length_in = swaps(length_in);
    // Nothing past the request buffer is ever read: an oversized request ends the service.
    if (length_in > MAX_MESSAGE) {
        Error("Trouble reading request\n");
        exit(1);
    }
    if (length_in > 4 && local_readx(connection, requestbuf + 4, length_in - 4) != length_in - 4) {
        Error("Trouble reading request\n");
        exit(1);
    }
}

// Puts the next request into the request buffer, in host byte order.
void NextRequest(int connection)
{
    if (inStart == inEnd) {
        // Every reply has gone out. Whole requests that have arrived are taken at once; a
        // request that has not fully arrived, or a broken one, is read on its own as it comes.
        ssize_t seen;
        do
            seen = recv(connection, inbuf, BUFFERED, MSG_PEEK);
        while (seen < 0 && errno == EINTR);
        int whole = seen > 0 ? WholeRequests(inbuf, static_cast<int>(seen)) : 0;
        if (whole == 0 || local_readx(connection, inbuf, whole) != whole) {
            ReadOneRequest(connection);
            if (settings.swaprequest)
                SwapRequest(requestbuf);
            return;
        }
        inStart = 0;
        inEnd = whole;
    }
    int length = MsgLength(inbuf + inStart);
    if (settings.swaprequest)
        length = swaps(length);
    int size = length < 4 ? 4 : length;
    memcpy(requestbuf, inbuf + inStart, static_cast<size_t>(size));
    inStart += size;
    if (settings.swaprequest)
        SwapRequest(requestbuf);
}

// The service loop; an admitted connection has had its connection request answered already,
// so its loop begins with the next request.
void Serve(int connection, bool admitted)
{
    (void)GuardDescriptor(connection); // also checked by every call without the list
    inStart = inEnd = outUsed = 0;
    struct timeval start;
    gettimeofday(&start, nullptr);

    if (admitted) {
        if (!AwaitRequest(connection))
            EndIdleConnection(connection);
        NextRequest(connection);
    } else {
        long got = local_readx(connection, requestbuf, 16);
        if (got == 0) {
            Verbose("EOF\n");
            return;
        }
        if (got != 16) {
            Verbose("Connection length incorrect.\n");
            exit(1);
        }
    }
    for (;;) {
        if (settings.verbose) {
            struct timeval now;
            gettimeofday(&now, nullptr);
            double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                             static_cast<double>(now.tv_usec - start.tv_usec) / 1000000.0;
            Verbose("%.3g ", elapsed);
        }
        if (!IsQuick(MsgCall(requestbuf)))
            FlushReplies(connection);
        char *reply = ProcessRequest(connection, requestbuf);
        int length = MsgLength(reply);
        if (settings.swaprequest)
            SwapReply(reply);
        QueueReply(connection, reply, length);
        // Every reply has gone out when no request is at hand: the idle limit counts from there.
        if (inStart == inEnd && !AwaitRequest(connection))
            EndIdleConnection(connection);
        NextRequest(connection);
    }
}

} // namespace

void ServicePeer(int connection) { Serve(connection, false); }

void ServiceAdmittedPeer(int connection) { Serve(connection, true); }
