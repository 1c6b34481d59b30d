#include "tests/harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

Scratch::Scratch()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/hostagent-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("no scratch directory from " + tmpl + ": " + strerror(errno));
    path_ = tmpl;
}

Scratch::~Scratch()
{
    std::error_code ignored;
    if (path_.find("/hostagent-test-") != std::string::npos)
        fs::remove_all(path_, ignored);
}

std::string Msg::Bytes(bool swapped) const
{
    std::string out(4, '\0');
    for (const auto &[word, bytes] : parts)
        out.append(word && swapped ? std::string(bytes.rbegin(), bytes.rend()) : bytes);
    uint16_t n = static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(out.size()));
    if (swapped)
        n = static_cast<uint16_t>(n << 8 | n >> 8);
    memcpy(out.data(), &n, 2);
    out[2] = static_cast<char>(call);
    return out;
}

Reply Ask(Link &link, const Msg &m)
{
    link.sendRaw(m.Bytes(link.swapped()));
    return link.receive();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string &path, std::string_view text, mode_t mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

std::string Fmt(const char *format, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

bool WaitUntil(const std::function<bool()> &cond, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int OpenDescriptors(pid_t pid)
{
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        n += std::stoi(e.path().filename()) < 100; // valgrind keeps its own far above
    return n;
}

std::set<int> Children(pid_t pid)
{
    std::set<int> found;
    std::istringstream text(ReadFile(Fmt("/proc/%d/task/%d/children", pid, pid)));
    for (int child; text >> child;)
        found.insert(child);
    return found;
}

std::string CaptureStderr(const std::function<void()> &f)
{
    fflush(stderr);
    // Far above the numbers the code under test is given, so that it cannot close them.
    int saved = fcntl(2, F_DUPFD_CLOEXEC, 900), memory = memfd_create("trace", MFD_CLOEXEC);
    int sink = fcntl(memory, F_DUPFD_CLOEXEC, 900);
    close(memory);
    if (saved < 0 || sink < 0 || dup2(sink, 2) != 2)
        throw std::runtime_error("cannot capture standard error");
    f();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = ReadFile("/proc/self/fd/" + std::to_string(sink));
    close(sink);
    return text;
}

bool Signal(pid_t pid, int sig)
{
    if (pid <= 0) {
        ADD_FAILURE() << "refused to signal pid " << pid;
        return false;
    }
    return kill(pid, sig) == 0;
}

namespace {

// With HOSTAGENT_TEST_VALGRIND set, an agent in daemon mode that is found by its bare name
// runs under valgrind's memcheck, through a link that keeps its argv[0]; every report goes to
// a log in the agent's directory, and a log with anything in it fails the test.
[[noreturn]] void ExecValgrind(const Scratch &dir, std::vector<char *> &args)
{
    std::string bin = dir / "bin";
    mkdir(bin.c_str(), 0700);
    if (symlink(AGENT_PATH, (bin + "/" + args[0]).c_str()) != 0)
        _exit(127);
    const char *path = getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    std::string log = "--log-file=" + (dir / "valgrind.%p");
    std::vector<char *> vg = {const_cast<char *>("valgrind"), const_cast<char *>("-q"), const_cast<char *>("--leak-check=full"),
                              const_cast<char *>("--show-leak-kinds=definite"), const_cast<char *>("--errors-for-leak-kinds=definite"),
                              log.data()};
    vg.insert(vg.end(), args.begin(), args.end());
    execvp("valgrind", vg.data());
    _exit(127);
}

} // namespace

void Agent::Start(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool daemon)
{
    bool valgrind = getenv("HOSTAGENT_TEST_VALGRIND") && daemon && argv[0].find('/') == std::string::npos &&
                    std::none_of(env.begin(), env.end(), [](const std::string &e) { return e.rfind("PATH=", 0) == 0; });
    std::string out = dir / "stdout", err = dir / "stderr";
    pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
            e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        close_range(3, ~0U, 0); // the agent holds no descriptor of the test's
        unsetenv("DISPLAY");
        unsetenv("SSH_CONNECTION");
        for (const auto &v : env) // the child's own copy of v lives until the exec
            v.find('=') == std::string::npos ? unsetenv(v.c_str()) : putenv(const_cast<char *>(v.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (beforeExec)
            beforeExec();
        if (valgrind)
            ExecValgrind(dir, args);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    if (!daemon)
        return;
    std::string line;
    WaitUntil([&] {
        line = Out();
        return line.find('\n') != std::string::npos || !Running();
    });
    if (sscanf(line.c_str(), "port = %d\n", &port) != 1)
        throw std::runtime_error("the agent did not start in daemon mode: " + Err());
}

bool Agent::Running()
{
    int st;
    if (pid <= 0 || waitpid(pid, &st, WNOHANG) != pid)
        return pid > 0;
    pid = -1;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : 256 + WTERMSIG(st);
    return false;
}

Agent::~Agent()
{
    if (pid > 0 && getenv("HOSTAGENT_TEST_VALGRIND")) {
        Signal(pid, SIGTERM); // valgrind writes its report
        Wait(10);
    }
    if (pid > 0) {
        Signal(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::string reports;
    for (const auto &e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("valgrind.", 0) == 0)
            reports += ReadFile(e.path());
    if (!reports.empty())
        ADD_FAILURE() << "valgrind reports for the agent:\n" << reports;
}

Daemon::Daemon(bool verbose, const std::vector<std::string> &env, std::function<void()> before)
{
    beforeExec = std::move(before);
    Start(verbose ? std::vector<std::string>{"xt.term", "-v", "-d", "--"} : std::vector<std::string>{"xt.term", "-d", "--"}, env);
}

Link Agent::Connect(bool swapped, bool handshake) { return Dial(port, "127.0.0.1", swapped, handshake); }

Link Dial(int port, const char *host, bool swapped, bool handshake)
{
    Link link = Link::connect(host, port, swapped);
    link.setTimeout(10);
    if (handshake)
        link.handshake(1);
    return link;
}

int Listen(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t len = sizeof a;
    bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(s, 8) == 0 &&
              getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    *port = ntohs(a.sin_port);
    return ok ? s : (close(s), -1);
}

int AcceptWithin(int listener, int ms)
{
    struct pollfd p = {listener, POLLIN, 0};
    return poll(&p, 1, ms) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}
