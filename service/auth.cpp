// Admission of a connection: the connection request and the authentication exchange (call 48)
// within a deadline, and the idle limit. Used only when -a, -k, -i, -I or -m is given.
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

unsigned char authKey[authkey::KEY_BYTES];

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

// What refuses a connection that stops, or sends something else, at each stage.
const char *StageFailure(const Admittance *a)
{
    switch (a->stage) {
    case 0:
        return "no connection request in time";
    case 1:
        return "the first request is not the authentication exchange";
    default:
        return "no answer to the challenge in time";
    }
}

Admission Refuse(Admittance *a, const char *why)
{
    Error("Connection refused: %s.\n", why);
    close(a->connection);
    a->connection = -1;
    return ADMIT_REFUSED;
}

// Answers go out without waiting and without SIGPIPE: a fresh connection always has room for
// them, so one that has none is not a client worth waiting for.
bool SendNow(int fd, const char *buffer, int n)
{
    int sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == ENOTSOCK)
            r = write(fd, buffer + sent, static_cast<size_t>(n - sent));
        if (r > 0)
            sent += static_cast<int>(r);
        else if (!(r < 0 && errno == EINTR))
            return false;
    }
    return true;
}

// The bytes the current stage waits for: the connection request, or one step of the exchange.
int StageLength(const Admittance *a) { return a->stage == 0 ? 16 : authkey::REQUEST_LENGTH; }

// A step's header, as soon as it is in: call 48 and the step's length, or the connection is refused.
bool StepHeaderFits(const Admittance *a)
{
    int length = MsgLength(a->message);
    if (a->swap)
        length = swaps(length);
    return MsgCall(a->message) == CALL_AUTH && length == authkey::REQUEST_LENGTH;
}

// An answer of the exchange: header, result word 0, error word 0, then the bytes already in
// place; sent in the connection's byte order.
bool SendAuthReply(const Admittance *a, int length)
{
    SetLength(replybuf, length);
    replybuf[2] = static_cast<char>(CALL_AUTH);
    PutWord(replybuf, 1, 0);
    PutWord(replybuf, 2, 0);
    if (a->swap)
        SwapReply(replybuf);
    return SendNow(a->connection, replybuf, length);
}

Admission AnswerConnectionRequest(Admittance *a)
{
    memcpy(requestbuf, a->message, 16);
    Verbose("Request: Connection\n");
    if (static_cast<uint32_t>(GetWord(requestbuf, 1)) != PROTOCOL_MAGIC) {
        Verbose("Swapping the requests\n");
        a->swap = 1;
        SwapRequest(requestbuf);
    }
    if (static_cast<uint32_t>(GetWord(requestbuf, 1)) != PROTOCOL_MAGIC ||
        GetWord(requestbuf, 2) != PROTOCOL_VERSION || MsgLength(requestbuf) != 16)
        return Refuse(a, "unknown protocol");
    SetLength(replybuf, 16);
    replybuf[2] = 0;
    PutWord(replybuf, 1, static_cast<int32_t>(PROTOCOL_MAGIC));
    PutWord(replybuf, 2, PROTOCOL_VERSION);
    PutWord(replybuf, 3, static_cast<int32_t>(static_cast<uint32_t>(GetWord(requestbuf, 3)) + 1u));
    if (a->swap)
        SwapReply(replybuf);
    if (!SendNow(a->connection, replybuf, 16))
        return Refuse(a, "the client left during the connection request");
    if (!settings.auth)
        return ADMIT_GRANTED;
    a->stage = 1;
    return ADMIT_WAITING;
}

#if HOSTAGENT_HAVE_SODIUM
using authkey::AGENT_LABEL;
using authkey::CLIENT_LABEL;

// HMAC-SHA-256 under the shared key of the label's bytes, the client's challenge, the agent's.
void Proof(unsigned char *out, const char *label, const unsigned char *clientNonce, const unsigned char *agentNonce)
{
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, authKey, authkey::KEY_BYTES);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(label), strlen(label));
    crypto_auth_hmacsha256_update(&state, clientNonce, authkey::NONCE_BYTES);
    crypto_auth_hmacsha256_update(&state, agentNonce, authkey::NONCE_BYTES);
    crypto_auth_hmacsha256_final(&state, out);
}
#endif

