// An sshd of the test's own on a loopback port, for launches through a real remote shell.
#pragma once
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/harness.h"

// With its own keys and configuration; why says why it is not running.
struct Sshd {
    Scratch dir;
    std::string why, ssh; // why it is not running; the ssh client
    pid_t pid = -1;

    static std::string Which(const std::string &name)
    {
        for (const char *d : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/", "/bin/"})
            if (access((d + name).c_str(), X_OK) == 0)
                return d + name;
        return "";
    }
    Sshd()
    {
        std::string sshd = Which("sshd"), keygen = Which("ssh-keygen"), unshare = Which("unshare");
        why = "sshd, ssh or ssh-keygen is not installed (packages openssh-server, openssh-client)";
        if (sshd.empty() || keygen.empty() || (ssh = Which("ssh")).empty())
            return;
        why = "ssh-keygen failed";
        for (const char *key : {"host_key", "client_key"})
            if (system((keygen + " -q -t ed25519 -N '' -f " + (dir / key) + " </dev/null >/dev/null 2>&1").c_str()))
                return;
        why.clear();
        int port = 0;
        close(Listen(&port)); // a free port, for sshd
        std::string d = dir.path();
        WriteFile(dir / "sshd_config",
                  Fmt("Port %d\nListenAddress 127.0.0.1\nPidFile %s/pid\nAuthorizedKeysFile %s/client_key.pub\n"
                      "HostKey %s/host_key\n", port, d.c_str(), d.c_str(), d.c_str()) +
                      "StrictModes no\nUsePAM no\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                      "KbdInteractiveAuthentication no\nPermitUserRC no\nPrintMotd no\nPrintLastLog no\n"
                      "AcceptEnv HOSTAGENT_LOG HOSTFS_LOG HOSTSH_LOG\nKexAlgorithms curve25519-sha256\nLogLevel ERROR\n");
        WriteFile(dir / "ssh_config",
                  Fmt("Host *\n  Port %d\n  User root\n  IdentityFile %s/client_key\n  UserKnownHostsFile %s/known\n",
                      port, d.c_str(), d.c_str()) +
                      "  IdentitiesOnly yes\n  IdentityAgent none\n  GlobalKnownHostsFile /dev/null\n"
                      "  StrictHostKeyChecking yes\n  BatchMode yes\n  LogLevel ERROR\n  SendEnv HOSTAGENT_LOG HOSTFS_LOG HOSTSH_LOG\n"
                      "  KexAlgorithms curve25519-sha256\n");
        WriteFile(dir / "known", Fmt("[127.0.0.1]:%d ", port) + ReadFile(dir / "host_key.pub"));
        std::string run = "exec " + sshd + " -D -e -f " + d + "/sshd_config </dev/null >>" + d + "/err 2>&1";
        // As root sshd insists on its privilege separation directory; when the system has none,
        // it gets one on a private /run of its own mount namespace.
        if (getuid() == 0 && access("/run/sshd", F_OK) != 0)
            run = "exec " + unshare + " -m /bin/sh -c 'mount -t tmpfs tmpfs /run && mkdir /run/sshd && " + run + "'";
        if ((pid = fork()) == 0) {
            close_range(3, ~0U, 0);
            execl("/bin/sh", "sh", "-c", run.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        auto up = [&] {
            try {
                return Link::connect("127.0.0.1", port).fd() >= 0;
            } catch (const hostlink::LinkError &) {
                return false;
            }
        };
        if (pid < 0 || !WaitUntil([&] { return up() || waitpid(pid, nullptr, WNOHANG) == pid; }) || !up())
            why = "sshd did not start: " + ReadFile(dir / "err");
    }
    ~Sshd()
    {
        if (pid > 0 && Signal(pid, SIGTERM) && !WaitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 5)) {
            Signal(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};
