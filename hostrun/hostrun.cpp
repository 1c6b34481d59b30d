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

#include "hostrun/elfcheck.h"
#include "hostrun/wire.h"

extern char **environ;

namespace {

using namespace hostrun;

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
        std::string hp = argv[i++];
        size_t colon = hp.rfind(':');
        if (colon == std::string::npos || colon == 0 || (o.port = ParsePort(hp.c_str() + colon + 1)) < 0) {
            fprintf(stderr, "hostrun: expected HOST:PORT or -peer PORT, not \"%s\"\n", hp.c_str());
            exit(2);
        }
        o.host = hp.substr(0, colon);
    } else {
        // As the agent starts a terminal client: the host that launched it.
        const char *ssh = getenv("SSH_CONNECTION");
        const char *h = getenv("HOSTAGENT_HOST");
        if (ssh && *ssh)
            o.host = std::string(ssh, strcspn(ssh, " "));
        else if (h && *h)
            o.host = h;
        else
            o.host = "127.0.0.1";
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

int Connect(const std::string &host, int port)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "hostrun: cannot resolve %s: %s\n", host.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1, err = 0;
    for (struct addrinfo *ai = res; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
            err = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0) {
        fprintf(stderr, "hostrun: cannot connect to %s:%d: %s\n", host.c_str(), port, strerror(err));
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

char gBuf[kMaxMessage];
char gReply[kMaxMessage];

// One request with no arguments (or the given message); the reply lands in gReply.
bool Ask(Wire &w, Message &m, int *len)
{
    int call = static_cast<unsigned char>(gBuf[2]);
    const char *req = m.finish();
    return w.send(req, m.size()) && w.receive(call, gReply, kMaxMessage, len);
}

bool Handshake(Wire &w)
{
    Message m(gBuf, 0);
    m.word(0x2ed76d19).word(1).word(7);
    int len;
    return Ask(w, m, &len) && len == 16 && static_cast<uint32_t>(Word(gReply, 1)) == 0x2ed76d19u &&
           Word(gReply, 2) == 1;
}

std::vector<std::string> HostEnvironment(Wire &w)
{
    Message m(gBuf, kGetenv);
    int len;
    std::vector<std::string> env;
    if (!Ask(w, m, &len))
        return env;
    int32_t n = Word(gReply, 1);
    if (n < 0 || n > len - 8)
        return env;
    const char *p = gReply + 8, *end = p + n;
    while (p < end) {
        size_t l = strnlen(p, static_cast<size_t>(end - p));
        env.emplace_back(p, l);
        p += l + 1;
    }
    return env;
}

int32_t AskWord(Wire &w, int call, bool *ok)
{
    Message m(gBuf, call);
    int len;
    *ok = *ok && Ask(w, m, &len) && len >= 8;
    return Word(gReply, 1);
}

std::string AskName(Wire &w, int call, bool *ok)
{
    Message m(gBuf, call);
    int len;
    *ok = *ok && Ask(w, m, &len) && len == 68;
    return std::string(gReply + 4, strnlen(gReply + 4, 64));
}

// Leaves the remote shell the way the bundled terminal client does: the parent ends at once and
// silently; the program runs in a session of its own with its output in a log.
void Detach(int port)
{
    const char *log = getenv("HOSTAGENT_LOG");
    const char *tmp = getenv("TMPDIR");
    std::string path = log && *log ? log : std::string(tmp && *tmp ? tmp : "/tmp") + "/hostrun-" + std::to_string(port) + ".log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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

    int fd = Connect(o.host, o.port);
    if (fd < 0)
        return 1;
    Wire w;
    w.attach(fd);
    if (!Handshake(w)) {
        fprintf(stderr, "hostrun: %s:%d does not answer as a host agent\n", o.host.c_str(), o.port);
        return 1;
    }
    std::vector<std::string> hostEnv = HostEnvironment(w);
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
    if (o.identity) {
        bool ok = true;
        int32_t uid = AskWord(w, kGetuid, &ok), gid = AskWord(w, kGetgid, &ok);
        int32_t euid = AskWord(w, kGeteuid, &ok), egid = AskWord(w, kGetegid, &ok);
        std::string login = AskName(w, kGetlogin, &ok), host = AskName(w, kGethostname, &ok);
        if (!ok) {
            fprintf(stderr, "hostrun: the agent did not tell its identity\n");
            return 1;
        }
        env.push_back("HOSTRUN_IDS=" + std::to_string(static_cast<uint32_t>(uid)) + ":" +
                      std::to_string(static_cast<uint32_t>(gid)) + ":" + std::to_string(static_cast<uint32_t>(euid)) +
                      ":" + std::to_string(static_cast<uint32_t>(egid)));
        env.push_back("HOSTRUN_LOGIN=" + login);
        env.push_back("HOSTRUN_HOSTNAME=" + host);
    }
    if (o.prefix == "/") {
        Message m(gBuf, kGetcwd);
        int len;
        if (Ask(w, m, &len) && Word(gReply, 1) != 0 && len > 12)
            env.push_back("HOSTRUN_CWD=" + std::string(gReply + 12, strnlen(gReply + 12, static_cast<size_t>(len - 12))));
    }

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
