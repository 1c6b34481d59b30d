#include "tests/agent_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string TempDir()
{
    char tmpl[] = "/tmp/hostagent-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

namespace {

// With HOSTAGENT_TEST_VALGRIND set, an agent in daemon mode runs under valgrind's memcheck.
// Valgrind takes the program from PATH and passes the name on as given, so a link named as
// the agent's argv[0] keeps the agent's own messages unchanged. Every report goes to a log
// in the agent's directory; a log with anything in it fails the test.
bool ValgrindWanted(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool daemon)
{
    if (!getenv("HOSTAGENT_TEST_VALGRIND") || !daemon || argv.empty() || argv[0].find('/') != std::string::npos)
        return false;
    for (const auto &e : env)
        if (e.rfind("PATH=", 0) == 0)
            return false;
    return true;
}

void RunUnderValgrind(const std::string &dir, std::vector<char *> &args)
{
    std::string bin = dir + "/bin";
    mkdir(bin.c_str(), 0700);
    if (symlink(AGENT_PATH, (bin + "/" + args[0]).c_str()) != 0)
        _exit(127);
    const char *path = getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    std::string log = "--log-file=" + dir + "/valgrind.%p";
    std::vector<char *> vg = {const_cast<char *>("valgrind"), const_cast<char *>("-q"),
                              const_cast<char *>("--leak-check=full"),
                              const_cast<char *>("--show-leak-kinds=definite"),
                              const_cast<char *>("--errors-for-leak-kinds=definite"), log.data()};
    vg.insert(vg.end(), args.begin(), args.end());
    execvp("valgrind", vg.data());
    _exit(127);
}

} // namespace

std::string AgentProcess::ValgrindReports() const
{
    std::string reports;
    std::string dir = errPath.substr(0, errPath.rfind('/'));
    DIR *d = opendir(dir.c_str());
    if (!d)
        return reports;
    while (struct dirent *e = readdir(d))
        if (strncmp(e->d_name, "valgrind.", 9) == 0)
            reports += ReadFile(dir + "/" + e->d_name);
    closedir(d);
    return reports;
}

int OpenDescriptors(pid_t pid)
{
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)e;
        n++;
    }
    return n;
}

bool AgentProcess::Start(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool daemon)
{
    std::string dir = TempDir();
    bool valgrind = ValgrindWanted(argv, env, daemon);
    errPath = dir + "/stderr";
    outPath = dir + "/stdout";
    pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        dup2(out, 1);
        for (const auto &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (beforeExec)
            beforeExec();
        if (valgrind)
            RunUnderValgrind(dir, args);
        execv(AGENT_PATH, args.data());
        _exit(127);
    }
    if (!daemon)
        return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string out = Stdout();
        if (sscanf(out.c_str(), "port = %d\n", &port) == 1 && out.find('\n') != std::string::npos)
            return true;
        if (!Running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int AgentProcess::Wait(double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (Running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return exitCode;
}

bool AgentProcess::Running()
{
    if (pid <= 0)
        return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) != pid)
        return true;
    pid = -1;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
    return false;
}

std::string AgentProcess::Stderr() const { return ReadFile(errPath); }
std::string AgentProcess::Stdout() const { return ReadFile(outPath); }

AgentProcess::~AgentProcess()
{
    if (pid > 0) {
        // Under valgrind the agent is given the chance to finish its report.
        if (getenv("HOSTAGENT_TEST_VALGRIND")) {
            kill(pid, SIGTERM);
            Wait(10);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (!errPath.empty()) {
        std::string reports = ValgrindReports();
        if (!reports.empty())
            ADD_FAILURE() << "valgrind reports for the agent:\n" << reports;
        std::error_code ignored;
        std::filesystem::remove_all(errPath.substr(0, errPath.rfind('/')), ignored);
    }
}

Daemon::Daemon(bool verbose, const std::vector<std::string> &env, std::function<void()> beforeExec)
{
    agent.beforeExec = std::move(beforeExec);
    std::vector<std::string> args = {"xt.term"};
    if (verbose)
        args.push_back("-v");
    args.push_back("-d");
    args.push_back("--");
    if (!agent.Start(args, env))
        ADD_FAILURE() << "the agent did not start in daemon mode: " << agent.Stderr();
}

hostlink::Link Daemon::Connect(bool swapped)
{
    hostlink::Link link = hostlink::Link::connect("127.0.0.1", agent.port, swapped);
    link.setTimeout(10); // a hanging agent fails the test instead of blocking it
    return link;
}

hostlink::Link Daemon::Open(bool swapped)
{
    hostlink::Link link = Connect(swapped);
    link.handshake(1);
    return link;
}
