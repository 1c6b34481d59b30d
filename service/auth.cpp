// Admission of a connection: the connection request and the authentication exchange (call 48)
// within a deadline, and the idle limit. Used only when -a, -k, -i or -I is given.
#include "service/auth.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/protocol.h"

#if HOSTAGENT_HAVE_SODIUM
#include <sodium.h>
#endif

unsigned char authKey[AUTH_KEY_BYTES];

namespace {

struct timespec DeadlineIn(int seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

int MillisecondsLeft(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (deadline->tv_sec - now.tv_sec) * 1000LL + (deadline->tv_nsec - now.tv_nsec) / 1000000;
    return ms <= 0 ? 0 : ms > 1000000000LL ? 1000000000 : static_cast<int>(ms);
}

// Like local_readx, but gives up at the deadline: -1 when it passed with nothing read.
long readuntil(int fd, char *buffer, long n, const struct timespec *deadline)
{
    long got = 0;
    while (got < n) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return got > 0 ? got : -1;
        ssize_t r = read(fd, buffer + got, static_cast<size_t>(n - got));
        if (r > 0)
            got += r;
        else if (r == 0)
            break;
        else if (errno != EINTR && errno != EAGAIN)
            return got > 0 ? got : -1;
    }
    return got;
}

// A peer that has gone must not end the agent with SIGPIPE while it is not yet served.
bool sendall(int fd, const char *buffer, int n)
{
    int sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK)
            r = write(fd, buffer + sent, static_cast<size_t>(n - sent));
        if (r > 0)
            sent += static_cast<int>(r);
        else if (!(r < 0 && errno == EINTR))
            return false;
    }
    return true;
}

Admission Refuse(int connection, const char *why)
{
    Error("Connection refused: %s.\n", why);
    close(connection);
    return ADMIT_REFUSED;
}

#if HOSTAGENT_HAVE_SODIUM
const char agentLabel[] = "hostagent-auth-1 agent";
const char clientLabel[] = "hostagent-auth-1 client";

// The next request of the authentication exchange, of the given step, into requestbuf in host
// byte order.
bool ReadAuthRequest(int connection, int step, const struct timespec *deadline)
{
    if (readuntil(connection, requestbuf, 4, deadline) != 4)
        return false;
    int length = MsgLength(requestbuf);
    if (settings.swaprequest)
        length = swaps(length);
    if (MsgCall(requestbuf) != CALL_AUTH || length != AUTH_REQUEST_LENGTH)
        return false;
    if (readuntil(connection, requestbuf + 4, length - 4, deadline) != length - 4)
        return false;
    if (settings.swaprequest)
        SwapRequest(requestbuf);
    int32_t word = 0;
    return ReqWord(requestbuf, 1, &word) && word == step;
}

// An answer of the exchange: header, result word 0, error word 0, then the bytes already in
// place; sent in wire byte order.
bool SendAuthReply(int connection, int length)
{
    SetLength(replybuf, length);
    replybuf[2] = static_cast<char>(CALL_AUTH);
    PutWord(replybuf, 1, 0);
    PutWord(replybuf, 2, 0);
    if (settings.swaprequest)
        SwapReply(replybuf);
    return sendall(connection, replybuf, length);
}

// HMAC-SHA-256 under the shared key of the label's bytes, the client's challenge, the agent's.
void Proof(unsigned char *out, const char *label, const unsigned char *clientNonce, const unsigned char *agentNonce)
{
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, authKey, AUTH_KEY_BYTES);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(label), strlen(label));
    crypto_auth_hmacsha256_update(&state, clientNonce, AUTH_NONCE_BYTES);
    crypto_auth_hmacsha256_update(&state, agentNonce, AUTH_NONCE_BYTES);
    crypto_auth_hmacsha256_final(&state, out);
}
#endif

