// The commands of hostsh over one connection to a host agent.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <hostlink/link.h>

#include "hostsh/options.h"
#include "hostsh/remote.h"
#include "hostsh/text.h"

namespace hostsh {

struct Settings {
    bool quiet = false;
    bool batch = false;
    bool progress = false;      // progress meter even in batch mode
    bool stdinIsCommands = false; // the commands come from standard input: run gets /dev/null
};

class Shell {
public:
    // How get, put, reget and reput copy.
    struct Transfer {
        const char *cmd = "";
        bool append = false, sync = false, keep = false, recursive = false;
    };

    Shell(hostlink::Link &link, const Settings &settings);

    // Runs one command line. Returns its status (0 for success); *quit is set by quit and exit,
    // with *exitStatus. A lost connection raises hostlink::LinkError.
    int execute(const std::string &line, bool *quit, int *exitStatus);

    int lastStatus() const { return lastStatus_; }
    bool progressOn() const { return progress_; }
    // Whether the line being run began with '-' (a recursive transfer then goes on after a
    // failure).
    bool lineIgnoresFailure() const { return ignoreFailure_; }

    // Completion: the command names, and the host entries that begin with a partial path
    // (directories end in '/').
    static std::vector<std::string> commandNames();
    std::vector<std::string> completeHostPath(const std::string &partial);

    Remote &remote() { return remote_; }
    // Whether a progress line is on the screen and needs a newline before other output.
    static bool progressShown();

private:
    using Handler = int (Shell::*)(const Parsed &);
    static Handler handlerFor(const std::string &name);

    // Host paths for a word: its glob matches (sorted), or the word itself.
    bool expand(const char *cmd, const Word &w, std::vector<std::string> *out);
    bool expandAll(const char *cmd, const std::vector<Word> &words, std::vector<std::string> *out);
    // The targets of those paths whose status in st (an lstat each) is a link, in their order.
    std::vector<std::optional<std::string>> linkTargets(const std::vector<std::string> &paths,
                                                        const std::vector<StatResult> &st);
    std::string owner(uint32_t uid);
    bool hostIsDir(const std::string &path);
    // Says once per session that cmd needs the agent's -x; returns 1.
    int needsExtensions(const char *cmd);

    // shell.cpp
    int cmdCd(const Parsed &);
    int cmdPwd(const Parsed &);
    int cmdEnv(const Parsed &);
    int cmdSetenv(const Parsed &);
    int cmdId(const Parsed &);
    int cmdHostname(const Parsed &);
    int cmdDate(const Parsed &);
    int cmdRun(const Parsed &);
    int cmdEcho(const Parsed &);
    int cmdProgress(const Parsed &);
    int cmdHelp(const Parsed &);
    int cmdVersion(const Parsed &);
    // listing.cpp
    int cmdLs(const Parsed &);
    int cmdStat(const Parsed &);
    int cmdDf(const Parsed &);
    int cmdCat(const Parsed &);
    // paths.cpp
    int cmdRm(const Parsed &);
    int cmdMkdir(const Parsed &);
    int cmdRmdir(const Parsed &);
    int cmdRename(const Parsed &);
    int cmdLn(const Parsed &);
    int cmdSymlink(const Parsed &);
    int cmdChmod(const Parsed &);
    int cmdChown(const Parsed &);
    int cmdChgrp(const Parsed &);
    int cmdReadlink(const Parsed &);
    int removeTree(const std::string &path, bool force);
    int changeOwner(const char *cmd, const Parsed &p, bool group);
    // local.cpp
    int cmdLcd(const Parsed &);
    int cmdLpwd(const Parsed &);
    int cmdLls(const Parsed &);
    int cmdLmkdir(const Parsed &);
    int cmdLumask(const Parsed &);
    int runLocalShell(const std::string &command);
    // transfer.cpp
    int cmdGet(const Parsed &);
    int cmdReget(const Parsed &);
    int cmdPut(const Parsed &);
    int cmdReput(const Parsed &);
    int get(const Transfer &t, const Parsed &p);
    int put(const Transfer &t, const Parsed &p);
    // Where a host file lands here: a name in a directory, and its descriptor once open.
    struct Landing {
        std::string src;
        int dirFd;
        std::string name, shown;
        int fd;
        bool created;
    };
    int openLocal(const Transfer &t, int dirFd, const std::string &name, const std::string &shown, bool *created);
    // Modes, times, flush and close of a copy, or its message and the removal of what it left.
    int finishLocal(const Transfer &t, const Landing &to, const Info &st, int error, char where);
    int getOne(const Transfer &t, const std::string &src, int dirFd, const std::string &name,
               const std::string &shown, const Info &st);
    int getInto(const Transfer &t, const Landing &to, const Info &st);
    int getTree(const Transfer &t, const std::string &src, const Info &self, int parentFd, const std::string &name,
                const std::string &shown);
    int putOne(const Transfer &t, const std::string &src, const std::string &dest, const struct stat &st);
    int putTree(const Transfer &t, const std::string &src, const std::string &dest);
    void keepTimes(const std::string &dest, const struct stat &st);
    bool showProgress() const;

    hostlink::Link &link_;
    Remote remote_;
    Settings settings_;
    bool progress_;
    int lastStatus_ = 0;
    bool ignoreFailure_ = false;
    uint32_t myUid_ = UINT32_MAX;
    std::string myLogin_;
    bool toldExtensions_ = false;
};

} // namespace hostsh
