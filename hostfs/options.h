// hostfs's command line: where the agent is, where to mount, and the -o options, all checked
// before anything is connected.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include <hostlink/connect.h>

namespace hostfs {

struct Options {
    // Where the agent is: the shared command line (HOST:PORT, [V6]:PORT, -peer PORT, -swapped,
    // --key FILE), or fd:N, descriptor N being a link already connected and authenticated.
    hostlink::ClientArgs client;
    int fd = -1;

    std::string mountpoint;
    std::string root = "/";      // host directory at the mount's root
    double attrTimeout = 20;     // attributes, entries and listings kept this long
    double entryTimeout = 20;
    double linkTimeout = 10;     // the longest wait for the agent; then the link counts as lost
    int readaheadChunks = 256;   // the largest read-ahead window, in chunks of one read reply
    int writeWindowChunks = 64;  // write data sent ahead of its replies, in chunks
    int dirReadahead = 32;       // small files of a listed directory read ahead together
    bool noext = false;
    bool nodefer = false; // every create goes to the host at once
    bool reconnect = false;
    bool foreground = false;
    bool debug = false;
    bool singleThread = false;
    std::vector<std::string> fuseOptions; // -o options for FUSE itself
    bool multiUser = false; // allow_other: new files take their maker's ids

    // The endpoint as messages and the mount's source name show it.
    std::string endpointText() const;
};

// What parseCommandLine found: options, or a message (help and version are messages too).
struct Parsed {
    Options options;
    std::string message;     // for the user: an error, the usage, or the version
    int exitStatus = -1;     // -1: go on and mount; else exit with it after printing message
};

Parsed parseCommandLine(const std::vector<std::string> &args);
// One -o option of hostfs's own; false when it is not one (it goes to FUSE). error gets a
// message when it is one of ours with a bad value.
bool takeOption(Options &options, const std::string &option, std::string *error);
// Why path cannot be mounted on, or nullopt when it can.
std::optional<std::string> mountPointProblem(const std::string &path);
std::string usage();

} // namespace hostfs
