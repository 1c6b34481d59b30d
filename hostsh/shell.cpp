#include "hostsh/shell.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <hostlink/calls.h>

#include "hostsh/run.h"

extern char **environ;

namespace hostsh {

namespace {

bool gProgressShown = false;

using Clock = std::chrono::steady_clock;

void Complain(const std::string &text)
{
    if (gProgressShown) {
        fputc('\n', stderr);
        gProgressShown = false;
    }
    fflush(stdout);
    fprintf(stderr, "%s\n", text.c_str());
}

void Complain(const char *cmd, const std::string &path, int error) { Complain(Message(cmd, path, error)); }

int TerminalWidth(int fd)
{
    struct winsize ws = {};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

bool IsDirMode(int32_t mode) { return (static_cast<uint32_t>(mode) & S_IFMT) == S_IFDIR; }
bool IsLinkMode(int32_t mode) { return (static_cast<uint32_t>(mode) & S_IFMT) == S_IFLNK; }
bool IsRegMode(int32_t mode) { return (static_cast<uint32_t>(mode) & S_IFMT) == S_IFREG; }

// Options of the form -x at the front of the arguments; the rest stay in args.
bool TakeOptions(const char *cmd, std::vector<Word> *args, const char *allowed, std::string *given)
{
    size_t i = 0;
    for (; i < args->size(); i++) {
        const std::string &a = (*args)[i].text;
        if (a == "--") {
            i++;
            break;
        }
        if (a.size() < 2 || a[0] != '-')
            break;
        for (char c : a.substr(1)) {
            if (!strchr(allowed, c)) {
                Complain(std::string(cmd) + ": unknown option -" + c);
                return false;
            }
            *given += c;
        }
    }
    args->erase(args->begin(), args->begin() + static_cast<long>(i));
    return true;
}

// Draws the progress of one transfer at most four times a second.
class Meter {
public:
    Meter(bool on, std::string name, int64_t total) : on_(on), name_(std::move(name)), total_(total) {}
    bool update(int64_t done)
    {
        if (gInterrupted)
            return false;
        if (!on_)
            return true;
        auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(250))
            return true;
        last_ = now;
        draw(done, false);
        return true;
    }
    void finish(int64_t done, bool ok)
    {
        if (!on_)
            return;
        if (ok)
            draw(done, true);
        if (gProgressShown)
            fputc('\n', stderr);
        gProgressShown = false;
    }

private:
    void draw(int64_t done, bool finished)
    {
        // Only while this process owns the terminal.
        if (!finished && tcgetpgrp(2) != getpgrp())
            return;
        double secs = std::chrono::duration<double>(Clock::now() - start_).count();
        std::string line = ProgressLine(name_, done, total_, secs, finished, TerminalWidth(2));
        fprintf(stderr, "\r%s", line.c_str());
        fflush(stderr);
        gProgressShown = true;
    }
    bool on_;
    std::string name_;
    int64_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_ = Clock::now() - std::chrono::seconds(1);
};

int64_t SizeOf(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

} // namespace

struct Shell::Command {
    const char *name;
    int (Shell::*run)(const std::vector<Word> &);
    const char *usage;
    const char *help;
};

const std::vector<Shell::Command> &Shell::commands()
{
    static const std::vector<Command> table = {
        {"cat", &Shell::cmdCat, "cat PATH...", "show host files"},
        {"cd", &Shell::cmdCd, "cd [DIR]", "change the host directory (to the host's HOME without DIR)"},
        {"chmod", &Shell::cmdChmod, "chmod MODE PATH...", "change the mode of host paths (octal MODE)"},
        {"date", &Shell::cmdDate, "date", "show the host's clock"},
        {"echo", &Shell::cmdEcho, "echo [WORD...]", "print words ($? is the last status)"},
        {"env", &Shell::cmdEnv, "env [NAME]", "show the host environment, or one variable"},
        {"exit", nullptr, "exit [STATUS]", "leave hostsh"},
        {"get", &Shell::cmdGet, "get [-r] REMOTE [LOCAL]", "copy host files here (-r: directories too)"},
        {"help", &Shell::cmdHelp, "help [COMMAND]", "list the commands, or show one"},
        {"hostname", &Shell::cmdHostname, "hostname", "show the host's name"},
        {"id", &Shell::cmdId, "id", "show the user and group ids on the host"},
        {"lcd", &Shell::cmdLcd, "lcd [DIR]", "change the local directory"},
        {"lls", &Shell::cmdLls, "lls [ARGS...]", "list local files (runs ls here)"},
        {"ln", &Shell::cmdLn, "ln [-s] TARGET LINK", "make a hard link, or with -s a symbolic link, on the host"},
        {"lpwd", &Shell::cmdLpwd, "lpwd", "show the local directory"},
        {"ls", &Shell::cmdLs, "ls [-l] [-a] [-n] [PATH...]", "list host files (-l long, -a all, -n numeric ids)"},
        {"mkdir", &Shell::cmdMkdir, "mkdir DIR...", "make host directories"},
        {"progress", &Shell::cmdProgress, "progress", "turn the progress meter on or off"},
        {"put", &Shell::cmdPut, "put [-r] LOCAL [REMOTE]", "copy local files to the host (-r: directories too)"},
        {"pwd", &Shell::cmdPwd, "pwd", "show the host directory"},
        {"quit", nullptr, "quit", "leave hostsh"},
        {"readlink", &Shell::cmdReadlink, "readlink PATH", "show the target of a host symbolic link"},
        {"rm", &Shell::cmdRm, "rm PATH...", "remove host files"},
        {"rmdir", &Shell::cmdRmdir, "rmdir DIR...", "remove empty host directories"},
        {"run", &Shell::cmdRun, "run PROGRAM [ARGS...]", "run a host program; its output shows here, $? gets its status"},
        {"setenv", &Shell::cmdSetenv, "setenv NAME=VALUE", "set a variable of the host environment"},
        {"stat", &Shell::cmdStat, "stat PATH...", "show the status of host paths"},
    };
    return table;
}

std::vector<std::string> Shell::commandNames()
{
    std::vector<std::string> out;
    for (const Command &c : commands())
        out.emplace_back(c.name);
    return out;
}

bool Shell::progressShown() { return gProgressShown; }

Shell::Shell(hostlink::Link &link, const Settings &settings)
    : link_(link), remote_(link), settings_(settings), progress_(!settings.quiet && (!settings.batch || settings.progress))
{
    // Who the agent runs as, for the owner column of long listings.
    int32_t id = 0;
    remote_.identity(&id, &myLogin_);
    myUid_ = id;
}

bool Shell::showProgress() const { return progress_ && isatty(2) && tcgetpgrp(2) == getpgrp(); }

int Shell::execute(const std::string &line, bool *quit, int *exitStatus)
{
    std::string error;
    auto parsed = Tokenize(line, lastStatus_, &error);
    if (!parsed) {
        Complain("hostsh: " + error);
        return lastStatus_ = 1;
    }
    if (parsed->words.empty())
        return 0;
    std::string name = parsed->words[0].text;
    std::vector<Word> args(parsed->words.begin() + 1, parsed->words.end());
    if (name == "quit" || name == "exit" || name == "bye") {
        *quit = true;
        *exitStatus = 0;
        if (!args.empty()) {
            char *end = nullptr;
            long v = strtol(args[0].text.c_str(), &end, 10);
            if (*end || end == args[0].text.c_str()) {
                Complain(name + ": " + args[0].text + ": not a number");
                *quit = false;
                return lastStatus_ = 1;
            }
            *exitStatus = static_cast<int>(v & 0xff);
        }
        return 0;
    }
    for (const Command &c : commands()) {
        if (name == c.name && c.run) {
            gInterrupted = 0;
            int status = (this->*c.run)(args);
            if (gInterrupted && status == 0)
                status = 130;
            gInterrupted = 0;
            fflush(stdout);
            return lastStatus_ = status;
        }
    }
    Complain(name + ": unknown command (type \"help\" for the list)");
    return lastStatus_ = 1;
}

bool Shell::expand(const char *cmd, const Word &w, std::vector<std::string> *out)
{
    if (!w.glob) {
        out->push_back(w.text);
        return true;
    }
    // Component by component: literal parts are added, wildcard parts are matched against a
    // listing of each directory reached so far.
    std::string_view p = w.pattern;
    std::vector<std::string> reached = {p.size() && p[0] == '/' ? "/" : ""};
    size_t i = 0;
    while (i < p.size()) {
        while (i < p.size() && p[i] == '/')
            i++;
        if (i >= p.size())
            break;
        size_t j = i;
        while (j < p.size() && p[j] != '/') {
            if (p[j] == '\\')
                j++;
            j++;
        }
        j = std::min(j, p.size());
        std::string_view part = p.substr(i, j - i);
        bool last = j >= p.size() || p.find_first_not_of('/', j) == std::string_view::npos;
        std::vector<std::string> next;
        if (!HasGlob(part)) {
            for (const std::string &d : reached)
                next.push_back(d.empty() ? Unescape(part) : JoinPath(d, Unescape(part)));
        } else {
            for (const std::string &d : reached) {
                std::vector<std::string> names;
                if (remote_.listNames(d.empty() ? "." : d, &names) < 0)
                    continue;
                std::sort(names.begin(), names.end());
                for (const std::string &n : names)
                    if (GlobMatch(part, n))
                        next.push_back(d.empty() ? n : JoinPath(d, n));
            }
        }
        // A middle component must lead somewhere: keep the directories only.
        if (!last && !next.empty() && HasGlob(part)) {
            auto st = remote_.statMany(next, true);
            std::vector<std::string> dirs;
            for (size_t k = 0; k < next.size(); k++)
                if (st[k].result >= 0 && IsDirMode(st[k].st.mode))
                    dirs.push_back(next[k]);
            next.swap(dirs);
        }
        reached.swap(next);
        i = j;
    }
    if (reached.empty() || (reached.size() == 1 && reached[0].empty())) {
        Complain(cmd, w.text, ENOENT);
        return false;
    }
    if (p.size() > 1 && p.back() == '/')
        for (std::string &r : reached)
            r += '/';
    out->insert(out->end(), reached.begin(), reached.end());
    return true;
}

bool Shell::expandAll(const char *cmd, const std::vector<Word> &words, std::vector<std::string> *out)
{
    bool ok = true;
    for (const Word &w : words)
        ok = expand(cmd, w, out) && ok;
    return ok;
}

std::string Shell::owner(int32_t uid)
{
    if (uid == myUid_ && !myLogin_.empty())
        return myLogin_;
    return std::to_string(uid);
}

bool Shell::hostIsDir(const std::string &path)
{
    auto st = remote_.statMany({path}, true);
    return st[0].result >= 0 && IsDirMode(st[0].st.mode);
}

int Shell::cmdLs(const std::vector<Word> &argsIn)
{
    std::vector<Word> args = argsIn;
    std::string opts;
    if (!TakeOptions("ls", &args, "lan", &opts))
        return 1;
    bool longForm = opts.find_first_of("ln") != std::string::npos;
    bool all = opts.find('a') != std::string::npos;
    bool numeric = opts.find('n') != std::string::npos;
    std::vector<std::string> paths;
    int status = 0;
    if (args.empty())
        paths.push_back(".");
    else if (!expandAll("ls", args, &paths))
        status = 1;
    if (paths.empty())
        return status;
    auto st = remote_.statMany(paths, !longForm);
    int64_t now = time(nullptr);
    bool tty = isatty(1);
    auto rowFor = [&](const std::string &shown, const StatResult &s, const std::string &target) {
        LongRow r;
        r.mode = ModeString(static_cast<uint32_t>(s.st.mode));
        r.links = std::to_string(s.st.nlink);
        r.owner = numeric ? std::to_string(s.st.uid) : owner(s.st.uid);
        r.group = std::to_string(s.st.gid);
        r.size = std::to_string(s.st.size);
        r.when = ListTime(s.st.mtime, now);
        r.name = shown;
        if (IsLinkMode(s.st.mode))
            r.name += " -> " + target;
        return r;
    };
    auto show = [&](std::vector<std::string> names, const std::vector<StatResult> *stats,
                    const std::vector<std::string> *full) {
        if (!longForm) {
            std::string text = FormatColumns(names, tty ? TerminalWidth(1) : 0);
            fputs(text.c_str(), stdout);
            return;
        }
        std::vector<std::string> links;
        std::vector<size_t> which;
        for (size_t k = 0; k < names.size(); k++)
            if ((*stats)[k].result >= 0 && IsLinkMode((*stats)[k].st.mode)) {
                links.push_back((*full)[k]);
                which.push_back(k);
            }
        std::vector<std::string> targets(names.size());
        auto got = remote_.readlinkMany(links);
        for (size_t k = 0; k < which.size(); k++)
            targets[which[k]] = got[k].value_or("?");
        std::vector<LongRow> rows;
        for (size_t k = 0; k < names.size(); k++) {
            if ((*stats)[k].result < 0) {
                Complain("ls", (*full)[k], (*stats)[k].error);
                status = 1;
                continue;
            }
            rows.push_back(rowFor(names[k], (*stats)[k], targets[k]));
        }
        fputs(FormatLong(rows).c_str(), stdout);
    };
    // Files first, as given; then each directory.
    std::vector<std::string> files, dirs;
    std::vector<StatResult> fileStats;
    for (size_t k = 0; k < paths.size(); k++) {
        if (st[k].result < 0) {
            Complain("ls", paths[k], st[k].error);
            status = 1;
        } else if (IsDirMode(st[k].st.mode))
            dirs.push_back(paths[k]);
        else {
            files.push_back(paths[k]);
            fileStats.push_back(st[k]);
        }
    }
    if (!files.empty())
        show(files, &fileStats, &files);
    bool headers = paths.size() > 1;
    for (size_t d = 0; d < dirs.size(); d++) {
        std::vector<std::string> names;
        if (remote_.listNames(dirs[d], &names) < 0) {
            Complain("ls", dirs[d], errno);
            status = 1;
            continue;
        }
        if (all) {
            names.push_back(".");
            names.push_back("..");
        } else
            names.erase(std::remove_if(names.begin(), names.end(), [](const std::string &n) { return n[0] == '.'; }),
                        names.end());
        std::sort(names.begin(), names.end());
        if (headers)
            printf("%s%s:\n", (d > 0 || !files.empty()) ? "\n" : "", dirs[d].c_str());
        std::vector<std::string> full;
        std::vector<StatResult> stats;
        if (longForm) {
            for (const std::string &n : names)
                full.push_back(JoinPath(dirs[d], n));
            stats = remote_.statMany(full, false);
        }
        show(names, &stats, &full);
    }
    return status;
}

int Shell::cmdCd(const std::vector<Word> &args)
{
    std::string dir;
    if (args.empty()) {
        dir = "/";
        for (const std::string &e : hostlink::getenv(link_))
            if (e.rfind("HOME=", 0) == 0)
                dir = e.substr(5);
    } else
        dir = args[0].text;
    if (hostlink::chdir(link_, dir) < 0) {
        Complain("cd", dir, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdPwd(const std::vector<Word> &)
{
    std::string cwd;
    if (hostlink::getcwd(link_, &cwd) < 0) {
        Complain("pwd", "", errno);
        return 1;
    }
    printf("%s\n", cwd.c_str());
    return 0;
}

int Shell::cmdLcd(const std::vector<Word> &args)
{
    const char *home = getenv("HOME");
    std::string dir = args.empty() ? (home ? home : "/") : args[0].text;
    if (chdir(dir.c_str()) < 0) {
        Complain("lcd", dir, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdLpwd(const std::vector<Word> &)
{
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) {
        Complain("lpwd", "", errno);
        return 1;
    }
    printf("%s\n", buf);
    return 0;
}

int Shell::cmdLls(const std::vector<Word> &args)
{
    std::vector<std::string> words = {"ls"};
    for (const Word &w : args) {
        glob_t g = {};
        if (w.glob && glob(w.pattern.c_str(), 0, nullptr, &g) == 0)
            words.insert(words.end(), g.gl_pathv, g.gl_pathv + g.gl_pathc);
        else
            words.push_back(w.text);
        globfree(&g);
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    fflush(stdout);
    pid_t pid;
    int rc = posix_spawnp(&pid, "ls", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        Complain("lls", "ls", rc);
        return 1;
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

int Shell::getOne(const std::string &src, const std::string &dest, const hostlink::FileStatus &st)
{
    // A host file that cannot be read leaves the local side untouched.
    if (hostlink::access(link_, src, hostlink::kAccessRead) < 0) {
        Complain("get", src, errno);
        return 1;
    }
    int32_t mode = st.mode & 0777;
    int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode ? mode : 0644);
    if (fd < 0) {
        Complain("get", dest, errno);
        return 1;
    }
    Meter meter(showProgress(), BaseName(src), IsRegMode(st.mode) ? st.size : -1);
    int64_t moved = 0;
    char where = 0;
    int rc = remote_.getFile(src, fd, [&](int64_t done) { moved = done; return meter.update(done); }, &where);
    int error = errno;
    if (close(fd) < 0 && rc == 0)
        rc = -1, error = errno, where = 'l';
    meter.finish(moved, rc == 0);
    if (rc < 0) {
        if (error == EINTR)
            Complain("get: " + src + ": interrupted");
        else
            Complain("get", where == 'l' ? dest : src, error);
        return 1;
    }
    return 0;
}

int Shell::getTree(const std::string &src, const std::string &dest)
{
    if (mkdir(dest.c_str(), 0700) < 0 && errno != EEXIST) {
        Complain("get", dest, errno);
        return 1;
    }
    struct stat lst;
    if (stat(dest.c_str(), &lst) < 0 || !S_ISDIR(lst.st_mode)) {
        Complain("get", dest, ENOTDIR);
        return 1;
    }
    std::vector<std::string> names;
    if (remote_.listNames(src, &names) < 0) {
        Complain("get", src, errno);
        return 1;
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> full;
    for (const std::string &n : names)
        full.push_back(JoinPath(src, n));
    auto st = remote_.statMany(full, false);
    std::vector<std::string> links;
    for (size_t k = 0; k < names.size(); k++)
        if (st[k].result >= 0 && IsLinkMode(st[k].st.mode))
            links.push_back(full[k]);
    auto targets = remote_.readlinkMany(links);
    int status = 0;
    size_t li = 0;
    for (size_t k = 0; k < names.size() && !gInterrupted; k++) {
        std::string to = dest + "/" + names[k];
        if (st[k].result < 0) {
            Complain("get", full[k], st[k].error);
            status = 1;
        } else if (IsDirMode(st[k].st.mode)) {
            status |= getTree(full[k], to);
        } else if (IsLinkMode(st[k].st.mode)) {
            const auto &t = targets[li++];
            if (!t) {
                Complain("get", full[k], EIO);
                status = 1;
                continue;
            }
            unlink(to.c_str());
            if (symlink(t->c_str(), to.c_str()) < 0) {
                Complain("get", to, errno);
                status = 1;
            }
        } else if (IsRegMode(st[k].st.mode)) {
            status |= getOne(full[k], to, st[k].st);
        } else {
            Complain("get: " + full[k] + ": not a regular file, skipped");
            status = 1;
        }
    }
    auto self = remote_.statMany({src}, true);
    if (self[0].result >= 0)
        chmod(dest.c_str(), static_cast<mode_t>(self[0].st.mode) & 07777);
    return status;
}

int Shell::cmdGet(const std::vector<Word> &argsIn)
{
    std::vector<Word> args = argsIn;
    std::string opts;
    if (!TakeOptions("get", &args, "rRpP", &opts))
        return 1;
    bool recursive = opts.find_first_of("rR") != std::string::npos;
    if (args.empty() || args.size() > 2) {
        Complain("usage: get [-r] REMOTE [LOCAL]");
        return 1;
    }
    std::vector<std::string> sources;
    if (!expand("get", args[0], &sources))
        return 1;
    std::string local = args.size() > 1 ? args[1].text : "";
    struct stat lst;
    bool localDir = !local.empty() && stat(local.c_str(), &lst) == 0 && S_ISDIR(lst.st_mode);
    if (sources.size() > 1 && !local.empty() && !localDir) {
        Complain("get", local, ENOTDIR);
        return 1;
    }
    auto st = remote_.statMany(sources, true);
    int status = 0;
    for (size_t k = 0; k < sources.size() && !gInterrupted; k++) {
        const std::string &src = sources[k];
        if (st[k].result < 0) {
            Complain("get", src, st[k].error);
            status = 1;
            continue;
        }
        std::string base = BaseName(src);
        if (base.empty() || base == "." || base == "..")
            base = "root";
        std::string dest = local.empty() ? base : localDir ? local + "/" + base : local;
        if (IsDirMode(st[k].st.mode)) {
            if (!recursive) {
                Complain("get", src, EISDIR);
                status = 1;
                continue;
            }
            status |= getTree(src, dest);
        } else
            status |= getOne(src, dest, st[k].st);
    }
    return status;
}

int Shell::putOne(const std::string &src, const std::string &dest, int32_t mode)
{
    int fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Complain("put", src, errno);
        return 1;
    }
    Meter meter(showProgress(), BaseName(src), SizeOf(fd));
    int64_t moved = 0;
    char where = 0;
    int rc = remote_.putFile(fd, dest, mode & 07777, [&](int64_t done) { moved = done; return meter.update(done); },
                             &where);
    int error = errno;
    close(fd);
    meter.finish(moved, rc == 0);
    if (rc < 0) {
        if (error == EINTR)
            Complain("put: " + src + ": interrupted");
        else
            Complain("put", where == 'l' ? src : dest, error);
        return 1;
    }
    return 0;
}

int Shell::putTree(const std::string &src, const std::string &dest)
{
    // Walk the local tree first; then make every directory in one batch, every link in
    // another, and send the files.
    std::vector<std::string> dirs = {dest};
    std::vector<mode_t> dirModes;
    std::vector<std::pair<std::string, std::string>> links;
    std::vector<std::tuple<std::string, std::string, mode_t>> files;
    int status = 0;
    struct stat top;
    if (stat(src.c_str(), &top) < 0) {
        Complain("put", src, errno);
        return 1;
    }
    dirModes.push_back(top.st_mode);
    std::vector<std::pair<std::string, std::string>> todo = {{src, dest}};
    while (!todo.empty()) {
        auto [from, to] = todo.back();
        todo.pop_back();
        DIR *d = opendir(from.c_str());
        if (!d) {
            Complain("put", from, errno);
            status = 1;
            continue;
        }
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        std::vector<std::pair<std::string, std::string>> sub;
        for (const std::string &n : names) {
            std::string f = from + "/" + n, t = to + "/" + n;
            struct stat st;
            if (lstat(f.c_str(), &st) < 0) {
                Complain("put", f, errno);
                status = 1;
            } else if (S_ISDIR(st.st_mode)) {
                dirs.push_back(t);
                dirModes.push_back(st.st_mode);
                sub.emplace_back(f, t);
            } else if (S_ISLNK(st.st_mode)) {
                char buf[4096];
                ssize_t len = readlink(f.c_str(), buf, sizeof buf);
                if (len < 0) {
                    Complain("put", f, errno);
                    status = 1;
                } else
                    links.emplace_back(std::string(buf, static_cast<size_t>(len)), t);
            } else if (S_ISREG(st.st_mode))
                files.emplace_back(f, t, st.st_mode);
            else {
                Complain("put: " + f + ": not a regular file, skipped");
                status = 1;
            }
        }
        todo.insert(todo.end(), sub.rbegin(), sub.rend());
    }
    // Directories are made writable for the copy; their own modes come last.
    auto made = remote_.mkdirMany(dirs, 0700);
    for (size_t k = 0; k < dirs.size(); k++)
        if (made[k] && !(made[k] == EEXIST && hostIsDir(dirs[k]))) {
            Complain("put", dirs[k], made[k]);
            return 1;
        }
    auto linked = remote_.symlinkMany(links);
    for (size_t k = 0; k < links.size(); k++)
        if (linked[k] == EEXIST) {
            hostlink::unlink(link_, links[k].second);
            linked[k] = hostlink::symlink(link_, links[k].first, links[k].second) < 0 ? errno : 0;
        }
    for (size_t k = 0; k < links.size(); k++)
        if (linked[k]) {
            Complain("put", links[k].second, linked[k]);
            status = 1;
        }
    for (const auto &[f, t, mode] : files) {
        if (gInterrupted)
            break;
        status |= putOne(f, t, static_cast<int32_t>(mode));
    }
    for (size_t k = dirs.size(); k-- > 0;)
        hostlink::chmod(link_, dirs[k], static_cast<int32_t>(dirModes[k] & 07777));
    return status;
}

int Shell::cmdPut(const std::vector<Word> &argsIn)
{
    std::vector<Word> args = argsIn;
    std::string opts;
    if (!TakeOptions("put", &args, "rRpP", &opts))
        return 1;
    bool recursive = opts.find_first_of("rR") != std::string::npos;
    if (args.empty() || args.size() > 2) {
        Complain("usage: put [-r] LOCAL [REMOTE]");
        return 1;
    }
    std::vector<std::string> sources;
    glob_t g = {};
    if (args[0].glob && glob(args[0].pattern.c_str(), 0, nullptr, &g) == 0)
        sources.assign(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    else if (args[0].glob) {
        globfree(&g);
        Complain("put", args[0].text, ENOENT);
        return 1;
    } else
        sources.push_back(args[0].text);
    globfree(&g);
    std::string remote = args.size() > 1 ? args[1].text : "";
    bool remoteDir = !remote.empty() && hostIsDir(remote);
    if (sources.size() > 1 && !remote.empty() && !remoteDir) {
        Complain("put", remote, ENOTDIR);
        return 1;
    }
    int status = 0;
    for (const std::string &src : sources) {
        if (gInterrupted)
            break;
        struct stat st;
        if (stat(src.c_str(), &st) < 0) {
            Complain("put", src, errno);
            status = 1;
            continue;
        }
        std::string base = BaseName(src);
        if (base.empty() || base == "." || base == "..")
            base = "root";
        std::string dest = remote.empty() ? base : remoteDir ? JoinPath(remote, base) : remote;
        if (S_ISDIR(st.st_mode)) {
            if (!recursive) {
                Complain("put", src, EISDIR);
                status = 1;
                continue;
            }
            status |= putTree(src, dest);
        } else
            status |= putOne(src, dest, static_cast<int32_t>(st.st_mode));
    }
    return status;
}

int Shell::cmdCat(const std::vector<Word> &args)
{
    std::vector<std::string> paths;
    int status = expandAll("cat", args, &paths) ? 0 : 1;
    fflush(stdout);
    for (const std::string &p : paths) {
        char where = 0;
        if (remote_.getFile(p, 1, [](int64_t) { return !gInterrupted; }, &where) < 0) {
            int error = errno;
            Complain("cat", where == 'l' ? "standard output" : p, error);
            status = 1;
        }
    }
    return status;
}

int Shell::cmdStat(const std::vector<Word> &args)
{
    std::vector<std::string> paths;
    int status = expandAll("stat", args, &paths) ? 0 : 1;
    auto st = remote_.statMany(paths, false);
    std::vector<std::string> links;
    for (size_t k = 0; k < paths.size(); k++)
        if (st[k].result >= 0 && IsLinkMode(st[k].st.mode))
            links.push_back(paths[k]);
    auto targets = remote_.readlinkMany(links);
    size_t li = 0;
    auto when = [](int32_t t) {
        time_t tt = t;
        struct tm tm {};
        char buf[64] = "?";
        if (localtime_r(&tt, &tm))
            strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
        return std::string(buf);
    };
    for (size_t k = 0; k < paths.size(); k++) {
        if (st[k].result < 0) {
            Complain("stat", paths[k], st[k].error);
            status = 1;
            continue;
        }
        const hostlink::FileStatus &s = st[k].st;
        const char *type = "unknown";
        switch (static_cast<uint32_t>(s.mode) & S_IFMT) {
        case S_IFREG: type = "regular file"; break;
        case S_IFDIR: type = "directory"; break;
        case S_IFLNK: type = "symbolic link"; break;
        case S_IFCHR: type = "character device"; break;
        case S_IFBLK: type = "block device"; break;
        case S_IFIFO: type = "fifo"; break;
        case S_IFSOCK: type = "socket"; break;
        }
        std::string name = paths[k];
        if (IsLinkMode(s.mode))
            name += " -> " + targets[li++].value_or("?");
        printf("  File: %s\n", name.c_str());
        printf("  Size: %-12d Links: %-6d Type: %s\n", s.size, s.nlink, type);
        printf("  Mode: %04o (%s)  Uid: %d  Gid: %d\n", static_cast<unsigned>(s.mode) & 07777,
               ModeString(static_cast<uint32_t>(s.mode)).c_str(), s.uid, s.gid);
        printf(" Inode: %-12u Device: %u\n", static_cast<uint32_t>(s.ino), static_cast<uint32_t>(s.dev));
        printf("Access: %s\nModify: %s\nChange: %s\n", when(s.atime).c_str(), when(s.mtime).c_str(),
               when(s.ctime).c_str());
    }
    return status;
}

int Shell::cmdRm(const std::vector<Word> &args)
{
    if (args.empty()) {
        Complain("usage: rm PATH...");
        return 1;
    }
    std::vector<std::string> paths;
    int status = expandAll("rm", args, &paths) ? 0 : 1;
    for (const std::string &p : paths)
        if (hostlink::unlink(link_, p) < 0) {
            Complain("rm", p, errno);
            status = 1;
        }
    return status;
}

int Shell::cmdMkdir(const std::vector<Word> &args)
{
    if (args.empty()) {
        Complain("usage: mkdir DIR...");
        return 1;
    }
    std::vector<std::string> paths;
    for (const Word &w : args)
        paths.push_back(w.text);
    auto made = remote_.mkdirMany(paths, 0777);
    int status = 0;
    for (size_t k = 0; k < paths.size(); k++)
        if (made[k]) {
            Complain("mkdir", paths[k], made[k]);
            status = 1;
        }
    return status;
}

int Shell::cmdRmdir(const std::vector<Word> &args)
{
    if (args.empty()) {
        Complain("usage: rmdir DIR...");
        return 1;
    }
    std::vector<std::string> paths;
    int status = expandAll("rmdir", args, &paths) ? 0 : 1;
    for (const std::string &p : paths)
        if (hostlink::rmdir(link_, p) < 0) {
            Complain("rmdir", p, errno);
            status = 1;
        }
    return status;
}

int Shell::cmdLn(const std::vector<Word> &argsIn)
{
    std::vector<Word> args = argsIn;
    std::string opts;
    if (!TakeOptions("ln", &args, "s", &opts))
        return 1;
    if (args.size() != 2) {
        Complain("usage: ln [-s] TARGET LINK");
        return 1;
    }
    bool soft = !opts.empty();
    int rc = soft ? hostlink::symlink(link_, args[0].text, args[1].text)
                  : hostlink::link(link_, args[0].text, args[1].text);
    if (rc < 0) {
        Complain("ln", args[1].text, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdChmod(const std::vector<Word> &args)
{
    if (args.size() < 2) {
        Complain("usage: chmod MODE PATH...");
        return 1;
    }
    char *end = nullptr;
    long mode = strtol(args[0].text.c_str(), &end, 8);
    if (*end || end == args[0].text.c_str() || mode < 0 || mode > 07777) {
        Complain("chmod: " + args[0].text + ": not an octal mode");
        return 1;
    }
    std::vector<std::string> paths;
    int status = expandAll("chmod", std::vector<Word>(args.begin() + 1, args.end()), &paths) ? 0 : 1;
    for (const std::string &p : paths)
        if (hostlink::chmod(link_, p, static_cast<int32_t>(mode)) < 0) {
            Complain("chmod", p, errno);
            status = 1;
        }
    return status;
}

int Shell::cmdReadlink(const std::vector<Word> &args)
{
    if (args.size() != 1) {
        Complain("usage: readlink PATH");
        return 1;
    }
    std::string target;
    if (hostlink::readlink(link_, args[0].text, &target) < 0) {
        Complain("readlink", args[0].text, errno);
        return 1;
    }
    printf("%s\n", target.c_str());
    return 0;
}

int Shell::cmdEnv(const std::vector<Word> &args)
{
    auto env = hostlink::getenv(link_);
    if (args.empty()) {
        for (const std::string &e : env)
            printf("%s\n", e.c_str());
        return 0;
    }
    int status = 0;
    for (const Word &w : args) {
        bool found = false;
        for (const std::string &e : env)
            if (e.size() > w.text.size() && e.compare(0, w.text.size(), w.text) == 0 && e[w.text.size()] == '=') {
                printf("%s\n", e.c_str() + w.text.size() + 1);
                found = true;
                break;
            }
        if (!found) {
            Complain("env: " + w.text + ": not set");
            status = 1;
        }
    }
    return status;
}

int Shell::cmdSetenv(const std::vector<Word> &args)
{
    if (args.empty()) {
        Complain("usage: setenv NAME=VALUE...");
        return 1;
    }
    std::vector<std::string> settings;
    for (const Word &w : args) {
        size_t eq = w.text.find('=');
        if (eq == 0 || eq == std::string::npos) {
            Complain("setenv: " + w.text + ": not of the form NAME=VALUE");
            return 1;
        }
        settings.push_back(w.text);
    }
    if (hostlink::setenv(link_, settings) < 0) {
        Complain("setenv", "", errno);
        return 1;
    }
    return 0;
}

int Shell::cmdId(const std::vector<Word> &)
{
    int32_t uid = hostlink::getuid(link_), gid = hostlink::getgid(link_);
    int32_t euid = hostlink::geteuid(link_), egid = hostlink::getegid(link_);
    std::string login;
    if (hostlink::getlogin(link_, &login) < 0)
        login.clear();
    printf("uid=%d", uid);
    if (!login.empty())
        printf("(%s)", login.c_str());
    printf(" gid=%d", gid);
    if (euid != uid)
        printf(" euid=%d", euid);
    if (egid != gid)
        printf(" egid=%d", egid);
    printf("\n");
    return 0;
}

int Shell::cmdHostname(const std::vector<Word> &)
{
    std::string name;
    if (hostlink::gethostname(link_, &name) < 0) {
        Complain("hostname", "", errno);
        return 1;
    }
    printf("%s\n", name.c_str());
    return 0;
}

int Shell::cmdDate(const std::vector<Word> &)
{
    hostlink::TimeValue tv;
    hostlink::TimeZone tz;
    if (hostlink::gettimeofday(link_, &tv, &tz) < 0) {
        Complain("date", "", errno);
        return 1;
    }
    // The host's local time, from its own offset.
    int east = -tz.minutesWest;
    time_t shifted = static_cast<time_t>(tv.seconds + east * 60);
    struct tm tm {};
    gmtime_r(&shifted, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M:%S", &tm);
    printf("%s %c%02d%02d\n", buf, east < 0 ? '-' : '+', std::abs(east) / 60, std::abs(east) % 60);
    return 0;
}

int Shell::cmdRun(const std::vector<Word> &args)
{
    if (args.empty()) {
        Complain("usage: run PROGRAM [ARGS...]");
        return 1;
    }
    std::vector<std::string> argv;
    for (const Word &w : args)
        argv.push_back(w.text);
    fflush(stdout);
    remote_.settle();
    RunResult r = RunHostProgram(link_, argv, 1, 2);
    if (r.status < 0) {
        Complain("run: " + argv[0] + ": " + r.failure);
        return r.failure == "interrupted" ? 130 : 127;
    }
    if (r.status != 0)
        Complain("run: " + argv[0] + ": exit status " + std::to_string(r.status));
    return r.status;
}

int Shell::cmdEcho(const std::vector<Word> &args)
{
    std::string line;
    for (const Word &w : args)
        line += (line.empty() ? "" : " ") + w.text;
    printf("%s\n", line.c_str());
    return 0;
}

int Shell::cmdProgress(const std::vector<Word> &)
{
    progress_ = !progress_;
    printf("progress meter %s\n", progress_ ? "on" : "off");
    return 0;
}

int Shell::cmdHelp(const std::vector<Word> &args)
{
    for (const Command &c : commands()) {
        if (!args.empty()) {
            if (args[0].text == c.name) {
                printf("usage: %s\n%s\n", c.usage, c.help);
                return 0;
            }
            continue;
        }
        printf("%-28s %s\n", c.usage, c.help);
    }
    if (!args.empty()) {
        Complain("help: " + args[0].text + ": no such command");
        return 1;
    }
    printf("A line that begins with '-' does not end a batch when it fails.\n");
    return 0;
}

std::vector<std::string> Shell::completeHostPath(const std::string &partial)
{
    size_t slash = partial.rfind('/');
    std::string dir = slash == std::string::npos ? "" : partial.substr(0, slash + 1);
    std::string prefix = slash == std::string::npos ? partial : partial.substr(slash + 1);
    std::vector<std::string> names;
    if (remote_.listNames(dir.empty() ? "." : dir, &names) < 0)
        return {};
    std::vector<std::string> matches, full;
    for (const std::string &n : names)
        if (n.compare(0, prefix.size(), prefix) == 0 && (n[0] != '.' || (!prefix.empty() && prefix[0] == '.'))) {
            matches.push_back(dir + n);
        }
    std::sort(matches.begin(), matches.end());
    auto st = remote_.statMany(matches, true);
    for (size_t k = 0; k < matches.size(); k++)
        if (st[k].result >= 0 && IsDirMode(st[k].st.mode))
            matches[k] += '/';
    return matches;
}

} // namespace hostsh
