// hostrun's command line, and the pure helpers around it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/connect.h>

namespace hostrun {

struct Options {
    std::string prefix = "/host"; // where the host's / stands; "/" makes it the root
    bool hostEnv = false;         // -e
    bool identity = false;        // -i
    hostlink::ClientArgs client;  // HOST:PORT or -peer PORT, -swapped, --key FILE
    std::vector<std::string> program; // PROGRAM ARGS...
};

// The command line after argv[0]; nullopt with *error set (the usage line when it is the
// usage that is wrong).
std::optional<Options> ParseOptions(const std::vector<std::string> &args, std::string *error);
std::string UsageLine();

// An absolute path without empty, "." components and trailing slashes; nullopt for a
// relative path or one with a ".." component.
std::optional<std::string> CleanPrefix(std::string_view path);
// The components of a clean absolute path ("/a/b" gives a, b; "/" gives none).
std::vector<std::string> Components(std::string_view clean);

// One line of /proc/PID/uid_map or gid_map: inside maps to outside, one id.
std::string MapLine(uint32_t inside, uint32_t outside);

// The exit status that a shell gives a program that ended with the wait status st.
int ExitStatusOf(int st);

// The environment the program starts with: base (this one's, or the host's with -e) with
// LOGNAME and USER set to login when it is not empty.
std::vector<std::string> ProgramEnvironment(std::vector<std::string> base, const std::string &login);

} // namespace hostrun
