#include <hostlink/auth.h>

#include "common/authkey.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#if HOSTAGENT_HAVE_SODIUM
#include <sodium.h>
#endif

namespace hostlink {

namespace {

constexpr std::string_view kKeyLine = authkey::KEY_LINE_PREFIX;
static_assert(kAuthKeyBytes == authkey::KEY_BYTES);

#if HOSTAGENT_HAVE_SODIUM
constexpr size_t kNonce = authkey::NONCE_BYTES;

std::array<unsigned char, 32> proof(std::string_view key, std::string_view label, const unsigned char *clientNonce,
                                    const unsigned char *agentNonce)
{
    std::array<unsigned char, 32> out{};
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char *>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(label.data()), label.size());
    crypto_auth_hmacsha256_update(&state, clientNonce, kNonce);
    crypto_auth_hmacsha256_update(&state, agentNonce, kNonce);
    crypto_auth_hmacsha256_final(&state, out.data());
    return out;
}
#endif

} // namespace

static LinkError authError(const std::string &what) { return LinkError(LinkError::Kind::Auth, what); }

std::optional<std::string> parseKey(std::string_view text)
{
    unsigned char key[kAuthKeyBytes];
    if (!authkey::ParseKeyText(text.data(), text.size(), key))
        return std::nullopt;
    std::string result(reinterpret_cast<const char *>(key), sizeof key);
    explicit_bzero(key, sizeof key);
    return result;
}

std::optional<std::string> readLaunchKey(int fd, double seconds)
{
    if (isatty(fd))
        return std::nullopt;
    // One byte at a time, so that nothing past the key line is taken from the input.
    std::string line;
    while (line.size() < kKeyLine.size() + 80) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(seconds * 1000));
        if (ready < 0 && errno == EINTR)
            continue;
        char c;
        if (ready <= 0 || ::read(fd, &c, 1) != 1 || c == '\n')
            break;
        line.push_back(c);
    }
    if (line.compare(0, kKeyLine.size(), kKeyLine) != 0)
        return std::nullopt;
    auto key = parseKey(std::string_view(line).substr(kKeyLine.size()));
    std::fill(line.begin(), line.end(), '\0');
    return key;
}

std::string loadKeyFile(const std::string &path)
{
    unsigned char key[kAuthKeyBytes];
    const char *reason = nullptr;
    switch (authkey::ReadKeyFile(path.c_str(), key, &reason)) {
    case authkey::KEY_FILE_OK:
        break;
    case authkey::KEY_FILE_UNREADABLE:
        throw authError("cannot read the key file " + path + ": " + reason);
    case authkey::KEY_FILE_REFUSED:
        throw authError("key file " + path + " refused: " + reason +
                        "; it must be a regular file of this user or root that only its owner can read (chmod 600 it)");
    case authkey::KEY_FILE_NO_KEY:
        throw authError("key file " + path + " holds no key: 64 hexadecimal digits expected, then nothing but "
                        "white space");
    }
    std::string result(reinterpret_cast<const char *>(key), sizeof key);
    explicit_bzero(key, sizeof key);
    return result;
}

std::optional<std::string> keyFromEnvironment()
{
    const char *path = getenv("HOSTAGENT_KEYFILE");
    if (!path || !*path)
        return std::nullopt;
    return loadKeyFile(path);
}

bool authenticationAvailable()
{
#if HOSTAGENT_HAVE_SODIUM
    return sodium_init() >= 0;
#else
    return false;
#endif
}

void authenticate(Link &link, std::string_view given)
{
    std::optional<std::string> parsed;
    if (given.size() != kAuthKeyBytes && !(parsed = parseKey(given)))
        throw authError("a key is 32 bytes or 64 hexadecimal digits");
    std::string_view key = parsed ? std::string_view(*parsed) : given;
#if HOSTAGENT_HAVE_SODIUM
    if (sodium_init() < 0)
        throw authError("libsodium cannot be initialised");
    unsigned char clientNonce[kNonce];
    randombytes_buf(clientNonce, sizeof clientNonce);
    Reply challenge = link.call(Request(kAuthCall).word(1).bytes(
        std::string_view(reinterpret_cast<const char *>(clientNonce), sizeof clientNonce)));
    if (challenge.call() != kAuthCall || challenge.length() != authkey::CHALLENGE_LENGTH ||
        challenge.word(1) != 0)
        throw authError("malformed answer to the authentication request");
    const auto *agentNonce = reinterpret_cast<const unsigned char *>(challenge.raw.data() + authkey::CHALLENGE_NONCE);
    auto expected = proof(key, authkey::AGENT_LABEL, clientNonce, agentNonce);
    if (crypto_verify_32(reinterpret_cast<const unsigned char *>(challenge.raw.data() + authkey::CHALLENGE_PROOF),
                         expected.data()) != 0)
        throw authError("the agent does not hold the key");
    auto answer = proof(key, authkey::CLIENT_LABEL, clientNonce, agentNonce);
    Reply done = link.call(
        Request(kAuthCall).word(2).bytes(std::string_view(reinterpret_cast<const char *>(answer.data()), answer.size())));
    if (done.call() != kAuthCall || done.length() != authkey::DONE_LENGTH || done.word(1) != 0)
        throw authError("malformed answer to the authentication response");
#else
    (void)link;
    (void)key;
    throw authError("this library was built without authentication (libsodium)");
#endif
}

} // namespace hostlink
