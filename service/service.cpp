// The service loop, the dispatcher and the connection request.
#include <cstdio>
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

namespace {

int privatefds[MAX_PRIVATE];
int privatecount;

} // namespace

bool GuardDescriptor(int fd)
{
    if (IsPrivate(-1, fd))
        return true;
    if (privatecount == MAX_PRIVATE)
        return false;
    privatefds[privatecount++] = fd;
    return true;
}

void UnguardDescriptor(int fd)
{
    for (int i = 0; i < privatecount; i++)
        if (privatefds[i] == fd)
            privatefds[i--] = privatefds[--privatecount];
}

bool IsPrivate(int connection, int fd)
{
    if (fd < 0)
        return false;
    if (fd == connection)
        return true;
    for (int i = 0; i < privatecount; i++)
        if (privatefds[i] == fd)
            return true;
    return false;
}

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
    return FindHandler(call)(connection, request);
}

namespace {

// The service loop; an admitted connection has had its connection request answered already,
// so its loop begins with the next request.
void Serve(int connection, bool admitted)
{
    (void)GuardDescriptor(connection); // also checked by every call without the list
    struct timeval start;
    gettimeofday(&start, nullptr);

    long got;
    if (!admitted) {
        got = local_readx(connection, requestbuf, 16);
        if (got == 0) {
            Verbose("EOF\n");
            return;
        }
        if (got != 16) {
            Verbose("Connection length incorrect.\n");
            exit(1);
        }
    }
    for (bool pending = !admitted;; pending = true) {
        if (pending) {
            if (settings.verbose) {
                struct timeval now;
                gettimeofday(&now, nullptr);
                double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                                 static_cast<double>(now.tv_usec - start.tv_usec) / 1000000.0;
                Verbose("%.3g ", elapsed);
            }
            char *reply = ProcessRequest(connection, requestbuf);
            int length = MsgLength(reply);
            if (settings.swaprequest)
                SwapReply(reply);
            if (local_writex(connection, reply, length) != length) {
                Error("Write failure\n");
                exit(1);
            }
        }

        if (!AwaitRequest(connection))
            EndIdleConnection(connection);
        got = local_readx(connection, requestbuf, 4);
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
        if (settings.swaprequest)
            SwapRequest(requestbuf);
    }
}

} // namespace

void ServicePeer(int connection) { Serve(connection, false); }

void ServiceAdmittedPeer(int connection) { Serve(connection, true); }
