// Older include path of the file and directory calls; new code includes <hostlink/calls.h>.
// The forms below are the library's first interface, kept for code written against it.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include <hostlink/calls.h>

namespace hostlink {

inline int LocalErrno(int32_t wire) { return localErrno(wire); }

// The next entry's name, or nullopt at the end of the directory or on an error.
inline std::optional<std::string> readdir(Link &link, uint32_t handle)
{
    std::string name;
    if (readdir(link, handle, &name) <= 0)
        return std::nullopt;
    return name;
}

inline std::optional<std::string> getcwd(Link &link)
{
    std::string path;
    if (getcwd(link, &path) < 0)
        return std::nullopt;
    return path;
}

inline std::optional<std::string> readlink(Link &link, std::string_view path)
{
    std::string text;
    if (readlink(link, path, &text) < 0)
        return std::nullopt;
    return text;
}

} // namespace hostlink
