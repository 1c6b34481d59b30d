#include "hostrun/options.h"

#include <cstdlib>
#include <sys/wait.h>

namespace hostrun {

std::string UsageLine()
{
    return "usage: hostrun [-p PREFIX] [-e] [-i] [--key FILE] [HOST:PORT | -peer PORT] PROGRAM [ARGS...]";
}

std::optional<Options> ParseOptions(const std::vector<std::string> &args, std::string *error)
{
    Options o;
    size_t i = 0;
    auto fail = [&](std::string why) {
        *error = std::move(why);
        return std::nullopt;
    };
    for (; i < args.size(); i++) {
        const std::string &a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--") {
            i++;
            break;
        } else if (a == "-p" && hasValue) {
            auto clean = CleanPrefix(args[++i]);
            if (!clean)
                return fail("hostrun: the prefix must be an absolute path without \"..\": " + args[i]);
            o.prefix = *clean;
        } else if (a == "-e") {
            o.hostEnv = true;
        } else if (a == "-i") {
            o.identity = true;
        } else if (a == "--key" && hasValue) {
            o.keyFile = args[++i];
        } else if (a == "-peer" && hasValue) {
            char *end;
            long port = strtol(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end || port < 1 || port > 65535)
                return fail("hostrun: -peer wants a port from 1 to 65535, not \"" + args[i] + "\"");
            o.peerPort = static_cast<int>(port);
        } else if (a.size() > 1 && a[0] == '-' && o.endpoint.empty()) {
            return fail(UsageLine());
        } else {
            break;
        }
    }
    if (o.peerPort < 0) {
        if (i >= args.size())
            return fail(UsageLine());
        o.endpoint = args[i++];
        if (o.endpoint.rfind(':') == std::string::npos)
            return fail("hostrun: expected HOST:PORT or -peer PORT, not \"" + o.endpoint + "\"");
    }
    if (i >= args.size())
        return fail(UsageLine());
    o.program.assign(args.begin() + static_cast<long>(i), args.end());
    return o;
}

std::optional<std::string> CleanPrefix(std::string_view path)
{
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    std::string out;
    for (const std::string &c : Components(path)) {
        if (c == "..")
            return std::nullopt;
        if (c != ".")
            out += "/" + c;
    }
    return out.empty() ? "/" : out;
}

std::vector<std::string> Components(std::string_view path)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos)
            j = path.size();
        if (j > i)
            out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string MapLine(uint32_t inside, uint32_t outside)
{
    return std::to_string(inside) + " " + std::to_string(outside) + " 1\n";
}

int ExitStatusOf(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return 1;
}

std::vector<std::string> ProgramEnvironment(std::vector<std::string> base, const std::string &login)
{
    if (login.empty())
        return base;
    std::vector<std::string> out;
    for (std::string &e : base)
        if (e.rfind("LOGNAME=", 0) != 0 && e.rfind("USER=", 0) != 0)
            out.push_back(std::move(e));
    out.push_back("LOGNAME=" + login);
    out.push_back("USER=" + login);
    return out;
}

} // namespace hostrun
