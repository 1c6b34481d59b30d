// The command-line part every tool shares, and where the key comes from.
#include <hostlink/auth.h>
#include <hostlink/connect.h>

#include <cstdlib>
#include <cstring>

namespace hostlink {

namespace {

int portNumber(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return -1;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= 65535 ? n : -1;
}

} // namespace

void ClientArgs::takeEndpoint(std::string_view text)
{
    if (complete())
        throw UsageError("the agent is named twice (" + std::string(text) + ")");
    auto e = parseEndpoint(text);
    if (!e)
        throw UsageError(std::string(text) + " is not HOST:PORT (an IPv6 address goes in brackets: [::1]:PORT)");
    where = *e;
}

int ClientArgs::takeOption(int argc, char *const argv[], int i)
{
    if (i < 0 || i >= argc || !argv[i])
        return 0;
    std::string_view a = argv[i];
    auto value = [&](const char *what) -> std::string_view {
        if (i + 1 >= argc || !argv[i + 1])
            throw UsageError(std::string(a) + " needs " + what);
        return argv[i + 1];
    };
    if (a == "-peer") {
        std::string_view v = value("a port number");
        int port = portNumber(v);
        if (port < 0)
            throw UsageError("bad port number " + std::string(v));
        if (complete())
            throw UsageError("the agent is named twice (-peer " + std::string(v) + ")");
        peer = true;
        where.port = port;
        return 2;
    }
    if (a == "-swapped") {
        swapped = true;
        return 1;
    }
    if (a == "--key" || a == "-keyfile") {
        std::string_view v = value("a key file");
        if (v.empty())
            throw UsageError(std::string(a) + " needs a key file");
        keyFile = v;
        return 2;
    }
    if (a.substr(0, 6) == "--key=") {
        if (a.size() == 6)
            throw UsageError("--key needs a key file");
        keyFile = a.substr(6);
        return 1;
    }
    return 0;
}

int ClientArgs::take(int argc, char *const argv[], int i)
{
    if (int n = takeOption(argc, argv, i))
        return n;
    if (i < argc && argv[i] && argv[i][0] != '-' && !complete()) {
        takeEndpoint(argv[i]);
        return 1;
    }
    return 0;
}

void ClientArgs::searchKey(int in, double seconds)
{
    searched = true;
    key.reset();
    // The launch key line is there only for a client the agent started; read it before
    // anything else can take the input.
    if (peer && in >= 0) {
        if (auto k = readLaunchKey(in, seconds)) {
            key = FoundKey{*k, "the launch key line"};
            return;
        }
    }
    if (!keyFile.empty()) {
        key = FoundKey{loadKeyFile(keyFile), "--key " + keyFile};
        return;
    }
    const char *env = ::getenv("HOSTAGENT_KEYFILE");
    if (env && *env)
        key = FoundKey{loadKeyFile(env), std::string("$HOSTAGENT_KEYFILE (") + env + ")"};
}

} // namespace hostlink
