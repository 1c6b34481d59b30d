// Connecting to a host agent: the command-line part every terminal-side tool shares, where the
// key comes from, and one connect that checks the handshake, authenticates and learns whether
// the agent serves the extension calls.
//
// A tool takes its arguments like this:
//
//     hostlink::ClientArgs args;
//     for (int i = 1; i < argc;) {
//         int n = args.take(argc, argv, i);   // HOST:PORT, -peer PORT, -swapped, --key FILE
//         if (n == 0) n = myOwnOption(argc, argv, i);
//         i += n;
//     }
//     args.searchKey();                       // before leaving the remote shell's input
//     hostlink::Connected c = hostlink::connectClient(args);
//
// Keys are looked for in this order: the launch key line ("hostagent-key HEX") that an agent
// started with -a writes on the remote shell's standard input, read only when the tool was
// started with -peer and its input is not a terminal; the file named by --key FILE; the file
// named by $HOSTAGENT_KEYFILE. The first one found is used; without any, no key is sent.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <hostlink/link.h>

namespace hostlink {

struct Endpoint {
    std::string host;
    int port = 0;
};

// "HOST:PORT" or "[ADDRESS]:PORT" (port 1 to 65535); nullopt when text is neither.
std::optional<Endpoint> parseEndpoint(std::string_view text);

// The host of an agent that started this program as its terminal client: the first field of
// $SSH_CONNECTION, else $HOSTAGENT_HOST, else 127.0.0.1.
std::string agentHost();

// A bad command line: what() says what is wrong, in words for the user.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Where a key came from, for messages ("--key FILE", "$HOSTAGENT_KEYFILE (FILE)", ...).
struct FoundKey {
    std::string key; // the 32 key bytes
    std::string source;
};

// The shared part of a tool's command line.
struct ClientArgs {
    Endpoint where;       // HOST:PORT; with -peer the port (the host comes from agentHost())
    bool peer = false;    // -peer PORT: started by the agent as its terminal client
    bool swapped = false; // -swapped: speak the opposite byte order
    std::string keyFile;  // --key FILE (also --key=FILE, and -keyfile FILE as termclient had it)

    // Takes argv[i] (and its value) when it is one of the shared options, or HOST:PORT when no
    // endpoint has been given yet and argv[i] does not start with '-'. Returns the number of
    // arguments taken: 0 when argv[i] is not for the connection. UsageError for a missing or bad
    // value, or a second endpoint.
    int take(int argc, char *const argv[], int i);
    // Only the options (never a positional HOST:PORT): for tools whose own positional arguments
    // come first.
    int takeOption(int argc, char *const argv[], int i);
    // text as HOST:PORT; UsageError when it is not one.
    void takeEndpoint(std::string_view text);
    bool complete() const { return where.port > 0; }

    // Looks for the key in the documented order and keeps it in key (reads the launch key line
    // from in, waiting at most seconds). LinkError of kind Auth when a named key file cannot be
    // used. Call it before the tool detaches from the remote shell's input.
    void searchKey(int in = 0, double seconds = 5);
    bool searched = false;
    std::optional<FoundKey> key;
};

// The shared options, as a usage line shows them.
constexpr const char *kClientArgsUsage = "HOST:PORT | -peer PORT  [-swapped] [--key FILE]";

struct ConnectOptions {
    bool swapped = false;        // speak the opposite byte order
    double timeoutSeconds = 60;  // every wait for the agent after connecting (0: no limit)
    double connectSeconds = 10;  // the limit for the connection, handshake and authentication
    uint32_t nonce = 1;          // the handshake's nonce word
    // Authentication: when a key is given, the connection authenticates with it right after
    // the handshake (authenticate, auth.h); without one nothing beyond the handshake is sent.
    std::optional<std::string> key;
    // Ask the agent (with getenv) whether it serves the extension calls. connectClient always
    // asks: the question also shows at once an agent that wants a key none was given for.
    bool learnExtensions = false;
};

// What a connect found out, with the link.
struct Connected {
    Link link;
    Endpoint where;
    bool authenticated = false;
    bool extensions = false; // the agent serves the extension calls (<hostlink/ext.h>)
    int lastExtension = 0;   // the highest of them (lastExtensionCall), 0 without them
};

// Connects to args' endpoint (with -peer: agentHost() and the port), shakes hands, authenticates
// with args.key (searched for first when searchKey has not been called) or options.key, and
// learns the agent's extensions. LinkError whose message says what to do:
//   Kind::Connect   nothing listening there, or the name does not resolve;
//   Kind::Protocol  something answered that is not a host agent;
//   Kind::Busy      connected, but no answer: the agent is serving another client (with -peer,
//                   or this client has not left the remote shell that the agent waits on);
//   Kind::Auth      the agent wants a key and none was found; it refused the key; it does not
//                   hold the key; it takes no key.
Connected connectClient(const ClientArgs &args, const ConnectOptions &options = {});

// Connects, shakes hands and authenticates when options.key is given, with the messages of
// connectClient; LinkError on any failure.
Link connectTo(const Endpoint &where, const ConnectOptions &options = {});
// As the terminal client started by the agent with "-peer PORT": the host from agentHost().
Link connectPeer(int port, const ConnectOptions &options = {});
// connectTo, with what it found out.
Connected connectEndpoint(const Endpoint &where, const ConnectOptions &options, const std::string &keySource = "");

// The log of a terminal client that has left the remote shell, opened for writing without ever
// following a link that someone else may have planted: the file that the environment variable
// envName names (opened with O_NOFOLLOW), else PROGRAM-PORT.log made afresh (O_EXCL) in this
// user's private directory, $XDG_RUNTIME_DIR/hostagent or else $TMPDIR/hostagent-UID (created
// 0700). When that directory is not a private directory of this user's (another user made it
// first, it is a link, or others may enter it), a fresh one is made beside it with mkdtemp
// ($TMPDIR/hostagent-UID.XXXXXX) and used instead. Returns the descriptor (close-on-exec) and
// the path in *path, or -1 with errno.
int openClientLog(const std::string &program, int port, const char *envName, std::string *path);

} // namespace hostlink
