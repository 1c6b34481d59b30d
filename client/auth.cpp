#include <hostlink/auth.h>

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

constexpr std::string_view kKeyLine = "hostagent-key ";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

#if HOSTAGENT_HAVE_SODIUM
constexpr size_t kNonce = 32;

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
    std::string key(kAuthKeyBytes, '\0');
    if (text.size() < 2 * key.size())
        return std::nullopt;
    for (size_t i = 0; i < key.size(); i++) {
        int high = hexValue(text[2 * i]), low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        key[i] = static_cast<char>(high << 4 | low);
    }
    if (text.substr(2 * key.size()).find_first_not_of(" \t\r\n") != std::string_view::npos)
        return std::nullopt;
    return key;
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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        int e = errno;
        if (fd >= 0)
            ::close(fd);
        throw authError("cannot read the key file " + path + ": " + strerror(e));
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IRWXG | S_IRWXO))) {
        ::close(fd);
        throw authError("key file " + path + " refused: group or others have access to it, or it is not a "
                        "regular file (chmod 600 it)");
    }
    char text[200] = {};
    ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    auto key = got > 0 ? parseKey(std::string_view(text, static_cast<size_t>(got))) : std::nullopt;
    memset(text, 0, sizeof text);
    if (!key)
        throw authError("key file " + path + " holds no key: 64 hexadecimal digits expected");
    return *key;
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
    if (challenge.call() != kAuthCall || challenge.length() != 12 + 2 * static_cast<int>(kNonce) ||
        challenge.word(1) != 0)
        throw authError("malformed answer to the authentication request");
    const auto *agentNonce = reinterpret_cast<const unsigned char *>(challenge.raw.data() + 12);
    auto expected = proof(key, "hostagent-auth-1 agent", clientNonce, agentNonce);
    if (crypto_verify_32(reinterpret_cast<const unsigned char *>(challenge.raw.data() + 12 + kNonce),
                         expected.data()) != 0)
        throw authError("the agent does not hold the key");
    auto answer = proof(key, "hostagent-auth-1 client", clientNonce, agentNonce);
    Reply done = link.call(
        Request(kAuthCall).word(2).bytes(std::string_view(reinterpret_cast<const char *>(answer.data()), answer.size())));
    if (done.call() != kAuthCall || done.length() != 12 || done.word(1) != 0)
        throw authError("malformed answer to the authentication response");
#else
    (void)link;
    (void)key;
    throw authError("this library was built without authentication (libsodium)");
#endif
}

} // namespace hostlink
