// Which paths belong to the host, and how the program sees them.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace hostrun {

// The program's view: every path under prefix is the host's path with the prefix taken off;
// with all set, every absolute path is the host's except those under /proc, /sys and /dev,
// which describe this terminal and its processes.
struct PathMap {
    std::string prefix = "/host";
    bool all = false;
};

// A lexically normalised absolute path: no empty, "." or ".." components; a trailing slash of
// path is kept (it asks for a directory). A ".." above the root stays at the root.
std::string NormalizePath(std::string_view path);
// base (absolute) and a relative path, normalised.
std::string JoinPath(std::string_view base, std::string_view rel);
// The host's path for an absolute path of the program, or nothing when the path is local.
std::optional<std::string> HostPathOf(const PathMap &map, std::string_view absolute);
// How the program sees a host path.
std::string DisplayPath(const PathMap &map, std::string_view hostPath);

// A placeholder descriptor's record: which host descriptor it stands for, in which session, which
// process opened it (and so closes it on the host), its open flags and host path.
struct Placeholder {
    std::string session;
    int hostFd = -1; // -1: a path only (a directory or an O_PATH open)
    long owner = 0;
    int flags = 0;
    std::string path;
};
std::string EncodePlaceholder(const Placeholder &p);
std::optional<Placeholder> DecodePlaceholder(std::string_view text);

} // namespace hostrun
