// A stand-in program for the launch tests, copied under the names the agent runs (a remote
// shell, a host-based client). It writes its argument vector, NUL-separated, next to its own
// file as NAME.args, then does what NAME.mode says, one instruction per line:
//   say TEXT        writes TEXT and a newline to standard output
//   connect SOURCE  connects from address SOURCE to 127.0.0.1 on the port in argument 4 (the
//                   place a remote shell finds it) and closes the connection again
//   signal N        raises signal N
//   exit N          exits with status N (the default is 0)
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool Connect(const std::string &source, const char *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(port)));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
              connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    close(fd);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    char exe[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return 120;
    std::string self(exe, static_cast<size_t>(n));
    {
        std::ofstream record(self + ".args", std::ios::binary | std::ios::trunc);
        for (int i = 0; i < argc; i++)
            record << argv[i] << '\0';
    }
    std::ifstream mode(self + ".mode");
    std::string line;
    while (std::getline(mode, line)) {
        std::istringstream words(line);
        std::string what, rest;
        words >> what;
        std::getline(words >> std::ws, rest);
        if (what == "say") {
            printf("%s\n", rest.c_str());
            fflush(stdout);
        } else if (what == "connect") {
            if (argc < 5 || !Connect(rest, argv[4]))
                return 121;
        } else if (what == "signal") {
            raise(atoi(rest.c_str()));
        } else if (what == "exit") {
            return atoi(rest.c_str());
        }
    }
    return 0;
}
