// The bundled terminal client. The host agent starts it through the remote shell as
//     termclient -peer PORT [ARGS...]
// It leaves the remote shell at once and silently (so that the remote shell exits 0 with no
// output), connects back to the host agent, performs the handshake, makes its remote calls and
// records what it got in its log:
//   log:  $HOSTAGENT_LOG, else $TMPDIR/termclient-PORT.log ($TMPDIR defaults to /tmp);
//   host: the first field of $SSH_CONNECTION (set when ssh started it), else $HOSTAGENT_HOST,
//         else the loopback address.
// With -foreground it stays in front and reports on standard output and standard error instead.
// -swapped makes it speak the opposite byte order. When the agent runs with -a, the key comes
// from the line the agent wrote to standard input, else from -keyfile FILE or $HOSTAGENT_KEYFILE;
// with a key the client authenticates right after the handshake. -run PROGRAM [ARGS...] (the
// rest of the arguments) runs a host program, found along the host's PATH, and shows its output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "client/environ_api.h"
#include "client/files_api.h"
#include "client/hostlink.h"
#include "client/process_api.h"
#include <hostlink/auth.h>

namespace {

struct Options {
    int port = -1;
    bool swapped = false;
    bool foreground = false;
    std::string keyFile;
    std::vector<std::string> run;  // -run: the host program and its arguments
    std::vector<std::string> args; // every argument that is not an option of the client itself
};

Options ParseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-peer") == 0 && i + 1 < argc)
            o.port = atoi(argv[++i]);
        else if (strcmp(argv[i], "-swapped") == 0)
            o.swapped = true;
        else if (strcmp(argv[i], "-foreground") == 0)
            o.foreground = true;
        else if (strcmp(argv[i], "-keyfile") == 0 && i + 1 < argc)
            o.keyFile = argv[++i];
        else if (strcmp(argv[i], "-run") == 0 && i + 1 < argc)
            o.run.assign(argv + i + 1, argv + argc), i = argc;
        else
            o.args.emplace_back(argv[i]);
    }
    return o;
}

// The host that launched this client.
std::string AgentHost()
{
    if (const char *ssh = getenv("SSH_CONNECTION")) {
        std::string first(ssh, strcspn(ssh, " "));
        if (!first.empty())
            return first;
    }
    const char *host = getenv("HOSTAGENT_HOST");
    if (host && *host)
        return host;
    return "127.0.0.1";
}

std::string LogPath(int port)
{
    const char *log = getenv("HOSTAGENT_LOG");
    if (log && *log)
        return log;
    const char *tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/termclient-" + std::to_string(port) + ".log";
}

// Leaves the remote shell: the parent exits 0 at once; the child runs in a session of its own
// with its standard output and standard error in the log and nothing else of its parent's open.
void Detach(int log)
{
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "termclient: cannot fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid > 0)
        _exit(0);
    setsid();
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0)
        dup2(devnull, 0);
    dup2(log, 1);
    dup2(log, 2);
    closefrom(3);
}

// The host's name, the user the agent runs as, and the host's clock.
void ShowHost(hostlink::Link &link)
{
    std::string login = hostlink::getLogin(link);
    int uid = hostlink::getUid(link);
    hostlink::TimeOfDay now = hostlink::getTimeOfDay(link);
    printf("host: %s\n", hostlink::getHostName(link).c_str());
    printf("user: %s (uid %d)\n", login.empty() ? "(no login name)" : login.c_str(), uid);
    if (now.result < 0)
        printf("time: unavailable (error %d)\n", now.error);
    else {
        time_t seconds = static_cast<time_t>(now.seconds);
        char when[64] = "?";
        if (struct tm *utc = gmtime(&seconds))
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
        printf("time: %s (%lld.%06d)\n", when, static_cast<long long>(now.seconds), now.microseconds);
    }
}

// The host's working directory, the first entries of it, and a small host file.
void ShowFiles(hostlink::Link &link)
{
    std::string cwd = hostlink::getcwd(link).value_or("?");
    printf("host directory: %s\n", cwd.c_str());
    if (uint32_t dir = hostlink::opendir(link, cwd)) {
        int shown = 0, total = 0;
        while (auto name = hostlink::readdir(link, dir)) {
            if (shown < 8 && *name != "." && *name != "..") {
                printf("  %s\n", name->c_str());
                shown++;
            }
            total++;
        }
        hostlink::closedir(link, dir);
        printf("  (%d entries)\n", total);
    }
    const char *file = "/etc/hostname";
    hostlink::FileStatus st{};
    if (hostlink::stat(link, file, &st) < 0) {
        printf("stat %s: %s\n", file, strerror(errno));
        return;
    }
    printf("stat %s: %d bytes, mode %o\n", file, st.size, static_cast<unsigned>(st.mode) & 07777);
    int fd = hostlink::open(link, file, hostlink::kOpenRead);
    if (fd < 0)
        return;
    char buf[256];
    int n = hostlink::read(link, fd, buf, sizeof buf - 1);
    hostlink::close(link, fd);
    if (n >= 0) {
        buf[n] = '\0';
        printf("read %s: %s%s", file, buf, n > 0 && buf[n - 1] == '\n' ? "" : "\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options opt = ParseOptions(argc, argv);
    if (opt.port <= 0 || opt.port > 65535) {
        fprintf(stderr, "usage: %s -peer PORT [-swapped] [-foreground] [-keyfile FILE] [ARGS...] [-run PROGRAM [ARGS...]]\n", argv[0]);
        return 2;
    }
    std::string host = AgentHost();
    // The key is read while the client still stands in the remote shell, whose input holds it.
    std::optional<std::string> key;
    try {
        key = opt.keyFile.empty() ? hostlink::readLaunchKey(0) : hostlink::loadKeyFile(opt.keyFile);
        if (!key)
            key = hostlink::keyFromEnvironment();
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    if (!opt.foreground) {
        std::string path = LogPath(opt.port);
        int log = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log < 0) {
            // Said before leaving: the remote shell's output makes the agent fall back.
            fprintf(stderr, "termclient: cannot open the log %s: %s\n", path.c_str(), strerror(errno));
            return 1;
        }
        Detach(log);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("started as %s with %zu argument(s)\n", argv[0], opt.args.size());
    for (size_t i = 0; i < opt.args.size(); i++)
        printf("arg %zu: %s\n", i + 1, opt.args[i].c_str());
    try {
        auto link = hostlink::Link::connect(host, opt.port, opt.swapped);
        link.setTimeout(60); // a stalled agent ends this client instead of keeping it forever
        uint32_t answer = link.handshake(41);
        if (key)
            hostlink::authenticate(link, *key);
        printf("connected to the host agent at %s:%d (%s byte order)\n", host.c_str(), opt.port,
               opt.swapped ? "opposite" : "same");
        printf("handshake: nonce 41 answered with %u\n", answer);
        if (key)
            printf("authenticated: the agent holds the key\n");
        ShowHost(link);
        ShowFiles(link);
        if (!opt.run.empty()) {
            std::vector<std::string> argv0(opt.run.begin(), opt.run.end());
            std::string output = hostlink::runHostProgram(link, opt.run[0], argv0);
            printf("output of %s on the host:\n%s", opt.run[0].c_str(), output.c_str());
            printf("host agent answers again as process %d\n", hostlink::getpid(link));
        }
        link.close();
        printf("connection closed\n");
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
