#include "hostrun/processes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hostrun/options.h"

extern char **environ;

namespace hostrun {
namespace {

constexpr size_t kErrKept = 4096; // the last bytes of hostfs's standard error kept for messages

sigset_t Handled()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGCHLD, SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        sigaddset(&set, s);
    return set;
}

void UnblockAll()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Reads what hostfs has written so far; false at its end.
bool Drain(Hostfs *fs)
{
    char buf[1024];
    ssize_t n;
    while ((n = read(fs->errFd, buf, sizeof buf)) > 0) {
        fs->errText.append(buf, static_cast<size_t>(n));
        if (fs->errText.size() > kErrKept)
            fs->errText.erase(0, fs->errText.size() - kErrKept);
    }
    return n < 0 && errno == EAGAIN;
}

std::string Said(const Hostfs &fs)
{
    std::string t = fs.errText;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    return t.empty() ? "" : "\n" + t;
}

// A path as the mount table writes it (space, tab, newline and backslash as octal escapes).
std::string Escaped(const std::string &path)
{
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char esc[5];
            snprintf(esc, sizeof esc, "\\%03o", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

// Whether something is mounted on path, read from the mount table without touching the mount.
bool Mounted(const std::string &path)
{
    std::ifstream table("/proc/self/mountinfo");
    std::string line, want = Escaped(path);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string f[5];
        for (auto &x : f)
            fields >> x;
        if (f[4] == want)
            return true;
    }
    return false;
}

volatile sig_atomic_t gChild = 0;

void Forward(int sig)
{
    if (gChild > 0)
        kill(gChild, sig);
}

void Ignore(int) {}

[[noreturn]] void RunChild(const Program &p)
{
    UnblockAll();
    if (!p.root.empty()) {
        std::string why = EnterRoot(p.root);
        if (!why.empty()) {
            fprintf(stderr, "%s\n", why.c_str());
            _exit(1);
        }
    }
    if (chdir(p.cwd.c_str()) < 0) {
        fprintf(stderr, "hostrun: cannot enter %s (%s): the program starts in /\n", p.cwd.c_str(), strerror(errno));
        if (chdir("/") < 0)
            _exit(1);
    }
    std::vector<char *> argv, env;
    for (const auto &a : p.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : p.env)
        env.push_back(const_cast<char *>(e.c_str()));
    env.push_back(nullptr);
    environ = env.data(); // so that the search along PATH uses the program's own
    execvp(argv[0], argv.data());
    int err = errno;
    fprintf(stderr, "hostrun: %s: %s\n", argv[0], strerror(err));
    _exit(err == ENOENT ? 127 : 126);
}

} // namespace

void BlockSignals()
{
    sigset_t set = Handled();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

std::string StartHostfs(int binary, int link, bool swapped, const std::string &mountPoint, const World &w,
                        Hostfs *fs)
{
    int err[2];
    if (pipe2(err, O_CLOEXEC) < 0)
        return std::string("hostrun: pipe: ") + strerror(errno);
    pid_t parent = getpid();
    fs->pid = fork();
    if (fs->pid < 0) {
        std::string why = std::string("hostrun: fork: ") + strerror(errno);
        close(err[0]);
        close(err[1]);
        return why;
    }
    if (fs->pid == 0) {
        setpgid(0, 0); // the terminal's signals are for the program
        prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != parent)
            _exit(1);
        UnblockAll();
        // hostfs ends itself with SIGTERM when the link is lost, unmounting; FUSE's handlers leave
        // an ignored signal alone, so the mount stays and answers EIO until hostrun ends it with
        // SIGINT, once the program is done.
        signal(SIGTERM, SIG_IGN);
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(err[1], 1) < 0 || dup2(err[1], 2) < 0 ||
            fcntl(link, F_SETFD, 0) < 0)
            _exit(1);
        if (w.userNamespace && w.uid != 0)
            KeepMountRight();
        std::string endpoint = "fd:" + std::to_string(link);
        // Only the program's own ids exist in a user namespace, and the kernel refuses to change
        // what belongs to an id that does not: every host file is shown as the program's own.
        std::string owner = "uid=" + std::to_string(w.uid) + ",gid=" + std::to_string(w.gid);
        std::vector<const char *> argv = {"hostfs", endpoint.c_str(), mountPoint.c_str(), "-f"};
        if (w.userNamespace)
            argv.insert(argv.end(), {"-o", owner.c_str()});
        if (swapped)
            argv.push_back("-swapped");
        argv.push_back(nullptr);
        syscall(SYS_execveat, binary, "", argv.data(), environ, AT_EMPTY_PATH);
        fprintf(stderr, "cannot execute hostfs: %s\n", strerror(errno));
        _exit(127);
    }
    close(err[1]);
    fs->errFd = err[0];
    fcntl(fs->errFd, F_SETFL, O_NONBLOCK);
    // The mount table wakes a poll for POLLPRI when it changes; hostfs's end closes its pipe.
    int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    struct pollfd fds[2] = {{fs->errFd, POLLIN, 0}, {table, POLLPRI, 0}};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string why;
    while (why.empty()) {
        int st;
        if (waitpid(fs->pid, &st, WNOHANG) == fs->pid) {
            Drain(fs);
            fs->pid = -1;
            why = "hostrun: hostfs could not mount the host (status " + std::to_string(ExitStatusOf(st)) + ")" + Said(*fs);
        } else if (Mounted(mountPoint)) {
            break;
        } else if (std::chrono::steady_clock::now() > deadline) {
            kill(fs->pid, SIGKILL);
            waitpid(fs->pid, nullptr, 0);
            fs->pid = -1;
            why = "hostrun: hostfs did not mount the host within 20 s" + Said(*fs);
        } else {
            poll(fds, 2, 100);
            if (fds[0].revents && !Drain(fs))
                fds[0].fd = -1;
        }
    }
    if (table >= 0)
        close(table);
    return why;
}

