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
#include <hostlink/connect.h>
#include <hostlink/link.h>
#include <hostlink/run.h>

namespace hostlink {

// Connecting (Endpoint, parseEndpoint, connectTo, connectClient, ...) is <hostlink/connect.h>.

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
    // Caps against a directory without end: entries, and bytes of all names together.
    size_t maxEntries = size_t(1) << 20;
    size_t maxNameBytes = size_t(256) << 20;
    double totalSeconds = 600; // the whole listing (0: no limit beyond the link's timeout)
};

// Lists a host directory in the host's order, with each entry's status. 0, or -1 with errno
// when the directory cannot be opened or read, or EOVERFLOW when it holds more than the caps
// allow (entries then holds those within them). A listing that runs past totalSeconds raises
// LinkError of kind TimedOut.
int listDirectory(Link &link, std::string_view dir, std::vector<DirEntry> *entries,
                  const ListOptions &options = {});

// ---- Whole files ---------------------------------------------------------------------------

// Called after each chunk: bytes moved so far, and the file's size (-1 when unknown).
using Progress = std::function<void(int64_t done, int64_t total)>;

struct TransferOptions {
    int window = 16;        // reads or writes kept in flight
    size_t chunk = kMaxData; // bytes per read or write (at most kMaxData)
    Progress progress;
    // The most bytes a read moves: beyond it, -1 with EFBIG. -1: no cap, except for a read into
    // a string, capped at kMaxStringRead.
    int64_t maxBytes = -1;
    double totalSeconds = 0; // the whole transfer (0: no limit beyond the link's timeout)
};
constexpr int64_t kMaxStringRead = int64_t(1) << 30;

// Reads a whole host file, handing each chunk in file order to sink (which returns false to
// stop). The bytes read, or -1 with errno (the host's error, the sink's, or EFBIG past
// maxBytes). The link's timeout bounds each whole reply, totalSeconds the whole transfer
// (LinkError of kind TimedOut); sink and progress may throw, and the transfer then ends with
// nothing more written into memory it was given.
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

// Host programs (runProgram, runCapture, errnoFromMessage) are <hostlink/run.h>.

} // namespace hostlink
