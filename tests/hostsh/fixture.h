// The fixture of hostsh's program tests: an agent in daemon mode whose working directory is the
// scratch folder "host", and hostsh run in the scratch folder "local" with its input from a file.
#pragma once
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/agent_process.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;


struct Result {
    int status = -1; // exit status, 256 + signal, -1 when killed for running too long
    std::string out, err;
};

inline void Write(const std::string &path, const std::string &data) { WriteFile(path, data); }

inline int WaitFor(pid_t pid, double seconds)
{
    int ws = 0;
    if (pid <= 0) // never signal a group or every process
        return -1;
    if (!WaitUntil([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, seconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 256 + WTERMSIG(ws);
}

class Hostsh : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(host.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(local.c_str(), 0755), 0);
    }

    // An agent in daemon mode, working in the host folder; it serves one session.
    void StartAgent(const std::vector<std::string> &options = {})
    {
        std::string dir = host;
        agent = std::make_unique<AgentProcess>();
        agent->beforeExec = [dir] {
            if (chdir(dir.c_str()) != 0)
                _exit(126);
        };
        std::vector<std::string> argv = {"xt.hostsh", "-d"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        ASSERT_TRUE(agent->Start(argv)) << agent->Stderr();
    }

    std::vector<std::string> Argv(std::vector<std::string> opts)
    {
        opts.insert(opts.begin(), HOSTSH_PATH);
        opts.push_back("127.0.0.1:" + std::to_string(agent->port));
        return opts;
    }

    // Starts hostsh in the local folder with input from a file; its output goes to files
    // (one file for both when merged).
    pid_t Spawn(const std::vector<std::string> &argv, const std::string &input, bool merged,
                const std::vector<std::string> &env = {})
    {
        Write(root + "/input", input);
        pid_t pid = fork();
        if (pid == 0) {
            int in = open((root + "/input").c_str(), O_RDONLY);
            int out = open((root + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = merged ? out : open((root + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || chdir(local.c_str()) != 0)
                _exit(125);
            dup2(in, 0), dup2(out, 1), dup2(err, 2);
            for (const std::string &e : env)
                putenv(strdup(e.c_str()));
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        return pid;
    }

    Result Run(const std::vector<std::string> &argv, const std::string &input, bool merged = false,
               const std::vector<std::string> &env = {})
    {
        Result r;
        r.status = WaitFor(Spawn(argv, input, merged, env), 60);
        r.out = ReadFile(root + "/out");
        r.err = merged ? "" : ReadFile(root + "/err");
        return r;
    }

    Scratch scratch;
    std::string root = scratch.path(), host = root + "/host", local = root + "/local";
    std::unique_ptr<AgentProcess> agent;
};

