#include "hostfs/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <hostlink/version.h>

namespace hostfs {

namespace {

bool number(const std::string &text, double lo, double hi, double *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool wholeNumber(const std::string &text, long lo, long hi, long *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

} // namespace

std::string Options::endpointText() const
{
    if (fd >= 0)
        return "fd:" + std::to_string(fd);
    if (client.peer)
        return "-peer " + std::to_string(client.where.port);
    const std::string &host = client.where.host;
    std::string port = std::to_string(client.where.port);
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

std::string usage()
{
    return "usage: hostfs HOST:PORT | [V6]:PORT | -peer PORT | fd:N  MOUNTPOINT [-o OPTIONS] [-f] [-d] [-s]\n"
           "              [-swapped] [--key FILE]\n"
           "  fd:N               descriptor N is a link already connected (and authenticated)\n"
           "options (-o, comma-separated; others go to FUSE):\n"
           "  root=PATH          host directory at the mount's root (default /)\n"
           "  attr_timeout=SEC   attribute cache time (default 20)\n"
           "  entry_timeout=SEC  name and listing cache time (default 20)\n"
           "  link_timeout=SEC   longest wait for the agent before the link counts as lost (default 10)\n"
           "  readahead=N        largest read-ahead window in chunks of 65508 bytes (default 256)\n"
           "  write_window=N     write chunks sent ahead of their replies (default 64)\n"
           "  dir_readahead=N    small files of a directory read ahead together (default 32, 0: off)\n"
           "  reconnect          connect again when the link is lost, reopen open files\n"
           "  noext              do not use the agent's extension calls\n"
           "  nodefer            make each new file on the host at its create, not at its first close\n"
           "  -f foreground, -d debug (implies -f), -s single-threaded\n"
           "  --help, --version\n";
}

bool takeOption(Options &o, const std::string &option, std::string *error)
{
    size_t eq = option.find('=');
    std::string key = option.substr(0, eq), value = eq == std::string::npos ? "" : option.substr(eq + 1);
    bool hasValue = eq != std::string::npos;
    auto bad = [&](const char *what) {
        *error = "hostfs: bad value in -o " + option + ": " + what;
        return true;
    };
    double d;
    long n;
    if (key == "root") {
        if (!hasValue || value.empty() || value.find('\0') != std::string::npos)
            return bad("a host path");
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        o.root = value;
    } else if (key == "attr_timeout" || key == "entry_timeout" || key == "link_timeout") {
        if (!hasValue || !number(value, 0, 1e6, &d))
            return bad("seconds from 0");
        (key == "attr_timeout" ? o.attrTimeout : key == "entry_timeout" ? o.entryTimeout : o.linkTimeout) = d;
    } else if (key == "readahead") {
        if (!hasValue || !wholeNumber(value, 1, 1024, &n))
            return bad("1 to 1024");
        o.readaheadChunks = static_cast<int>(n);
    } else if (key == "write_window") {
        if (!hasValue || !wholeNumber(value, 0, 1024, &n))
            return bad("0 to 1024");
        o.writeWindowChunks = static_cast<int>(n);
    } else if (key == "dir_readahead") {
        if (!hasValue || !wholeNumber(value, 0, 256, &n))
            return bad("0 to 256");
        o.dirReadahead = static_cast<int>(n);
    } else if (option == "noext") {
        o.noext = true;
    } else if (option == "nodefer") {
        o.nodefer = true;
    } else if (option == "reconnect") {
        o.reconnect = true;
    } else {
        return false;
    }
    return true;
}

Parsed parseCommandLine(const std::vector<std::string> &args)
{
    Parsed p;
    Options &o = p.options;
    auto fail = [&](const std::string &message) {
        p.message = message + "\n" + usage();
        p.exitStatus = 1;
        return p;
    };
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    int argc = static_cast<int>(argv.size());
    for (int i = 0; i < argc;) {
        const std::string a = args[static_cast<size_t>(i)];
        bool more = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            p.message = usage();
            p.exitStatus = 0;
            return p;
        } else if (a == "--version" || a == "-V") {
            p.message = "hostfs " HOSTLINK_VERSION "\n";
            p.exitStatus = 0;
            return p;
        } else if (a.rfind("fd:", 0) == 0 && o.fd < 0 && !o.client.complete()) {
            long fd;
            if (!wholeNumber(a.substr(3), 0, 1 << 20, &fd))
                return fail("hostfs: fd:N takes a descriptor number");
            o.fd = static_cast<int>(fd);
            i++;
            continue;
        } else if (a == "-f") {
            o.foreground = true;
        } else if (a == "-d") {
            o.debug = o.foreground = true;
        } else if (a == "-s") {
            o.singleThread = true;
        } else if (a == "-o" && more) {
            std::string list = args[static_cast<size_t>(++i)];
            for (size_t at = 0; at <= list.size();) {
                size_t comma = list.find(',', at);
                if (comma == std::string::npos)
                    comma = list.size();
                std::string one = list.substr(at, comma - at);
                std::string error;
                if (!one.empty() && !takeOption(o, one, &error)) {
                    o.fuseOptions.push_back(one);
                    o.multiUser = o.multiUser || one == "allow_other";
                }
                if (!error.empty())
                    return fail(error);
                at = comma + 1;
            }
        } else {
            int n = 0;
            try {
                n = o.fd >= 0 ? o.client.takeOption(argc, argv.data(), i) : o.client.take(argc, argv.data(), i);
            } catch (const hostlink::UsageError &e) {
                return fail(std::string("hostfs: ") + e.what());
            }
            if (n > 0) {
                i += n;
                continue;
            }
            if (a.size() > 1 && a[0] == '-')
                return fail("hostfs: unknown option " + a);
            if (!o.mountpoint.empty())
                return fail("hostfs: one mount point only (" + a + ")");
            o.mountpoint = a;
        }
        i++;
    }
    if ((o.fd < 0 && !o.client.complete()) || o.mountpoint.empty())
        return fail("hostfs: an agent's endpoint and a mount point are needed");
    if (o.fd >= 0 && o.client.complete())
        return fail("hostfs: the agent is named twice (fd:" + std::to_string(o.fd) + ")");
    if (o.fd >= 0 && o.reconnect)
        return fail("hostfs: -o reconnect needs an endpoint to connect to again, not fd:N");
    return p;
}

std::optional<std::string> mountPointProblem(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) < 0)
        return "hostfs: cannot mount on " + path + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "hostfs: cannot mount on " + path + ": not a directory";
    if (::access(path.c_str(), R_OK | X_OK) < 0)
        return "hostfs: cannot mount on " + path + ": " + strerror(errno);
    return std::nullopt;
}

} // namespace hostfs
