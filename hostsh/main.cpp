// hostsh: an interactive shell on the terminal for the host's files and programs.
//
//   hostsh [-q] [-b FILE] [--progress] HOST:PORT     against an agent in daemon mode
//   hostsh -peer PORT [-q] [-b FILE] [-tty DEVICE]   as the terminal client the agent starts
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <algorithm>
#include <editline/readline.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <hostlink/connect.h>
#include <hostlink/tools.h>

#include "hostsh/ui.h"
#include "hostsh/options.h"
#include "hostsh/shell.h"

#ifndef HOSTSH_VERSION
#define HOSTSH_VERSION "dev"
#endif

namespace {

using hostsh::Settings;
using hostsh::Shell;

const char *kUsage =
    "usage: hostsh [-q] [-b FILE] [--progress] [--key FILE] [-swapped] HOST:PORT\n"
    "       hostsh -peer PORT [-q] [-b FILE] [--progress] [--key FILE] [-tty DEVICE]\n"
    "       hostsh -h | --help | --version\n";

struct Options {
    Settings settings;
    hostlink::ClientArgs args;
    std::string batchFile;
    std::string tty;
};

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
        } else if (a == "-tty") {
            const char *v = value("a terminal device");
            if (!v)
                return 2;
            o->tty = v;
        } else if (o->args.peer && a == "-display" && i + 1 < argc) {
            i++; // the agent passes it on; the display is of no use here
        } else if (o->args.peer && a[0] != '-') {
            // As a terminal client, further arguments are the host user's and are ignored.
        } else {
            int n = 0;
            try {
                n = o->args.take(argc, argv, i);
            } catch (const hostlink::UsageError &e) {
                fprintf(stderr, "hostsh: %s\n%s", e.what(), kUsage);
                return 2;
            }
            if (n == 0) {
                fprintf(stderr, "hostsh: %s %s\n%s", a[0] == '-' ? "unknown option" : "unexpected argument",
                        a.c_str(), kUsage);
                return 2;
            }
            i += n - 1;
        }
    }
    if (!o->args.complete()) {
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
        out = hostlink::openClientLog("hostsh", o.args.where.port, "HOSTSH_LOG", &path);
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

// Local entries that begin with a partial path, directories ending in '/'.
std::vector<std::string> CompleteLocalPath(const std::string &partial)
{
    size_t slash = partial.rfind('/');
    std::string dir = slash == std::string::npos ? "" : partial.substr(0, slash + 1);
    std::string prefix = slash == std::string::npos ? partial : partial.substr(slash + 1);
    std::vector<std::string> out;
    DIR *d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == ".." || n.compare(0, prefix.size(), prefix) != 0 || (n[0] == '.' && prefix.empty()))
            continue;
        struct stat st;
        bool isDir = stat((dir + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.push_back(dir + n + (isDir ? "/" : ""));
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// Completion inserts what it completes quoted, so that a blank or a quote in a name stays part
// of the word. Line editing replaces only the text after its last blank: what of the quoted
// match the line already holds before that is left out.
char **Complete(const char *text, int start, int)
{
    rl_attempted_completion_over = 1;
    std::string line(rl_line_buffer, static_cast<size_t>(rl_point));
    size_t wordStart = 0;
    std::string partial = hostsh::WordAt(line, line.size(), &wordStart);
    std::string typed = line.substr(wordStart, static_cast<size_t>(start) > wordStart ? start - wordStart : 0);
    std::string error;
    auto before = hostsh::Tokenize(line.substr(0, wordStart), 0, &error);
    std::vector<std::string> words;
    if (before)
        for (const hostsh::Word &w : before->words)
            words.push_back(w.text);
    std::vector<std::string> found;
    rl_completion_append_character = ' ';
    auto kind = hostsh::ArgKind::Command;
    if (!words.empty()) {
        const hostsh::CommandRow *row = hostsh::FindCommand(words[0]);
        kind = row ? hostsh::KindAt(*row, std::vector<std::string>(words.begin() + 1, words.end()))
                    : hostsh::ArgKind::None;
        if (kind == hostsh::ArgKind::Command && words[0] != "help")
            kind = hostsh::ArgKind::None;
    }
    if (kind == hostsh::ArgKind::Command) {
        for (const std::string &c : Shell::commandNames())
            if (c.rfind(partial, 0) == 0)
                found.push_back(c);
    } else if (kind == hostsh::ArgKind::Local) {
        found = CompleteLocalPath(partial);
    } else if (kind == hostsh::ArgKind::Host) {
        try {
            found = gShell->completeHostPath(partial);
        } catch (const hostlink::LinkError &e) {
            gLostInCompletion = true;
            gLostReason = e.what();
            found.clear();
        }
    }
    gMatches.clear();
    for (const std::string &f : found) {
        std::string quoted = hostsh::QuoteWord(f);
        gMatches.push_back(quoted.compare(0, typed.size(), typed) == 0 ? quoted.substr(typed.size()) : quoted);
    }
    if (found.size() == 1 && found[0].back() == '/')
        rl_completion_append_character = '\0';
    if (gMatches.empty())
        return nullptr;
    (void)text;
    return rl_completion_matches("", NextMatch);
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
    bool failed = false;
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
        if (rc != 0 && !ignore) {
            if (o.settings.batch) {
                status = 1;
                break;
            }
            // Commands from a pipe go on after a failure, and the session tells of it at its end.
            if (!interactive)
                failed = true;
        }
    }
    free(buf);
    if (in != stdin)
        fclose(in);
    saveHistory();
    return status == 0 && failed ? 1 : status;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int rc = ParseOptions(argc, argv, &o);
    if (rc >= 0)
        return rc;
    signal(SIGPIPE, SIG_IGN);
    if (o.args.peer) {
        // Started through the remote shell with neither a terminal nor commands to run: say so
        // there, where the agent shows it and falls back, instead of serving no one.
        if (!isatty(0) && !o.settings.batch && o.tty.empty() && !getenv("HOSTSH_TTY")) {
            printf("hostsh: no terminal here to work on: start it with -- -tty $(tty), or give commands with -b FILE\n");
            return 1;
        }
    }
    try {
        o.args.searchKey(); // before the remote shell's input is left
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "hostsh: %s\n", e.what());
        return 2;
    }
    if (o.args.peer && !isatty(0) && !Detach(o))
        return 1;
    o.settings.stdinIsCommands = !isatty(0) && (!o.settings.batch || o.batchFile == "-");
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    try {
        hostlink::ConnectOptions how;
        how.timeoutSeconds = 0; // a host call may rightly take long (a pipe, a slow disk)
        hostlink::Connected c = hostlink::connectClient(o.args, how);
        Shell shell(c.link, o.settings);
        if (!o.settings.quiet && !o.settings.batch && isatty(0)) {
            printf("Connected to the host agent at %s:%d. Type \"help\" for the commands.\n", c.where.host.c_str(),
                   c.where.port);
            fflush(stdout);
        }
        return RunLines(shell, o);
    } catch (const hostlink::LinkError &e) {
        fflush(stdout);
        fprintf(stderr, "hostsh: %s\n", e.what());
        return 2;
    }
}
