#include "hostsh/shell.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include <hostlink/calls.h>
#include <hostlink/ext.h>
#include <hostlink/run.h>

#include "hostsh/ui.h"

#ifndef HOSTSH_VERSION
#define HOSTSH_VERSION "dev"
#endif

namespace hostsh {

Shell::Handler Shell::handlerFor(const std::string &name)
{
    static const struct {
        const char *name;
        Handler run;
    } table[] = {
        {"cat", &Shell::cmdCat},         {"cd", &Shell::cmdCd},           {"chgrp", &Shell::cmdChgrp},
        {"chmod", &Shell::cmdChmod},     {"chown", &Shell::cmdChown},     {"date", &Shell::cmdDate},
        {"df", &Shell::cmdDf},           {"echo", &Shell::cmdEcho},       {"env", &Shell::cmdEnv},
        {"get", &Shell::cmdGet},         {"help", &Shell::cmdHelp},       {"hostname", &Shell::cmdHostname},
        {"id", &Shell::cmdId},           {"lcd", &Shell::cmdLcd},         {"lls", &Shell::cmdLls},
        {"lmkdir", &Shell::cmdLmkdir},   {"ln", &Shell::cmdLn},           {"lpwd", &Shell::cmdLpwd},
        {"ls", &Shell::cmdLs},           {"lumask", &Shell::cmdLumask},   {"mkdir", &Shell::cmdMkdir},
        {"progress", &Shell::cmdProgress}, {"put", &Shell::cmdPut},       {"pwd", &Shell::cmdPwd},
        {"readlink", &Shell::cmdReadlink}, {"reget", &Shell::cmdReget},   {"rename", &Shell::cmdRename},
        {"reput", &Shell::cmdReput},     {"rm", &Shell::cmdRm},           {"rmdir", &Shell::cmdRmdir},
        {"run", &Shell::cmdRun},         {"setenv", &Shell::cmdSetenv},   {"stat", &Shell::cmdStat},
        {"symlink", &Shell::cmdSymlink}, {"version", &Shell::cmdVersion},
    };
    for (const auto &e : table)
        if (name == e.name)
            return e.run;
    return nullptr;
}

std::vector<std::string> Shell::commandNames()
{
    std::vector<std::string> out;
    for (const CommandRow &c : Commands())
        out.emplace_back(c.name);
    return out;
}

bool Shell::progressShown() { return gProgressShown; }

Shell::Shell(hostlink::Link &link, const Settings &settings)
    : link_(link), remote_(link), settings_(settings), progress_(!settings.quiet && (!settings.batch || settings.progress))
{
    // Whether the agent offers -x, and who it runs as, for the owner column of long listings.
    int32_t id = 0;
    remote_.start(&id, &myLogin_);
    myUid_ = static_cast<uint32_t>(id);
}

bool Shell::showProgress() const { return progress_ && isatty(2) && tcgetpgrp(2) == getpgrp(); }

int Shell::needsExtensions(const char *cmd)
{
    Complain(std::string(cmd) + ": the agent does not offer this (start it with -x)");
    return 1;
}

int Shell::execute(const std::string &line, bool *quit, int *exitStatus)
{
    // "!command" goes to a local shell as it was typed.
    size_t lead = line.find_first_not_of(" \t");
    ignoreFailure_ = lead != std::string::npos && line[lead] == '-';
    size_t bang = ignoreFailure_ ? line.find_first_not_of(" \t", lead + 1) : lead;
    if (bang != std::string::npos && line[bang] == '!')
        return lastStatus_ = runLocalShell(line.substr(bang + 1));
    std::string error;
    auto parsed = Tokenize(line, lastStatus_, &error);
    if (!parsed) {
        Complain("hostsh: " + error);
        return lastStatus_ = 1;
    }
    if (parsed->words.empty())
        return 0;
    std::string name = parsed->words[0].text;
    std::vector<Word> words(parsed->words.begin() + 1, parsed->words.end());
    const CommandRow *row = FindCommand(name);
    if (!row) {
        Complain(ShowText(name) + ": unknown command (type \"help\" for the list)");
        return lastStatus_ = 1;
    }
    auto args = ParseArgs(*row, words, &error);
    if (!args) {
        Complain(error);
        return lastStatus_ = 1;
    }
    if (name == "quit" || name == "exit" || name == "bye") {
        *quit = true;
        *exitStatus = 0;
        if (!args->args.empty()) {
            const std::string &v = args->args[0].text;
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (*end || end == v.c_str()) {
                Complain(name + ": " + ShowText(v) + ": not a number");
                *quit = false;
                return lastStatus_ = 1;
            }
            *exitStatus = static_cast<int>(n & 0xff);
        }
        return 0;
    }
    Handler run = handlerFor(row->name);
    gInterrupted = 0;
    int status = (this->*run)(*args);
    if (gInterrupted && status == 0)
        status = 130;
    gInterrupted = 0;
    fflush(stdout);
    return lastStatus_ = status;
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
                    if (SafeName(n) && GlobMatch(part, n))
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

std::string Shell::owner(uint32_t uid)
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

int Shell::cmdCd(const Parsed &p)
{
    std::string dir;
    if (p.args.empty()) {
        dir = "/";
        for (const std::string &e : hostlink::getenv(link_))
            if (e.rfind("HOME=", 0) == 0)
                dir = e.substr(5);
    } else
        dir = p.args[0].text;
    if (hostlink::chdir(link_, dir) < 0) {
        Complain("cd", dir, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdPwd(const Parsed &)
{
    std::string cwd;
    if (hostlink::getcwd(link_, &cwd) < 0) {
        Complain("pwd", "", errno);
        return 1;
    }
    printf("Remote working directory: %s\n", ShowText(cwd).c_str());
    return 0;
}

int Shell::cmdEnv(const Parsed &p)
{
    auto env = hostlink::getenv(link_);
    if (p.args.empty()) {
        for (const std::string &e : env)
            printf("%s\n", ShowText(e).c_str());
        return 0;
    }
    int status = 0;
    for (const Word &w : p.args) {
        bool found = false;
        for (const std::string &e : env)
            if (e.size() > w.text.size() && e.compare(0, w.text.size(), w.text) == 0 && e[w.text.size()] == '=') {
                printf("%s\n", ShowText(e.substr(w.text.size() + 1)).c_str());
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

int Shell::cmdSetenv(const Parsed &p)
{
    if (p.args.empty()) {
        Complain("usage: setenv NAME=VALUE...");
        return 1;
    }
    std::vector<std::string> settings;
    for (const Word &w : p.args) {
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

int Shell::cmdId(const Parsed &)
{
    int32_t uid = hostlink::getuid(link_), gid = hostlink::getgid(link_);
    int32_t euid = hostlink::geteuid(link_), egid = hostlink::getegid(link_);
    std::string login;
    if (hostlink::getlogin(link_, &login) < 0)
        login.clear();
    printf("uid=%d", uid);
    if (!login.empty())
        printf("(%s)", ShowText(login).c_str());
    printf(" gid=%d", gid);
    if (euid != uid)
        printf(" euid=%d", euid);
    if (egid != gid)
        printf(" egid=%d", egid);
    printf("\n");
    return 0;
}

int Shell::cmdHostname(const Parsed &)
{
    std::string name;
    if (hostlink::gethostname(link_, &name) < 0) {
        Complain("hostname", "", errno);
        return 1;
    }
    printf("%s\n", ShowText(name).c_str());
    return 0;
}

int Shell::cmdDate(const Parsed &)
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

int Shell::cmdRun(const Parsed &p)
{
    std::vector<std::string> argv;
    for (const Word &w : p.args)
        argv.push_back(w.text);
    // "< FILE" at the end: the program reads that local file.
    int in = -1;
    if (argv.size() >= 3 && argv[argv.size() - 2] == "<") {
        std::string file = argv.back();
        argv.resize(argv.size() - 2);
        in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            Complain("run", file, errno);
            return 1;
        }
    } else if (!settings_.stdinIsCommands)
        in = 0; // the terminal, or whatever standard input is when commands come from elsewhere
    fflush(stdout);
    remote_.settle();
    hostlink::RunOptions how;
    how.inFd = in;
    how.stop = &gInterrupted;
    hostlink::RunResult r = hostlink::runHost(link_, argv[0], argv, how);
    if (in > 0)
        close(in);
    if (!r.ok()) {
        Complain("run: " + ShowText(argv[0]) + ": " + r.message());
        return r.failure == hostlink::RunFailure::Interrupted ? 130 : 127;
    }
    if (r.status != 0)
        Complain("run: " + ShowText(argv[0]) + ": exit status " + std::to_string(r.status));
    return r.status;
}

int Shell::cmdEcho(const Parsed &p)
{
    std::string line;
    for (const Word &w : p.args)
        line += (line.empty() ? "" : " ") + w.text;
    printf("%s\n", line.c_str());
    return 0;
}

int Shell::cmdProgress(const Parsed &)
{
    progress_ = !progress_;
    printf("Progress meter %s\n", progress_ ? "enabled" : "disabled");
    return 0;
}

int Shell::cmdHelp(const Parsed &p)
{
    if (p.args.empty()) {
        fputs(HelpAll().c_str(), stdout);
        return 0;
    }
    const CommandRow *row = FindCommand(p.args[0].text);
    if (!row) {
        Complain("help: " + ShowText(p.args[0].text) + ": no such command");
        return 1;
    }
    fputs(HelpFor(*row).c_str(), stdout);
    return 0;
}

int Shell::cmdVersion(const Parsed &)
{
    printf("hostsh %s, agent %s\n", HOSTSH_VERSION,
           remote_.extended() ? "with the extension calls (-x)" : "with the standard calls only");
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
