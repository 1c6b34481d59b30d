// Helpers every terminal-side tool needs, each pipelined through a Batch.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/batch.h>
#include <hostlink/calls.h>
#include <hostlink/link.h>

namespace hostlink {

// ---- Connecting ----------------------------------------------------------------------------

struct Endpoint {
    std::string host;
    int port = 0;
};

// "HOST:PORT" or "[ADDRESS]:PORT" (port 1 to 65535); nullopt when text is neither.
std::optional<Endpoint> parseEndpoint(std::string_view text);

// The host of an agent that started this program as its terminal client: the first field of
// $SSH_CONNECTION, else $HOSTAGENT_HOST, else 127.0.0.1.
std::string agentHost();

struct ConnectOptions {
    bool swapped = false;         // speak the opposite byte order
    double timeoutSeconds = 60;   // every later wait for the agent (0: no limit)
    uint32_t nonce = 1;           // the handshake's nonce word
    // Authentication: when a key is given, the connection authenticates with it right after
    // the handshake (authenticate, auth.h); without one nothing beyond the handshake is sent.
    std::optional<std::string> key;
};

// Connects, shakes hands and authenticates when a key is given; LinkError on any failure.
Link connectTo(const Endpoint &where, const ConnectOptions &options = {});
// As the terminal client started by the agent with "-peer PORT": the host from agentHost().
Link connectPeer(int port, const ConnectOptions &options = {});

// The log of a terminal client that has left the remote shell, opened for writing without ever
// following a link that someone else may have planted: the file that the environment variable
// envName names (opened with O_NOFOLLOW), else PROGRAM-PORT.log made afresh (O_EXCL) in this
// user's private directory, $XDG_RUNTIME_DIR/hostagent or else $TMPDIR/hostagent-UID (created
// 0700; refused unless it is a directory of this user's that no one else may enter). Returns the
// descriptor (close-on-exec) and the path in *path, or -1 with errno.
int openClientLog(const std::string &program, int port, const char *envName, std::string *path);

// ---- Directories ---------------------------------------------------------------------------

struct DirEntry {
    std::string name;
    FileStatus status; // the lstat of dir/name, when error is 0
    int error = 0;     // the local errno of that lstat (the entry may have gone meanwhile)
};

struct ListOptions {
    bool withStatus = true;   // one lstat per entry, pipelined behind the readdirs
    bool includeDots = false; // keep "." and ".."
    int readdirWindow = 64;   // readdir requests kept in flight
};

// Lists a host directory in the host's order, with each entry's status. 0, or -1 with errno
// when the directory cannot be opened or read.
int listDirectory(Link &link, std::string_view dir, std::vector<DirEntry> *entries,
                  const ListOptions &options = {});

// ---- Whole files ---------------------------------------------------------------------------

// Called after each chunk: bytes moved so far, and the file's size (-1 when unknown).
using Progress = std::function<void(int64_t done, int64_t total)>;

struct TransferOptions {
    int window = 16;        // reads or writes kept in flight
    size_t chunk = kMaxData; // bytes per read or write (at most kMaxData)
    Progress progress;
};

// Reads a whole host file, handing each chunk in file order to sink (which returns false to
// stop). The bytes read, or -1 with errno (the host's error, or the sink's).
int64_t readFile(Link &link, std::string_view path, const std::function<bool(const char *, size_t)> &sink,
                 const TransferOptions &options = {});
// Into a string, or into a local descriptor (written in full).
int64_t readFile(Link &link, std::string_view path, std::string *contents, const TransferOptions &options = {});
int64_t readFileToFd(Link &link, std::string_view path, int localFd, const TransferOptions &options = {});

// Creates or truncates a host file with mode and writes data to it. The bytes written, or -1
// with errno.
int64_t writeFile(Link &link, std::string_view path, std::string_view data, int32_t mode = 0644,
                  const TransferOptions &options = {});
// From a local descriptor, to its end.
int64_t writeFileFromFd(Link &link, std::string_view path, int localFd, int32_t mode = 0644,
                        const TransferOptions &options = {});

// ---- Host programs -------------------------------------------------------------------------

struct RunOptions {
    int outFd = 1;              // where the program's standard output goes here
    int errFd = 2;              // and its standard error
    double timeoutSeconds = 0;  // 0: wait for the program as long as it runs
};

// Runs a host program, found along the host's PATH, with the arguments argv[1...] (the program
// sees name as its argument 0); its standard output and error are copied here as they come. Returns
// its exit status (0 to 255, 128 + N for a signal N, 127 when it cannot be found), or -1 with
// errno when it could not be started (ETIMEDOUT when it ran past the timeout). The link is
// served by the agent as before once this returns.
//
// How: the host forks; its child opens three connections back to this process (peerpipe),
// moves them onto its descriptors 1, 2 and 0 and execs
//     /bin/sh -c 'exec 9>&0 </dev/null; "$@" 9>&-; echo $? >&9' sh NAME ARGS...
// so that the third connection carries the exit status back as a decimal line. The program's
// standard input is /dev/null.
int runProgram(Link &link, const std::string &name, const std::vector<std::string> &argv,
               const RunOptions &options = {});

} // namespace hostlink
