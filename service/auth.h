// Admission of a connection under the opt-in connection security: the connection request and
// the authentication exchange within a deadline, and the idle limit of the service loop.
#pragma once
#include <ctime>

#include "common/authkey.h"

// Seconds a new connection has for its connection request and authentication.
constexpr int HANDSHAKE_SECONDS = 5;

// The shared key; filled by the launcher from a key file or fresh randomness.
extern unsigned char authKey[authkey::KEY_BYTES];

// True when the agent was built with libsodium and it initialised.
bool AuthAvailable();
// Fills buffer with n random bytes; false when no cryptographic library is built in.
bool RandomBytes(unsigned char *buffer, int n);
void ForgetKey();

enum Admission { ADMIT_CLOSED, ADMIT_REFUSED, ADMIT_GRANTED, ADMIT_WAITING };

// One connection on its way in: the connection request and, under -a, the authentication
// exchange, read as the bytes arrive so that many connections can be admitted side by side.
struct Admittance {
    int connection;             // -1 once closed
    int stage;                  // 0: connection request, 1 and 2: the steps of the exchange
    int have;                   // bytes of the stage's message received
    int swap;                   // the byte order of the connection request
    struct timespec deadline;   // the handshake deadline, from the connection's acceptance
    char message[authkey::REQUEST_LENGTH];
    unsigned char clientNonce[authkey::NONCE_BYTES];
    unsigned char agentNonce[authkey::NONCE_BYTES];
};
void BeginAdmission(Admittance *a, int connection);
// Takes what has arrived, without waiting, and answers each whole message. ADMIT_WAITING: more
// is needed. ADMIT_CLOSED: end of file before the first byte. ADMIT_REFUSED: anything else that
// is not a right client (reported on standard error). Closed on both. ADMIT_GRANTED: the
// byte order is set and the service may begin.
Admission ContinueAdmission(Admittance *a);
int AdmissionMillisecondsLeft(const Admittance *a);
// Refuses a connection whose deadline passed, naming what it failed to send.
Admission ExpireAdmission(Admittance *a);
// All of the above for one connection, waiting within the handshake deadline.
Admission AdmitPeer(int connection);
// Serves a connection that AdmitPeer granted, from its next request on.
void ServiceAdmittedPeer(int connection);
// Waits for the next request under the idle limit: false when the limit passed first.
bool AwaitRequest(int connection);
[[noreturn]] void EndIdleConnection(int connection);
