// hostfs on a link it is handed (fd:N), as a program that runs it in a namespace of its own
// does: a real mount, ended by unmounting it or by the agent going away.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/agent_process.h"

namespace {

bool CanMount()
{
    int fd = open("/dev/fuse", O_RDWR);
    if (fd >= 0)
        close(fd);
    return getuid() == 0 && fd >= 0 && access("/usr/bin/fusermount3", X_OK) == 0;
}

bool Mounted(const std::string &dir)
{
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 && a.st_dev != b.st_dev;
}

struct Mount {
    Scratch s;
    std::string root = s / "root", mnt = s / "mnt";
    AgentProcess agent;
    pid_t pid = -1;
    int status = -1;

    // hostfs fd:N on a link connected and handshaken here.
    bool Start(bool ext)
    {
        mkdir(root.c_str(), 0755);
        mkdir(mnt.c_str(), 0755);
        if (!agent.Start(ext ? std::vector<std::string>{"xt.term", "-x", "-d", "--"} : std::vector<std::string>{"xt.term", "-d", "--"}))
            return false;
        hostlink::Link link = agent.Open();
        pid = fork();
        if (pid == 0) {
            fcntl(link.fd(), F_SETFD, 0); // handed on across the exec
            std::string endpoint = "fd:" + std::to_string(link.fd()), opts = "root=" + root;
            execl(HOSTFS_PATH, "hostfs", endpoint.c_str(), mnt.c_str(), "-f", "-o", opts.c_str(), nullptr);
            _exit(127);
        }
        link.close(); // hostfs has its own copy
        return WaitUntil([&] { return Mounted(mnt) || Ended(); }) && Mounted(mnt);
    }
    bool Ended()
    {
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid)
            pid = -1;
        return pid < 0;
    }
    ~Mount()
    {
        if (Mounted(mnt))
            system(("fusermount3 -u '" + mnt + "'").c_str());
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, &status, 0);
        }
    }
};

// It serves until unmounted and then ends with 0; a lost link unmounts it and ends it with 1.
TEST(Adopt, ServesUntilUnmountedOrTheLinkIsLost)
{
    if (!CanMount())
        GTEST_SKIP() << "mounting needs root and /dev/fuse";
    for (bool ext : {true, false}) {
        Mount m;
        ASSERT_TRUE(m.Start(ext)) << m.agent.Stderr();
        if (ext) {
            WriteFile(m.mnt + "/through", "mount");
            EXPECT_EQ(ReadFile(m.root + "/through"), "mount");
            ASSERT_EQ(system(("fusermount3 -u '" + m.mnt + "'").c_str()), 0);
        } else {
            kill(m.agent.pid, SIGKILL);
            m.agent.Wait();
        }
        EXPECT_TRUE(WaitUntil([&] { return m.Ended(); }));
        EXPECT_FALSE(Mounted(m.mnt));
        EXPECT_TRUE(WIFEXITED(m.status) && WEXITSTATUS(m.status) == (ext ? 0 : 1)) << m.status;
    }
}

} // namespace
