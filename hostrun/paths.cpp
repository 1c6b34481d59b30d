#include "hostrun/paths.h"

#include <charconv>
#include <vector>

namespace hostrun {

std::string NormalizePath(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos)
            j = path.size();
        std::string_view part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".")
            parts.push_back(part);
        i = j + 1;
    }
    std::string out;
    for (std::string_view p : parts) {
        out += '/';
        out += p;
    }
    if (out.empty())
        return "/";
    if (!path.empty() && path.back() == '/')
        out += '/';
    return out;
}

std::string JoinPath(std::string_view base, std::string_view rel)
{
    if (!rel.empty() && rel.front() == '/')
        return NormalizePath(rel);
    std::string whole(base);
    whole += '/';
    whole += rel;
    return NormalizePath(whole);
}

namespace {

// True when path is dir itself or lies below it (both normalised, dir without a trailing slash).
bool Under(std::string_view path, std::string_view dir)
{
    if (path.substr(0, dir.size()) != dir)
        return false;
    return path.size() == dir.size() || path[dir.size()] == '/';
}

} // namespace

std::optional<std::string> HostPathOf(const PathMap &map, std::string_view absolute)
{
    std::string path = NormalizePath(absolute);
    if (map.all) {
        for (std::string_view local : {"/proc", "/sys", "/dev"})
            if (Under(path, local))
                return std::nullopt;
        return path;
    }
    std::string prefix = NormalizePath(map.prefix);
    if (prefix == "/")
        return path;
    if (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (!Under(path, prefix))
        return std::nullopt;
    std::string rest = path.substr(prefix.size());
    return rest.empty() ? std::string("/") : rest;
}

std::string DisplayPath(const PathMap &map, std::string_view hostPath)
{
    std::string prefix = NormalizePath(map.prefix);
    if (map.all || prefix == "/")
        return std::string(hostPath);
    if (hostPath == "/")
        return prefix;
    return prefix + std::string(hostPath);
}

std::string EncodePlaceholder(const Placeholder &p)
{
    return "hostrun1 " + p.session + " " + std::to_string(p.hostFd) + " " + std::to_string(p.owner) + " " +
           std::to_string(p.flags) + "\n" + p.path;
}

std::optional<Placeholder> DecodePlaceholder(std::string_view text)
{
    constexpr std::string_view magic = "hostrun1 ";
    if (text.substr(0, magic.size()) != magic)
        return std::nullopt;
    text.remove_prefix(magic.size());
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos)
        return std::nullopt;
    std::string_view head = text.substr(0, nl);
    Placeholder p;
    p.path = std::string(text.substr(nl + 1));
    size_t sp = head.find(' ');
    if (sp == std::string_view::npos || sp == 0)
        return std::nullopt;
    p.session = std::string(head.substr(0, sp));
    const char *c = head.data() + sp + 1, *end = head.data() + head.size();
    long values[3];
    for (long &v : values) {
        auto [next, ec] = std::from_chars(c, end, v);
        if (ec != std::errc())
            return std::nullopt;
        c = next;
        if (c < end && *c == ' ')
            c++;
    }
    if (c != end || p.path.empty() || p.path.front() != '/')
        return std::nullopt;
    p.hostFd = static_cast<int>(values[0]);
    p.owner = values[1];
    p.flags = static_cast<int>(values[2]);
    return p;
}

} // namespace hostrun
