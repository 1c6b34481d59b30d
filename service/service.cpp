// The service loop, the dispatcher and the connection request.
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/auth.h"
#include "service/handlers.h"
#include "service/protocol.h"

char requestbuf[MAX_MESSAGE];
char replybuf[MAX_MESSAGE];

namespace {

constexpr Handler dispatch[NUM_CALLS] = {
    Connection,         // 0
    RemoteOpen,         // 1
    RemoteRead,         // 2
    RemoteWrite,        // 3
    nullptr,            // 4: no call
    RemoteLseek,        // 5
    RemoteClose,        // 6
    RemoteOpendir,      // 7
    RemoteReaddir,      // 8
    RemoteRewinddir,    // 9
    RemoteClosedir,     // 10
    RemoteGetenv,       // 11
    RemoteGettimeofday, // 12
    RemoteGetuid,       // 13
    RemoteGetgid,       // 14
    RemoteGeteuid,      // 15
    RemoteGetegid,      // 16
    RemoteAccess,       // 17
    RemoteStat,         // 18 stat
    RemoteLink,         // 19 link
    RemoteUnlink,       // 20
    RemoteMkdir,        // 21
    RemoteRmdir,        // 22
    RemoteForkNExec,    // 23
    RemoteChmod,        // 24
    RemoteGetcwd,       // 25
    RemoteChdir,        // 26
    RemoteGetlogin,     // 27
    RemoteGethostname,  // 28
    RemoteGethost,      // 29 gethostbyname
    RemoteGethost,      // 30 gethostbyaddr
    RemoteLink,         // 31 symlink
    RemoteStat,         // 32 lstat
    RemoteReadlink,     // 33
    RemoteStat,         // 34 fstat
    RemoteSetenv,       // 35
    RemoteFork,         // 36
    RemoteExecve,       // 37
    RemoteExecvp,       // 38
    RemoteExit,         // 39
    RemoteDup2,         // 40
    RemoteGetservbyname, // 41
    RemotePeerpipe,     // 42
    RemoteSetpgid,      // 43
    RemoteSetsid,       // 44
    RemoteGetpgrp,      // 45
    RemoteGetpid,       // 46
    RemoteGetppid,      // 47
};

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
    if (call >= NUM_CALLS || !dispatch[call])
        UnknownCall(connection, request);
    return dispatch[call](connection, request);
}

namespace {

// The service loop; an admitted connection has had its connection request answered already,
// so its loop begins with the next request.
void Serve(int connection, bool admitted)
{
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
