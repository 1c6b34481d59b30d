// hostsh: an interactive shell on the terminal for the host's files and programs.
//
//   hostsh [-q] [-b FILE] [--progress] HOST:PORT     against an agent in daemon mode
//   hostsh -peer PORT [-q] [-b FILE] [-tty DEVICE]   as the terminal client the agent starts
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <editline/readline.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <hostlink/tools.h>

#include "hostsh/run.h"
#include "hostsh/shell.h"

#ifndef HOSTSH_VERSION
#define HOSTSH_VERSION "dev"
#endif

namespace {

using hostsh::Settings;
using hostsh::Shell;

const char *kUsage =
    "usage: hostsh [-q] [-b FILE] [--progress] HOST:PORT\n"
    "       hostsh -peer PORT [-q] [-b FILE] [--progress] [-tty DEVICE]\n"
    "       hostsh -h | --help | --version\n";

struct Options {
    Settings settings;
    std::string host;
    int port = -1;
    bool peer = false;
    std::string batchFile;
    std::string tty;
};

bool ParsePort(const char *s, int *port)
{
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v <= 0 || v > 65535)
        return false;
    *port = static_cast<int>(v);
    return true;
}

// Returns -1 to go on, otherwise the exit status.
int ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "hostsh: %s needs %s\n%s", a.c_str(), what, kUsage);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            printf("hostsh %s\n", HOSTSH_VERSION);
            return 0;
        } else if (a == "-q") {
            o->settings.quiet = true;
        } else if (a == "--progress") {
            o->settings.progress = true;
        } else if (a == "-b") {
            const char *v = value("a file name (or -)");
            if (!v)
                return 2;
            o->batchFile = v;
            o->settings.batch = true;
        } else if (a == "-peer") {
            const char *v = value("a port number");
            if (!v)
                return 2;
            if (!ParsePort(v, &o->port)) {
                fprintf(stderr, "hostsh: bad port number %s\n", v);
                return 2;
            }
            o->peer = true;
        } else if (a == "-tty") {
            const char *v = value("a terminal device");
            if (!v)
                return 2;
            o->tty = v;
        } else if (o->peer && a == "-display" && i + 1 < argc) {
            i++; // the agent passes it on; the display is of no use here
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "hostsh: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else if (!o->peer && o->host.empty()) {
            auto where = hostlink::parseEndpoint(a);
            if (!where) {
                fprintf(stderr, "hostsh: %s is not HOST:PORT\n", a.c_str());
                return 2;
            }
            o->host = where->host;
            o->port = where->port;
        } else if (!o->peer) {
            fprintf(stderr, "hostsh: unexpected argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
        // As a terminal client, further arguments are the host user's and are ignored.
    }
    if (o->port < 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    return -1;
}

// Started by the remote shell with no terminal: leave it at once (it must end silently for the
// agent to go on), then take the terminal named by -tty or $HOSTSH_TTY, or else write to a log.
bool Detach(const Options &o)
{
    std::string tty = !o.tty.empty() ? o.tty : getenv("HOSTSH_TTY") ? getenv("HOSTSH_TTY") : "";
    int in = -1, out = -1;
    if (!tty.empty()) {
        in = out = open(tty.c_str(), O_RDWR);
        if (in < 0) {
            fprintf(stderr, "hostsh: %s: %s\n", tty.c_str(), strerror(errno));
            return false;
        }
    } else {
        std::string path;
        out = hostlink::openClientLog("hostsh", o.port, "HOSTSH_LOG", &path);
        in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0) {
            fprintf(stderr, "hostsh: %s: %s\n", path.c_str(), strerror(errno));
            return false;
        }
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "hostsh: cannot fork: %s\n", strerror(errno));
        return false;
    }
    if (pid > 0)
        _exit(0);
    setsid();
    if (!tty.empty()) {
        int again = open(tty.c_str(), O_RDWR); // becomes the controlling terminal when free
        if (again >= 0) {
            close(in);
            in = out = again;
        }
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    closefrom(3);
    return true;
}

// Line editing.
Shell *gShell = nullptr;
bool gLostInCompletion = false;
std::string gLostReason;
std::vector<std::string> gMatches;

char *NextMatch(const char *, int state)
{
    static size_t next;
    if (state == 0)
        next = 0;
    if (next < gMatches.size())
        return strdup(gMatches[next++].c_str());
    return nullptr;
}

char **Complete(const char *text, int start, int)
{
    rl_attempted_completion_over = 1;
    std::string before(rl_line_buffer, static_cast<size_t>(start));
    size_t first = before.find_first_not_of(" \t-");
    std::vector<std::string> words;
    for (size_t i = 0; i < before.size();) {
        size_t b = before.find_first_not_of(" \t", i);
        if (b == std::string::npos)
            break;
        size_t e = before.find_first_of(" \t", b);
        words.push_back(before.substr(b, e == std::string::npos ? std::string::npos : e - b));
        i = e == std::string::npos ? before.size() : e;
    }
    gMatches.clear();
    rl_completion_append_character = ' ';
    if (first == std::string::npos || words.empty()) {
        for (const std::string &c : Shell::commandNames())
            if (c.rfind(text, 0) == 0)
                gMatches.push_back(c);
    } else {
        std::string cmd = words[0][0] == '-' ? words[0].substr(1) : words[0];
        size_t args = 0; // arguments before this one, options left out
        for (size_t k = 1; k < words.size(); k++)
            if (words[k][0] != '-')
                args++;
        bool local = cmd == "lcd" || cmd == "lls" || (cmd == "put" && args == 0) || (cmd == "get" && args == 1);
        if (local) {
            rl_attempted_completion_over = 0; // file names of this machine
            return nullptr;
        }
        try {
            gMatches = gShell->completeHostPath(text);
        } catch (const hostlink::LinkError &e) {
            gLostInCompletion = true;
            gLostReason = e.what();
            gMatches.clear();
        }
    }
    if (gMatches.size() == 1 && gMatches[0].back() == '/')
        rl_completion_append_character = '\0';
    if (gMatches.empty())
        return nullptr;
    return rl_completion_matches(text, NextMatch);
}

