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
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    int argc = static_cast<int>(argv.size()), i = 0;
    auto fail = [&](std::string why) {
        *error = std::move(why);
        return std::nullopt;
    };
    try {
        for (; i < argc; i++) {
            std::string a = argv[i];
            if (a == "--") {
                if (!o.client.complete() && ++i < argc)
                    o.client.takeEndpoint(args[i]);
                i++;
                break;
            } else if (a == "-p" && i + 1 < argc) {
                auto clean = CleanPrefix(args[++i]);
                if (!clean)
                    return fail("hostrun: the prefix must be an absolute path without \"..\": " + args[i]);
                o.prefix = *clean;
            } else if (a == "-e" || a == "-i") {
                (a == "-e" ? o.hostEnv : o.identity) = true;
            } else if (int n = o.client.takeOption(argc, argv.data(), i)) {
                i += n - 1;
            } else if (a[0] == '-') {
                return fail(UsageLine()); // an option of no one's
            } else if (o.client.complete()) {
                break; // PROGRAM, after -peer PORT
            } else {
                o.client.takeEndpoint(a); // options end at the endpoint
                i++;
                break;
            }
        }
    } catch (const hostlink::UsageError &e) {
        return fail(std::string("hostrun: ") + e.what());
    }
    if (!o.client.complete() || i >= argc)
        return fail(UsageLine());
    o.program.assign(args.begin() + i, args.end());
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
