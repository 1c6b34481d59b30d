#include "tests/agent_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

bool AgentProcess::Start(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool daemon)
{
    std::string dir = TempDir();
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
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

Daemon::Daemon(bool verbose, const std::vector<std::string> &env)
{
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
