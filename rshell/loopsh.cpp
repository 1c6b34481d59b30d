// loopsh: a remote shell for one machine. Started as
//     loopsh HOST COMMAND [ARG...]
// it runs the command here, the way a remote shell runs it on HOST: the command and its
// arguments joined with blanks and handed to /bin/sh -c, so that the command interpreter parses
// the line again. Output goes straight to loopsh's own standard output and standard error, and
// the exit status is the command interpreter's. Any HOST that is not this machine (a 127.x.y.z
// address, ::1, localhost or this host's own name) is refused with exit status 1.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <unistd.h>

namespace {

bool IsThisMachine(const std::string &host)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    if (strcasecmp(host.c_str(), "localhost") == 0)
        return true;
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) == 0 && own[0] && strcasecmp(host.c_str(), own) == 0)
        return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    const char *self = argc > 0 ? argv[0] : "loopsh";
    if (argc < 3) {
        fprintf(stderr, "usage: %s HOST COMMAND [ARG...]\n", self);
        return 1;
    }
    std::string host = argv[1];
    if (!IsThisMachine(host)) {
        fprintf(stderr, "%s: %s is not this machine; only this machine can be reached\n", self, host.c_str());
        return 1;
    }
    std::string line = argv[2];
    for (int i = 3; i < argc; i++) {
        line += ' ';
        line += argv[i];
    }
    // The command does not run under ssh, whatever started loopsh.
    unsetenv("SSH_CONNECTION");
    unsetenv("SSH_CLIENT");
    unsetenv("SSH_TTY");
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
    fprintf(stderr, "%s: cannot run /bin/sh: %s\n", self, strerror(errno));
    return 1;
}
