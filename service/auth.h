// Admission of a connection under the opt-in connection security: the connection request and
// the authentication exchange within a deadline, and the idle limit of the service loop.
#pragma once

constexpr int AUTH_KEY_BYTES = 32;
constexpr int AUTH_NONCE_BYTES = 32;
constexpr int AUTH_PROOF_BYTES = 32;
// Step 1: header, step word, client challenge. Its answer: header, result, error, agent
// challenge, agent proof. Step 2: header, step word, client proof. Its answer: header, result, error.
constexpr int AUTH_REQUEST_LENGTH = 8 + AUTH_NONCE_BYTES;
constexpr int AUTH_CHALLENGE_LENGTH = 12 + AUTH_NONCE_BYTES + AUTH_PROOF_BYTES;
constexpr int AUTH_DONE_LENGTH = 12;
// Seconds a new connection has for its connection request and authentication.
constexpr int HANDSHAKE_SECONDS = 5;

// The shared key; filled by the launcher from a key file or fresh randomness.
extern unsigned char authKey[AUTH_KEY_BYTES];

// True when the agent was built with libsodium and it initialised.
bool AuthAvailable();
// Fills buffer with n random bytes; false when no cryptographic library is built in.
bool RandomBytes(unsigned char *buffer, int n);
void ForgetKey();

enum Admission { ADMIT_CLOSED, ADMIT_REFUSED, ADMIT_GRANTED };
// Reads and answers the connection request and, under -a, runs the authentication exchange,
// all within the handshake deadline. ADMIT_CLOSED: end of file before the first byte.
// ADMIT_REFUSED: anything else that is not a right client (reported on standard error).
Admission AdmitPeer(int connection);
// Serves a connection that AdmitPeer granted, from its next request on.
void ServiceAdmittedPeer(int connection);
// Waits for the next request under the idle limit: false when the limit passed first.
bool AwaitRequest(int connection);
[[noreturn]] void EndIdleConnection(int connection);
