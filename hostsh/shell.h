// The commands of hostsh over one connection to a host agent.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <hostlink/link.h>

#include "hostsh/remote.h"
#include "hostsh/text.h"

namespace hostsh {

struct Settings {
    bool quiet = false;
    bool batch = false;
    bool progress = false; // progress meter even in batch mode
};

class Shell {
public:
    Shell(hostlink::Link &link, const Settings &settings);

    // Runs one command line. Returns its status (0 for success); *quit is set by quit and exit,
    // with *exitStatus. A lost connection raises hostlink::LinkError.
    int execute(const std::string &line, bool *quit, int *exitStatus);

    int lastStatus() const { return lastStatus_; }
    bool progressOn() const { return progress_; }

    // Completion: the command names, and the host entries that begin with a partial path
    // (directories end in '/').
    static std::vector<std::string> commandNames();
    std::vector<std::string> completeHostPath(const std::string &partial);

    Remote &remote() { return remote_; }
    // Whether a progress line is on the screen and needs a newline before other output.
    static bool progressShown();

private:
    struct Command;
    static const std::vector<Command> &commands();

    // Host paths for a word: its glob matches (sorted), or the word itself.
    bool expand(const char *cmd, const Word &w, std::vector<std::string> *out);
    bool expandAll(const char *cmd, const std::vector<Word> &words, std::vector<std::string> *out);
    std::string owner(int32_t uid);
    bool hostIsDir(const std::string &path);

    int cmdLs(const std::vector<Word> &args);
    int cmdCd(const std::vector<Word> &args);
    int cmdPwd(const std::vector<Word> &args);
    int cmdLcd(const std::vector<Word> &args);
    int cmdLpwd(const std::vector<Word> &args);
    int cmdLls(const std::vector<Word> &args);
    int cmdGet(const std::vector<Word> &args);
    int cmdPut(const std::vector<Word> &args);
    int cmdCat(const std::vector<Word> &args);
    int cmdStat(const std::vector<Word> &args);
    int cmdRm(const std::vector<Word> &args);
    int cmdMkdir(const std::vector<Word> &args);
    int cmdRmdir(const std::vector<Word> &args);
    int cmdLn(const std::vector<Word> &args);
    int cmdChmod(const std::vector<Word> &args);
    int cmdReadlink(const std::vector<Word> &args);
    int cmdEnv(const std::vector<Word> &args);
    int cmdSetenv(const std::vector<Word> &args);
    int cmdId(const std::vector<Word> &args);
    int cmdHostname(const std::vector<Word> &args);
    int cmdDate(const std::vector<Word> &args);
    int cmdRun(const std::vector<Word> &args);
    int cmdEcho(const std::vector<Word> &args);
    int cmdProgress(const std::vector<Word> &args);
    int cmdHelp(const std::vector<Word> &args);

    int getOne(const std::string &src, const std::string &dest, const hostlink::FileStatus &st);
    int getTree(const std::string &src, const std::string &dest);
    int putOne(const std::string &src, const std::string &dest, int32_t mode);
    int putTree(const std::string &src, const std::string &dest);
    bool showProgress() const;

    hostlink::Link &link_;
    Remote remote_;
    Settings settings_;
    bool progress_;
    int lastStatus_ = 0;
    int32_t myUid_ = -1;
    std::string myLogin_;
};

} // namespace hostsh