// Challenge and response in both directions: the client proves that it holds the key only
// after the agent has proved it, each over both sides' fresh challenges.
Admission AnswerStep(Admittance *a)
{
    memcpy(requestbuf, a->message, authkey::REQUEST_LENGTH);
    if (a->swap)
        SwapRequest(requestbuf);
    int32_t step = 0;
    const char *field = ReqBytes(requestbuf, authkey::REQUEST_DATA, authkey::NONCE_BYTES);
    if (!ReqWord(requestbuf, authkey::STEP_WORD, &step) || step != a->stage || !field)
        return Refuse(a, StageFailure(a));
#if HOSTAGENT_HAVE_SODIUM
    if (a->stage == 1) {
        unsigned char proof[authkey::PROOF_BYTES];
        memcpy(a->clientNonce, field, authkey::NONCE_BYTES);
        randombytes_buf(a->agentNonce, sizeof a->agentNonce);
        Proof(proof, AGENT_LABEL, a->clientNonce, a->agentNonce);
        memcpy(replybuf + authkey::CHALLENGE_NONCE, a->agentNonce, authkey::NONCE_BYTES);
        memcpy(replybuf + authkey::CHALLENGE_PROOF, proof, authkey::PROOF_BYTES);
        Verbose("Request: 0 = auth(1)\n");
        if (!SendAuthReply(a, authkey::CHALLENGE_LENGTH))
            return Refuse(a, "the client left during the authentication exchange");
        a->stage = 2;
        return ADMIT_WAITING;
    }
    unsigned char expected[authkey::PROOF_BYTES];
    Proof(expected, CLIENT_LABEL, a->clientNonce, a->agentNonce);
    if (crypto_verify_32(reinterpret_cast<const unsigned char *>(field), expected) != 0)
        return Refuse(a, "wrong answer to the challenge");
    Verbose("Request: 0 = auth(2)\n");
    if (!SendAuthReply(a, authkey::DONE_LENGTH))
        return Refuse(a, "the client left during the authentication exchange");
    return ADMIT_GRANTED;
#else
    return Refuse(a, "authentication is not built in");
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

void BeginAdmission(Admittance *a, int connection)
{
    int seconds = settings.idleLimit > 0 && settings.idleLimit < HANDSHAKE_SECONDS ? settings.idleLimit
                                                                                     : HANDSHAKE_SECONDS;
    memset(a, 0, sizeof *a);
    a->connection = connection;
    a->deadline = DeadlineIn(seconds);
}

Admission ContinueAdmission(Admittance *a)
{
    for (;;) {
        int need = StageLength(a);
        ssize_t r = recv(a->connection, a->message + a->have, static_cast<size_t>(need - a->have), MSG_DONTWAIT);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return ADMIT_WAITING;
        if (r == 0 && a->stage == 0 && a->have == 0) {
            Verbose("EOF\n");
            close(a->connection);
            a->connection = -1;
            return ADMIT_CLOSED;
        }
        if (r <= 0)
            return Refuse(a, StageFailure(a));
        int before = a->have;
        a->have += static_cast<int>(r);
        if (a->stage > 0 && before < 4 && a->have >= 4 && !StepHeaderFits(a))
            return Refuse(a, StageFailure(a));
        if (a->have < need)
            continue;
        a->have = 0;
        Admission result = a->stage == 0 ? AnswerConnectionRequest(a) : AnswerStep(a);
        if (result == ADMIT_GRANTED) {
            settings.swaprequest = a->swap;
            explicit_bzero(a->clientNonce, sizeof a->clientNonce);
        }
        if (result != ADMIT_WAITING)
            return result;
    }
}

int AdmissionMillisecondsLeft(const Admittance *a) { return MillisecondsLeft(&a->deadline); }

Admission ExpireAdmission(Admittance *a) { return Refuse(a, StageFailure(a)); }

Admission AdmitPeer(int connection)
{
    Admittance a;
    BeginAdmission(&a, connection);
    settings.swaprequest = 0;
    for (;;) {
        Admission result = ContinueAdmission(&a);
        if (result != ADMIT_WAITING)
            return result;
        struct pollfd p = {connection, POLLIN, 0};
        int ready = poll(&p, 1, AdmissionMillisecondsLeft(&a));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ExpireAdmission(&a);
    }
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