pid_t StartProgram(const Program &p)
{
    pid_t parent = getpid();
    pid_t reaper = fork();
    if (reaper != 0)
        return reaper;
    // The reaper: every descendant that loses its parent comes here, so the program has ended
    // when no child is left.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(1);
    struct sigaction forward = {}, ignore = {};
    forward.sa_handler = Forward;
    ignore.sa_handler = Ignore; // a handler, not SIG_IGN, so that the program gets the default
    sigaction(SIGTERM, &forward, nullptr);
    sigaction(SIGHUP, &forward, nullptr);
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGQUIT, &ignore, nullptr);
    pid_t child = fork();
    if (child == 0)
        RunChild(p);
    if (child < 0) {
        fprintf(stderr, "hostrun: fork: %s\n", strerror(errno));
        _exit(1);
    }
    gChild = child;
    UnblockAll();
    int status = 1;
    for (;;) {
        int st;
        pid_t pid = waitpid(-1, &st, 0);
        if (pid == child)
            status = ExitStatusOf(st);
        else if (pid < 0 && errno != EINTR)
            break;
    }
    _exit(status);
}

int Supervise(pid_t reaper, Hostfs *fs, int link)
{
    sigset_t set = Handled();
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    struct pollfd fds[3] = {{sfd, POLLIN, 0}, {link, POLLRDHUP, 0}, {fs->errFd, POLLIN, 0}};
    int status = -1, fsStatus = -1;
    while (status < 0) {
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo si;
            if (read(sfd, &si, sizeof si) == sizeof si && (si.ssi_signo == SIGTERM || si.ssi_signo == SIGHUP))
                kill(reaper, static_cast<int>(si.ssi_signo));
            int st;
            pid_t pid;
            while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
                if (pid == reaper)
                    status = ExitStatusOf(st);
                else if (pid == fs->pid)
                    fsStatus = st, fs->pid = -1;
            }
        }
        if (fds[1].revents) {
            fprintf(stderr, "hostrun: the agent has closed the connection: the host's files fail from now on\n");
            fds[1].fd = -1;
        }
        if (fds[2].revents && !Drain(fs))
            fds[2].fd = -1;
    }
    if (fsStatus >= 0)
        fprintf(stderr, "hostrun: hostfs ended before the program (status %d)%s\n", ExitStatusOf(fsStatus),
                Said(*fs).c_str());
    if (fs->pid > 0) {
        kill(fs->pid, SIGINT);
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        struct timespec tick = {0, 100 * 1000 * 1000};
        bool ended = false;
        for (int i = 0; i < 50 && !ended; i++) // 5 s, woken by each child's end
            ended = waitpid(fs->pid, nullptr, WNOHANG) == fs->pid || (sigtimedwait(&child, nullptr, &tick), false);
        if (!ended && kill(fs->pid, SIGKILL) == 0)
            waitpid(fs->pid, nullptr, 0);
        fs->pid = -1;
    }
    if (sfd >= 0)
        close(sfd);
    return status < 0 ? 1 : status;
}

} // namespace hostrun
