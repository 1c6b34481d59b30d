// The authentication exchange and the key as both ends see them: the sizes and layout of the
// messages of call 48, the labels of the proofs, the launch key line, a test vector, and the one
// set of rules for key files (how one is opened, who may own it, what it may hold). The agent
// and the client library both take these from here; the code uses only the C library.
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace authkey {

constexpr int KEY_BYTES = 32;
constexpr int NONCE_BYTES = 32;
constexpr int PROOF_BYTES = 32;
constexpr int KEY_HEX_DIGITS = 2 * KEY_BYTES;

// Step 1: header, step word (1), client challenge. Its answer: header, result word, error word,
// agent challenge, agent proof. Step 2: header, step word (2), client proof. Its answer: header,
// result word, error word.
constexpr int STEP_WORD = 1;
constexpr int REQUEST_DATA = 8; // byte offset of the challenge or proof in a step
constexpr int REQUEST_LENGTH = REQUEST_DATA + NONCE_BYTES;
constexpr int CHALLENGE_NONCE = 12; // byte offsets in the answer to step 1
constexpr int CHALLENGE_PROOF = CHALLENGE_NONCE + NONCE_BYTES;
constexpr int CHALLENGE_LENGTH = CHALLENGE_PROOF + PROOF_BYTES;
constexpr int DONE_LENGTH = 12;
static_assert(NONCE_BYTES == PROOF_BYTES, "both steps have the same length");

// HMAC-SHA-256 under the key of the label's bytes (no NUL), the client's challenge, the agent's.
constexpr char AGENT_LABEL[] = "hostagent-auth-1 agent";
constexpr char CLIENT_LABEL[] = "hostagent-auth-1 client";

// What a launching agent writes to the remote shell's standard input: the prefix, the key in
// lower-case hexadecimal digits, a newline, then end of input.
constexpr char KEY_LINE_PREFIX[] = "hostagent-key ";
constexpr int KEY_LINE_PREFIX_LENGTH = sizeof KEY_LINE_PREFIX - 1;

// Known answers: the key below with a client challenge of 32 bytes 0x01 and an agent challenge
// of 32 bytes 0x02 gives these proofs.
constexpr char TEST_KEY[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
constexpr unsigned char TEST_CLIENT_NONCE_BYTE = 0x01;
constexpr unsigned char TEST_AGENT_NONCE_BYTE = 0x02;
constexpr char TEST_AGENT_PROOF[] = "9ddd7379d9951553d36bfa0e0b426e1d3e9d30cc150bfbfdd0c2488a9f42c02b";
constexpr char TEST_CLIENT_PROOF[] = "2a73fba9d119610f8244cd5b3b67568ad2c4adf7d033fabd3cbf3362db26de4b";

// A key file longer than this is refused unread.
constexpr long KEY_FILE_MAX_BYTES = 4096;

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A key as key files and the launch key line hold it: exactly n bytes of text, 64 hexadecimal
// digits (either case) and then nothing but spaces, tabs, carriage returns and newlines. A NUL
// is not white space: "KEY\0garbage" is no key. key is written only on success.
inline bool ParseKeyText(const char *text, size_t n, unsigned char *key)
{
    if (n < static_cast<size_t>(KEY_HEX_DIGITS))
        return false;
    for (int i = 0; i < KEY_HEX_DIGITS; i++)
        if (HexValue(text[i]) < 0)
            return false;
    for (size_t i = KEY_HEX_DIGITS; i < n; i++)
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n')
            return false;
    for (int i = 0; i < KEY_BYTES; i++)
        key[i] = static_cast<unsigned char>(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
    return true;
}

// Why a key file with this status is refused, or null when it is acceptable: a regular file
// owned by the reader's effective user or by root, with no access for group or others.
inline const char *KeyFileRefusal(const struct stat *st, uid_t reader)
{
    if (!S_ISREG(st->st_mode))
        return "not a regular file";
    if (st->st_uid != reader && st->st_uid != 0)
        return "owned by another user";
    if (st->st_mode & (S_IRWXG | S_IRWXO))
        return "group or others have access to it";
    return nullptr;
}

enum KeyFileResult { KEY_FILE_OK, KEY_FILE_UNREADABLE, KEY_FILE_REFUSED, KEY_FILE_NO_KEY };

// Reads the key of the file at path into key. The file is opened without blocking (a FIFO or a
// device is refused, never waited on) and checked on the opened descriptor. On
// KEY_FILE_UNREADABLE *reason is the system's description of the error, on KEY_FILE_REFUSED
// the rule broken; the text read is wiped.
inline KeyFileResult ReadKeyFile(const char *path, unsigned char *key, const char **reason)
{
    *reason = nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        *reason = strerror(errno);
        if (fd >= 0)
            close(fd);
        return KEY_FILE_UNREADABLE;
    }
    if ((*reason = KeyFileRefusal(&st, geteuid())) != nullptr) {
        close(fd);
        return KEY_FILE_REFUSED;
    }
    char text[KEY_FILE_MAX_BYTES + 1];
    long got = 0;
    while (got < static_cast<long>(sizeof text)) {
        ssize_t r = read(fd, text + got, sizeof text - static_cast<size_t>(got));
        if (r > 0)
            got += r;
        else if (!(r < 0 && errno == EINTR))
            break;
    }
    close(fd);
    bool ok = got <= KEY_FILE_MAX_BYTES && ParseKeyText(text, static_cast<size_t>(got), key);
    explicit_bzero(text, sizeof text);
    return ok ? KEY_FILE_OK : KEY_FILE_NO_KEY;
}

} // namespace authkey
