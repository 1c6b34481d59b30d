// hostrun [-p PREFIX] [-e] [-i] [HOST:PORT | -peer PORT] PROGRAM [ARGS...]
//
// Connects to the agent, makes the handshake, and becomes PROGRAM with libhostrun.so preloaded;
// the connection stays open across the exec and the library serves the program through it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/link.h>
#include <hostlink/tools.h>

#include "hostrun/elfcheck.h"

extern char **environ;

namespace {

struct Options {
    std::string prefix = "/host";
    bool hostEnv = false;
    bool identity = false;
    std::string host;
    int port = -1;
    bool peer = false;
    char **program = nullptr;
};

[[noreturn]] void Usage()
{
    fprintf(stderr, "usage: hostrun [-p PREFIX] [-e] [-i] [HOST:PORT | -peer PORT] PROGRAM [ARGS...]\n");
    exit(2);
}

int ParsePort(const char *s)
{
    char *end;
    long v = strtol(s, &end, 10);
    return *s && !*end && v > 0 && v < 65536 ? static_cast<int>(v) : -1;
}

Options ParseOptions(int argc, char **argv)
{
    Options o;
    int i = 1;
    for (; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        }
        if (strcmp(a, "-p") == 0 && i + 1 < argc) {
            o.prefix = argv[++i];
            if (o.prefix.empty() || o.prefix[0] != '/') {
                fprintf(stderr, "hostrun: the prefix must be an absolute path\n");
                exit(2);
            }
        } else if (strcmp(a, "-e") == 0)
            o.hostEnv = true;
        else if (strcmp(a, "-i") == 0)
            o.identity = true;
        else if (strcmp(a, "-peer") == 0 && i + 1 < argc) {
            o.port = ParsePort(argv[++i]);
            o.peer = true;
            if (o.port < 0)
                Usage();
        } else
            break;
    }
    if (!o.peer) {
        if (i >= argc)
            Usage();
        auto where = hostlink::parseEndpoint(argv[i]);
        if (!where) {
            fprintf(stderr, "hostrun: expected HOST:PORT or -peer PORT, not \"%s\"\n", argv[i]);
            exit(2);
        }
        o.host = where->host;
        o.port = where->port;
        i++;
    }
    if (i >= argc)
        Usage();
    o.program = argv + i;
    return o;
}

// PROGRAM along PATH, as execvp would find it.
std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t i = 0;
    while (i <= dirs.size()) {
        size_t j = dirs.find(':', i);
        if (j == std::string::npos)
            j = dirs.size();
        std::string dir = j > i ? dirs.substr(i, j - i) : ".";
        std::string cand = dir + "/" + name;
        if (access(cand.c_str(), X_OK) == 0) {
            struct stat st;
            if (stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                return cand;
        }
        i = j + 1;
    }
    return "";
}

// The preloaded library: HOSTRUN_LIBRARY, else next to this program (the build tree), else
// where the installation puts it relative to this program.
std::string FindLibrary()
{
    if (const char *env = getenv("HOSTRUN_LIBRARY"); env && *env)
        return env;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    for (std::string cand : {dir + "/libhostrun.so", dir + "/" HOSTRUN_LIBRARY_FROM_BIN "/libhostrun.so"})
        if (access(cand.c_str(), R_OK) == 0)
            return cand;
    return "";
}

// Leaves the remote shell the way the bundled terminal client does: the parent ends at once and
// silently; the program runs in a session of its own with its output in a log.
void Detach(int port)
{
    std::string path;
    int fd = hostlink::openClientLog("hostrun", port, "HOSTAGENT_LOG", &path);
    if (fd < 0) {
        fprintf(stderr, "hostrun: cannot open the log %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "hostrun: cannot fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid > 0)
        _exit(0);
    setsid();
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0)
        dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (null > 2)
        close(null);
    close(fd);
}

// A descriptor moved to 400 or above and left open across exec.
int Inheritable(int fd)
{
    int moved = fcntl(fd, F_DUPFD, 400);
    if (moved < 0)
        return -1;
    close(fd);
    return moved;
}

} // namespace