// Challenge and response in both directions: the client proves that it holds the key only
// after the agent has proved it, each over both sides' fresh challenges.
Admission Authenticate(int connection, const struct timespec *deadline)
{
#if HOSTAGENT_HAVE_SODIUM
    const char *field = nullptr;
    if (!ReadAuthRequest(connection, 1, deadline) || !(field = ReqBytes(requestbuf, 8, AUTH_NONCE_BYTES)))
        return Refuse(connection, "the first request is not the authentication exchange");
    unsigned char clientNonce[AUTH_NONCE_BYTES], agentNonce[AUTH_NONCE_BYTES];
    unsigned char proof[AUTH_PROOF_BYTES], expected[AUTH_PROOF_BYTES];
    memcpy(clientNonce, field, AUTH_NONCE_BYTES);
    randombytes_buf(agentNonce, sizeof agentNonce);
    Proof(proof, agentLabel, clientNonce, agentNonce);
    memcpy(replybuf + 12, agentNonce, AUTH_NONCE_BYTES);
    memcpy(replybuf + 12 + AUTH_NONCE_BYTES, proof, AUTH_PROOF_BYTES);
    Verbose("Request: 0 = auth(1)\n");
    if (!SendAuthReply(connection, AUTH_CHALLENGE_LENGTH))
        return Refuse(connection, "the client left during the authentication exchange");

    if (!ReadAuthRequest(connection, 2, deadline) || !(field = ReqBytes(requestbuf, 8, AUTH_PROOF_BYTES)))
        return Refuse(connection, "no answer to the challenge in time");
    Proof(expected, clientLabel, clientNonce, agentNonce);
    if (crypto_verify_32(reinterpret_cast<const unsigned char *>(field), expected) != 0)
        return Refuse(connection, "wrong answer to the challenge");
    Verbose("Request: 0 = auth(2)\n");
    if (!SendAuthReply(connection, AUTH_DONE_LENGTH))
        return Refuse(connection, "the client left during the authentication exchange");
    return ADMIT_GRANTED;
#else
    (void)deadline;
    return Refuse(connection, "authentication is not built in");
#endif
}

} // namespace

bool AuthAvailable()
{
#if HOSTAGENT_HAVE_SODIUM
    return sodium_init() >= 0;
#else
    return false;
#endif
}

bool RandomBytes(unsigned char *buffer, int n)
{
#if HOSTAGENT_HAVE_SODIUM
    if (!AuthAvailable())
        return false;
    randombytes_buf(buffer, static_cast<size_t>(n));
    return true;
#else
    (void)buffer;
    (void)n;
    return false;
#endif
}

void ForgetKey()
{
#if HOSTAGENT_HAVE_SODIUM
    sodium_memzero(authKey, sizeof authKey);
#else
    memset(authKey, 0, sizeof authKey);
#endif
}

Admission AdmitPeer(int connection)
{
    int seconds = settings.idleLimit > 0 && settings.idleLimit < HANDSHAKE_SECONDS ? settings.idleLimit
                                                                                     : HANDSHAKE_SECONDS;
    struct timespec deadline = DeadlineIn(seconds);
    settings.swaprequest = 0;
    long got = readuntil(connection, requestbuf, 16, &deadline);
    if (got == 0) {
        Verbose("EOF\n");
        close(connection);
        return ADMIT_CLOSED;
    }
    if (got != 16)
        return Refuse(connection, "no connection request in time");
    Verbose("Request: Connection\n");
    if (static_cast<uint32_t>(GetWord(requestbuf, 1)) != PROTOCOL_MAGIC) {
        Verbose("Swapping the requests\n");
        settings.swaprequest = 1;
        SwapRequest(requestbuf);
    }
    if (static_cast<uint32_t>(GetWord(requestbuf, 1)) != PROTOCOL_MAGIC ||
        GetWord(requestbuf, 2) != PROTOCOL_VERSION || MsgLength(requestbuf) != 16)
        return Refuse(connection, "unknown protocol");
    SetLength(replybuf, 16);
    replybuf[2] = 0;
    PutWord(replybuf, 1, static_cast<int32_t>(PROTOCOL_MAGIC));
    PutWord(replybuf, 2, PROTOCOL_VERSION);
    PutWord(replybuf, 3, static_cast<int32_t>(static_cast<uint32_t>(GetWord(requestbuf, 3)) + 1u));
    if (settings.swaprequest)
        SwapReply(replybuf);
    if (!sendall(connection, replybuf, 16))
        return Refuse(connection, "the client left during the connection request");
    return settings.auth ? Authenticate(connection, &deadline) : ADMIT_GRANTED;
}

bool AwaitRequest(int connection)
{
    if (settings.idleLimit <= 0)
        return true;
    struct timespec deadline = DeadlineIn(settings.idleLimit);
    for (;;) {
        struct pollfd p = {connection, POLLIN, 0};
        int ready = poll(&p, 1, MillisecondsLeft(&deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready != 0;
    }
}

void EndIdleConnection(int connection)
{
    Error("No request for %d seconds: connection closed.\n", settings.idleLimit);
    close(connection);
    exit(0);
}