std::string HistoryPath(bool create)
{
    std::string dir;
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    if (state && *state == '/')
        dir = std::string(state) + "/hostsh";
    else if (home && *home)
        dir = std::string(home) + "/.local/state/hostsh";
    else
        return "";
    if (create) {
        for (size_t i = 1; i <= dir.size(); i++)
            if (i == dir.size() || dir[i] == '/')
                mkdir(dir.substr(0, i).c_str(), 0700);
    }
    return dir + "/history";
}

void OnInterrupt(int) { hostsh::gInterrupted = 1; }

int Lost(const std::string &reason)
{
    if (Shell::progressShown())
        fputc('\n', stderr);
    fflush(stdout);
    fprintf(stderr, "hostsh: lost the connection to the host agent (%s)\n", reason.c_str());
    return 2;
}

int RunLines(Shell &shell, const Options &o)
{
    bool interactive = !o.settings.batch && isatty(0);
    FILE *in = stdin;
    if (o.settings.batch && o.batchFile != "-") {
        in = fopen(o.batchFile.c_str(), "r");
        if (!in) {
            fprintf(stderr, "hostsh: %s: %s\n", o.batchFile.c_str(), strerror(errno));
            return 1;
        }
    }
    std::string history;
    if (interactive) {
        gShell = &shell;
        rl_readline_name = "hostsh";
        rl_attempted_completion_function = Complete;
        rl_completer_word_break_characters = const_cast<char *>(" \t");
        stifle_history(1000);
        history = HistoryPath(false);
        if (!history.empty())
            read_history(history.c_str());
        struct sigaction sa = {};
        sa.sa_handler = OnInterrupt;
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
    }
    auto saveHistory = [&] {
        if (interactive && !(history = HistoryPath(true)).empty())
            write_history(history.c_str());
    };
    bool stats = getenv("HOSTSH_STATS") != nullptr; // how often each command waited for the agent
    int status = 0;
    char *buf = nullptr;
    size_t cap = 0;
    for (;;) {
        std::string line;
        if (interactive) {
            hostsh::gInterrupted = 0;
            char *l = readline("hostsh> ");
            if (gLostInCompletion) {
                free(l);
                saveHistory();
                return Lost(gLostReason);
            }
            if (!l && hostsh::gInterrupted) {
                // An interrupt drops the line being typed.
                printf("\n");
                fflush(stdout);
                continue;
            }
            if (!l) {
                printf("\n");
                break;
            }
            line = l;
            free(l);
            if (line.find_first_not_of(" \t") != std::string::npos)
                add_history(line.c_str());
        } else {
            ssize_t n = getline(&buf, &cap, in);
            if (n < 0)
                break;
            line.assign(buf, static_cast<size_t>(n));
            if (!line.empty() && line.back() == '\n')
                line.pop_back();
            if (o.settings.batch && !o.settings.quiet && line.find_first_not_of(" \t") != std::string::npos) {
                printf("hostsh> %s\n", line.c_str());
                fflush(stdout);
            }
        }
        bool quit = false;
        int exitStatus = 0;
        int rc;
        try {
            shell.remote().resetWaits();
            rc = shell.execute(line, &quit, &exitStatus);
            if (stats) {
                fflush(stdout);
                fprintf(stderr, "hostsh: %ld round trips\n", shell.remote().waits());
            }
        } catch (const hostlink::LinkError &e) {
            free(buf);
            saveHistory();
            return Lost(e.what());
        }
        fflush(stdout);
        if (quit) {
            status = exitStatus;
            break;
        }
        size_t lead = line.find_first_not_of(" \t");
        bool ignore = lead != std::string::npos && line[lead] == '-';
        if (o.settings.batch && rc != 0 && !ignore) {
            status = 1;
            break;
        }
    }
    free(buf);
    if (in != stdin)
        fclose(in);
    saveHistory();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int rc = ParseOptions(argc, argv, &o);
    if (rc >= 0)
        return rc;
    signal(SIGPIPE, SIG_IGN);
    if (o.peer) {
        o.host = hostlink::agentHost();
        if (!isatty(0) && !Detach(o))
            return 1;
    }
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    try {
        hostlink::ConnectOptions how;
        how.timeoutSeconds = 0; // a host call may rightly take long (a pipe, a slow disk)
        auto link = hostlink::connectTo(hostlink::Endpoint{o.host, o.port}, how);
        Shell shell(link, o.settings);
        if (!o.settings.quiet && !o.settings.batch && isatty(0)) {
            printf("Connected to the host agent at %s:%d. Type \"help\" for the commands.\n", o.host.c_str(),
                   o.port);
            fflush(stdout);
        }
        return RunLines(shell, o);
    } catch (const hostlink::LinkError &e) {
        fflush(stdout);
        fprintf(stderr, "hostsh: %s\n", e.what());
        return 2;
    }
}
