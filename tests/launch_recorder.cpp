// A stand-in program for the launch tests, copied under the names the agent runs (a remote
// shell, a host-based client). It writes its argument vector, NUL-separated, next to its own
// file as NAME.args, then does what NAME.mode says, one instruction per line:
//   say TEXT        writes TEXT and a newline to standard output
//   connect SOURCE  connects from address SOURCE to 127.0.0.1 on the port in argument 4 (where
//                   a remote shell finds it) and closes the connection again
//   signal N        raises signal N
//   exit N          exits with status N (the default is 0)
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char exe[PATH_MAX] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return 120;
    std::ofstream record(std::string(exe) + ".args", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < argc; i++)
        record << argv[i] << '\0';
    record.close();
    std::ifstream mode(std::string(exe) + ".mode");
    for (std::string line; std::getline(mode, line);) {
        size_t blank = line.find(' ');
        std::string what = line.substr(0, blank), rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (what == "say") {
            printf("%s\n", rest.c_str());
            fflush(stdout);
        } else if (what == "connect") {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            uint16_t port = htons(static_cast<uint16_t>(argc > 4 ? atoi(argv[4]) : 0));
            sockaddr_in from = {AF_INET, 0, {}, {}}, to = {AF_INET, port, {htonl(INADDR_LOOPBACK)}, {}};
            inet_pton(AF_INET, rest.c_str(), &from.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
                connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
                return 121;
            close(fd);
        } else if (what == "signal") {
            raise(atoi(rest.c_str()));
        } else if (what == "exit") {
            return atoi(rest.c_str());
        }
    }
    return 0;
}
