// The service loop and the dispatcher. What they know of each call comes from its row
// (service/calls.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <cstdlib>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/auth.h"
#include "service/calls.h"
#include "service/protocol.h"

namespace {

// The handler of a served call; every other number ends the service.
Handler FindHandler(int call)
{
    const CallRow *row = CallRowOf(call);
    return row && row->handler ? row->handler : UnknownCall;
}

} // namespace

char *UnknownCall(int, char *request)
{
    Error("Unknown function call %d\n", MsgCall(request));
    exit(1);
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

// Calls behind which no byte is read ahead: those that may change the byte order, hand the
// connection to another process or end the service, and numbers not served.
bool IsBoundary(int call)
{
    const CallRow *row = CallRowOf(call);
    return !row || !row->handler || (row->flags & HANDS_OVER);
}

// Calls whose replies may stay in the output buffer while the requests behind them are served.
bool IsQuick(int call)
{
    const CallRow *row = CallRowOf(call);
    return row && row->handler && !(row->flags & MAY_WAIT);
}

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
