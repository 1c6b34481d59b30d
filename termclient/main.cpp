// The bundled terminal client. The host agent starts it through the remote shell as
//     termclient -peer PORT [ARGS...]
// It leaves the remote shell at once and silently (so that the remote shell exits 0 with no
// output), connects back to the host agent through the library's one connect (handshake, key,
// extensions), makes its remote calls and records what it got in its log:
//   log:  $HOSTAGENT_LOG (never through a symbolic link), else termclient-PORT.log in a private
//         directory of this user: $XDG_RUNTIME_DIR/hostagent, else $TMPDIR/hostagent-UID
//         ($TMPDIR defaults to /tmp), made mode 0700; when that one is a link, someone else's
//         or open to others, a fresh private one beside it (hostagent-UID.XXXXXX); the log is
//         made anew there and never followed;
//   host: the first field of $SSH_CONNECTION (set when ssh started it), else $HOSTAGENT_HOST,
//         else the loopback address.
// The key: the launch key line on its standard input, else --key FILE (or -keyfile FILE), else
// $HOSTAGENT_KEYFILE. With -foreground it stays in front and reports on standard output and
// standard error instead. -swapped makes it speak the opposite byte order. -run PROGRAM
// [ARGS...] (the rest of the arguments) runs a host program, found along the host's PATH, shows
// its output and error and reports its exit status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <hostlink/hostlink.h>

namespace {

struct Options {
    hostlink::ClientArgs link;     // -peer PORT (or HOST:PORT), -swapped, --key FILE
    bool foreground = false;
    std::vector<std::string> run;  // -run: the host program and its arguments
    std::vector<std::string> args; // every argument that is not an option of the client itself
};

Options ParseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc;) {
        if (int n = o.link.takeOption(argc, argv, i)) {
            i += n;
            continue;
        }
        if (strcmp(argv[i], "-foreground") == 0)
            o.foreground = true;
        else if (strcmp(argv[i], "-run") == 0 && i + 1 < argc) {
            o.run.assign(argv + i + 1, argv + argc);
            break;
        } else
            o.args.emplace_back(argv[i]);
        i++;
    }
    // Started by hand, the agent may be named by HOST:PORT as with the other tools.
    if (!o.link.complete() && !o.args.empty() && hostlink::parseEndpoint(o.args.front())) {
        o.link.takeEndpoint(o.args.front());
        o.args.erase(o.args.begin());
    }
    return o;
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
    std::string login, name;
    bool haveLogin = hostlink::getlogin(link, &login) == 0;
    int uid = hostlink::getuid(link);
    hostlink::TimeValue now;
    int clock = hostlink::gettimeofday(link, &now);
    int clockError = errno;
    hostlink::gethostname(link, &name);
    printf("host: %s\n", name.c_str());
    printf("user: %s (uid %d)\n", haveLogin ? login.c_str() : "(no login name)", uid);
    if (clock < 0)
        printf("time: unavailable (%s)\n", strerror(clockError));
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
    std::string cwd = "?";
    hostlink::getcwd(link, &cwd);
    printf("host directory: %s\n", cwd.c_str());
    std::vector<hostlink::DirEntry> entries;
    if (hostlink::listDirectory(link, cwd, &entries) == 0) {
        for (size_t i = 0; i < entries.size() && i < 8; i++)
            printf("  %s\n", entries[i].name.c_str());
        printf("  (%zu entries)\n", entries.size() + 2); // with . and ..
    }
    const char *file = "/etc/hostname";
    hostlink::FileStatus st;
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
    Options opt;
    try {
        opt = ParseOptions(argc, argv);
    } catch (const hostlink::UsageError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        opt.link = {};
    }
    if (!opt.link.complete()) {
        fprintf(stderr, "usage: %s -peer PORT [-swapped] [-foreground] [--key FILE] [ARGS...] [-run PROGRAM [ARGS...]]\n",
                argv[0]);
        return 2;
    }
    // With -a the agent wrote the key to the remote shell's input: read while still there.
    try {
        opt.link.searchKey(0);
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    int port = opt.link.where.port;
    if (!opt.foreground) {
        std::string path;
        int log = hostlink::openClientLog("termclient", port, "HOSTAGENT_LOG", &path);
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
        hostlink::ConnectOptions co;
        co.timeoutSeconds = 60; // a stalled agent ends this client instead of keeping it forever
        co.nonce = 41;
        hostlink::Connected c = hostlink::connectClient(opt.link, co);
        hostlink::Link &link = c.link;
        printf("connected to the host agent at %s:%d (%s byte order)\n", c.where.host.c_str(), c.where.port,
               opt.link.swapped ? "opposite" : "same");
        printf("handshake: nonce 41 answered with 42\n");
        if (c.authenticated)
            printf("authenticated: the agent holds the key\n");
        if (c.extensions)
            printf("extensions: offered\n");
        ShowHost(link);
        ShowFiles(link);
        if (!opt.run.empty()) {
            printf("output of %s on the host:\n", opt.run[0].c_str());
            fflush(stdout);
            hostlink::RunResult r = hostlink::runHost(link, opt.run[0], opt.run);
            if (!r.ok())
                printf("cannot run %s on the host: %s\n", opt.run[0].c_str(), r.message().c_str());
            else
                printf("%s exited with status %d\n", opt.run[0].c_str(), r.status);
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
