// Commands on this machine: lcd, lpwd, lls, lmkdir, lumask and "!".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <glob.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hostsh/shell.h"
#include "hostsh/ui.h"

extern char **environ;

namespace hostsh {

namespace {

int Spawn(const std::vector<std::string> &words, const char *shown)
{
    std::vector<char *> argv;
    for (const std::string &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        Complain(shown, argv[0], rc);
        return 127;
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

} // namespace

int Shell::cmdLcd(const Parsed &p)
{
    const char *home = getenv("HOME");
    std::string dir = p.args.empty() ? (home ? home : "/") : p.args[0].text;
    if (chdir(dir.c_str()) < 0) {
        Complain("lcd", dir, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdLpwd(const Parsed &)
{
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) {
        Complain("lpwd", "", errno);
        return 1;
    }
    printf("Local working directory: %s\n", ShowText(buf).c_str());
    return 0;
}

int Shell::cmdLls(const Parsed &p)
{
    std::vector<std::string> words = {"ls"};
    for (const Word &w : p.args) {
        glob_t g = {};
        if (w.glob && glob(w.pattern.c_str(), 0, nullptr, &g) == 0)
            words.insert(words.end(), g.gl_pathv, g.gl_pathv + g.gl_pathc);
        else
            words.push_back(w.text);
        globfree(&g);
    }
    return Spawn(words, "lls");
}

int Shell::cmdLmkdir(const Parsed &p)
{
    int status = 0;
    for (const Word &w : p.args) {
        const std::string &t = w.text;
        if (!p.has('p')) {
            if (mkdir(t.c_str(), 0777) < 0) {
                Complain("lmkdir", t, errno);
                status = 1;
            }
            continue;
        }
        for (size_t i = 1; i <= t.size(); i++) {
            if (!(i == t.size() || t[i] == '/') || t[i - 1] == '/')
                continue;
            std::string part = t.substr(0, i);
            struct stat st;
            if (mkdir(part.c_str(), 0777) < 0 && !(errno == EEXIST && stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
                Complain("lmkdir", part, errno == EEXIST ? ENOTDIR : errno);
                status = 1;
                break;
            }
        }
    }
    return status;
}

int Shell::cmdLumask(const Parsed &p)
{
    const std::string &t = p.args[0].text;
    char *end = nullptr;
    long mask = strtol(t.c_str(), &end, 8);
    if (t.empty() || *end || mask < 0 || mask > 0777) {
        Complain("lumask: " + ShowText(t) + ": not an octal mask");
        return 1;
    }
    umask(static_cast<mode_t>(mask));
    printf("Local umask: %03lo\n", mask);
    return 0;
}

int Shell::runLocalShell(const std::string &command)
{
    const char *shell = getenv("SHELL");
    std::string sh = shell && *shell ? shell : "/bin/sh";
    if (command.find_first_not_of(" \t") == std::string::npos)
        return Spawn({sh}, "!");
    return Spawn({sh, "-c", command}, "!");
}

} // namespace hostsh