int main(int argc, char **argv)
{
    Options o = ParseOptions(argc, argv);
    std::string program = FindProgram(o.program[0]);
    if (program.empty()) {
        fprintf(stderr, "hostrun: %s: not found\n", o.program[0]);
        return 127;
    }
    std::string why = hostrun::WhyUnpreloadable(program);
    if (!why.empty()) {
        fprintf(stderr, "hostrun: cannot serve %s: it %s\n", program.c_str(), why.c_str());
        return 126;
    }
    std::string library = FindLibrary();
    if (library.empty()) {
        fprintf(stderr, "hostrun: cannot find libhostrun.so (set HOSTRUN_LIBRARY)\n");
        return 1;
    }
    if (o.peer)
        Detach(o.port);

    // The link is left without a time limit: the program may wait on a host pipe for as long
    // as it likes. Its descriptor is kept (a copy) once the library's Link is gone.
    hostlink::ConnectOptions how;
    how.timeoutSeconds = 0;
    int fd = -1;
    std::vector<std::string> hostEnv, identity;
    std::string hostCwd;
    try {
        hostlink::Link link = o.peer ? hostlink::connectPeer(o.port, how) : hostlink::connectTo({o.host, o.port}, how);
        hostEnv = hostlink::getenv(link);
        if (o.identity) {
            std::string login, host;
            hostlink::getlogin(link, &login);
            hostlink::gethostname(link, &host);
            identity = {"HOSTRUN_IDS=" + std::to_string(static_cast<uint32_t>(hostlink::getuid(link))) + ":" +
                            std::to_string(static_cast<uint32_t>(hostlink::getgid(link))) + ":" +
                            std::to_string(static_cast<uint32_t>(hostlink::geteuid(link))) + ":" +
                            std::to_string(static_cast<uint32_t>(hostlink::getegid(link))),
                        "HOSTRUN_LOGIN=" + login, "HOSTRUN_HOSTNAME=" + host};
        }
        if (o.prefix == "/" && hostlink::getcwd(link, &hostCwd) < 0)
            hostCwd.clear();
        if (link.swapped()) // the library speaks this machine's order unless asked otherwise
            throw hostlink::LinkError(hostlink::LinkError::Kind::Protocol, "link in the opposite byte order");
        fd = dup(link.fd());
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "hostrun: %s:%d: %s\n", o.host.c_str(), o.port, e.what());
        return 1;
    }
    bool extensions = false;
    for (const auto &e : hostEnv)
        extensions |= e == "HOSTAGENT_EXTENSIONS=1";

    std::vector<std::string> env;
    if (o.hostEnv)
        env = hostEnv;
    else
        for (char **e = environ; *e; e++)
            env.emplace_back(*e);
    std::string preload = library;
    for (auto it = env.begin(); it != env.end();) {
        if (it->rfind("HOSTRUN_", 0) == 0 && it->rfind("HOSTRUN_LIBRARY=", 0) != 0)
            it = env.erase(it);
        else if (it->rfind("LD_PRELOAD=", 0) == 0) {
            if (!o.hostEnv && it->size() > 11)
                preload += ":" + it->substr(11);
            it = env.erase(it);
        } else
            ++it;
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("HOSTRUN_MAP=" + o.prefix);
    if (extensions)
        env.push_back("HOSTRUN_EXTENSIONS=1");
    env.insert(env.end(), identity.begin(), identity.end());
    if (!hostCwd.empty())
        env.push_back("HOSTRUN_CWD=" + hostCwd);

    // The link and the lock outlive the exec; the session is the link's inode number.
    int link = Inheritable(fd);
    int lock = memfd_create("hostrun-lock", 0);
    if (lock >= 0)
        lock = Inheritable(lock);
    struct stat st;
    if (link < 0 || lock < 0 || fstat(link, &st) < 0) {
        fprintf(stderr, "hostrun: cannot keep the link open: %s\n", strerror(errno));
        return 1;
    }
    env.push_back("HOSTRUN_LINK=" + std::to_string(link) + ":" + std::to_string(lock) + ":" +
                  std::to_string(st.st_ino));

    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(program.c_str(), o.program, envp.data());
    fprintf(stderr, "hostrun: cannot run %s: %s\n", program.c_str(), strerror(errno));
    return errno == ENOENT ? 127 : 126;
}
