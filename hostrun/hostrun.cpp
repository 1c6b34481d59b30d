// hostrun [-p PREFIX] [-e] [-i] [--key FILE] [HOST:PORT | -peer PORT] PROGRAM [ARGS...]
//
// Connects to the agent and asks what the options need, then, in a private mount namespace,
// mounts the host's / at PREFIX with hostfs serving that connection, and runs the program there.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/connect.h>
#include <hostlink/link.h>

#include "hostrun/options.h"
#include "hostrun/processes.h"
#include "hostrun/sandbox.h"

extern char **environ;

namespace {

using hostrun::Options;

// The mount point of the host's / when it becomes the program's root.
constexpr const char *kHostRoot = "/.hostrun-root";

// An executable regular file at path, opened to be executed later from anywhere.
int OpenProgram(const std::string &path)
{
    struct stat st;
    if (access(path.c_str(), X_OK) < 0 || stat(path.c_str(), &st) < 0 || !S_ISREG(st.st_mode))
        return -1;
    return open(path.c_str(), O_PATH | O_CLOEXEC);
}

// hostfs beside this program (as installed), in the build tree's hostfs folder, else along PATH.
int FindHostfs()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self, strrchr(self, '/') - self);
        for (const std::string &cand : {dir + "/hostfs", dir + "/../hostfs/hostfs"})
            if (int fd = OpenProgram(cand); fd >= 0)
                return fd;
    }
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t i = 0; i <= dirs.size();) {
        size_t j = std::min(dirs.find(':', i), dirs.size());
        if (int fd = OpenProgram((j > i ? dirs.substr(i, j - i) : ".") + "/hostfs"); fd >= 0)
            return fd;
        i = j + 1;
    }
    return -1;
}

// Leaves the remote shell as a launched terminal client must: the parent ends at once and
// silently; the rest runs in a session of its own with its output in the client log.
void Detach(int port)
{
    std::string path;
    int fd = hostlink::openClientLog("hostrun", port, "HOSTAGENT_LOG", &path);
    if (fd < 0) {
        fprintf(stderr, "hostrun: cannot open the log %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "hostrun: cannot fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid > 0)
        _exit(0);
    setsid();
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != 0) {
        dup2(null, 0);
        close(null);
    }
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
}

// What the options need from the host.
struct HostFacts {
    std::vector<std::string> env;
    std::string login, hostName, cwd;
    uint32_t uid = 0, gid = 0;
};

HostFacts AskHost(hostlink::Link &link, const Options &o)
{
    HostFacts f;
    if (o.hostEnv || o.identity)
        f.env = hostlink::getenv(link);
    if (o.identity) {
        f.uid = static_cast<uint32_t>(hostlink::getuid(link));
        f.gid = static_cast<uint32_t>(hostlink::getgid(link));
        if (hostlink::gethostname(link, &f.hostName) < 0)
            f.hostName.clear();
        if (hostlink::getlogin(link, &f.login) < 0 || f.login.empty())
            for (const char *var : {"LOGNAME=", "USER="})
                for (const auto &e : f.env)
                    if (f.login.empty() && e.rfind(var, 0) == 0)
                        f.login = e.substr(strlen(var));
    }
    if (o.prefix == "/" && hostlink::getcwd(link, &f.cwd) < 0)
        f.cwd = "/";
    return f;
}

int Fail(const std::string &why)
{
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    std::optional<Options> opt = hostrun::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!opt) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const Options &o = *opt;
    // Everything that can be known here is checked before connecting, so that a launch that
    // cannot work says why on the remote shell and the agent falls back.
    int hostfs = FindHostfs();
    if (hostfs < 0)
        return Fail("hostrun: cannot find the hostfs program beside hostrun or along PATH: install hostfs");
    hostrun::World world = hostrun::CallerWorld(o.identity);
    if (std::string why = hostrun::Preflight(world); !why.empty())
        return Fail(why);
    hostlink::ClientArgs client = o.client;
    try {
        client.searchKey(); // the launch key line, before the remote shell's input is let go
    } catch (const hostlink::LinkError &e) {
        return Fail(std::string("hostrun: ") + e.what());
    }
    if (client.peer)
        Detach(client.where.port);
    char here[PATH_MAX];
    std::string cwd = getcwd(here, sizeof here) ? here : "/";
    hostrun::BlockSignals();

    hostlink::Link link;
    HostFacts facts;
    try {
        hostlink::ConnectOptions how;
        how.swapped = client.swapped;
        link = std::move(hostlink::connectClient(client, how).link);
        facts = AskHost(link, o);
    } catch (const hostlink::LinkError &e) {
        return Fail(std::string("hostrun: ") + e.what());
    }

    if (o.identity) {
        world.uid = facts.uid;
        world.gid = facts.gid;
        world.hostName = facts.hostName;
    }
    std::string mountPoint = o.prefix == "/" ? kHostRoot : o.prefix;
    std::string why = hostrun::EnterWorld(world);
    if (why.empty())
        why = hostrun::BuildRoot(mountPoint);
    hostrun::Hostfs fs;
    if (why.empty())
        why = hostrun::StartHostfs(hostfs, link.fd(), link.swapped(), mountPoint, world, &fs);
    if (!why.empty())
        return Fail(why);

    hostrun::Program program;
    program.argv = o.program;
    std::vector<std::string> base;
    if (o.hostEnv)
        base = std::move(facts.env);
    else
        for (char **e = environ; *e; e++)
            base.emplace_back(*e);
    program.env = hostrun::ProgramEnvironment(base, facts.login);
    program.cwd = cwd;
    if (o.prefix == "/") {
        for (const char *dir : {"/proc", "/sys", "/dev", "/tmp"})
            if (!hostrun::BindInto(kHostRoot, dir))
                fprintf(stderr, "hostrun: this machine's %s cannot stand in the host's %s\n", dir, dir);
        program.root = kHostRoot;
        program.cwd = facts.cwd;
    }
    pid_t reaper = hostrun::StartProgram(program);
    if (reaper < 0)
        return Fail(std::string("hostrun: fork: ") + strerror(errno));
    int status = hostrun::Supervise(reaper, &fs, link.fd());
    if (client.peer)
        fprintf(stderr, "hostrun: %s ended with status %d\n", o.program[0].c_str(), status);
    return status;
}
