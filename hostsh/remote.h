// Pipelined work on the host, through the library's batches: a listing, a glob, a tree walk or
// a whole-file transfer sends its requests in rounds and waits for the agent once per round,
// not once per call.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hostlink/batch.h>
#include <hostlink/calls.h>
#include <hostlink/detail.h>
#include <hostlink/link.h>

namespace hostsh {

struct StatResult {
    int32_t result = -1;
    int error = 0; // this machine's errno value when result < 0
    hostlink::FileStatus st{};
};

// Called as a transfer goes on with the bytes moved so far; returns false to stop it.
using ProgressFn = std::function<bool(int64_t done)>;

class Remote {
public:
    explicit Remote(hostlink::Link &link);
    Remote(const Remote &) = delete;
    Remote &operator=(const Remote &) = delete;
    ~Remote();
    hostlink::Link &link() { return link_; }

    // Times this client has waited for the agent since the last reset: one per round of a
    // batch, one per single call.
    long waits() const;
    void resetWaits();

    // Names of a host directory in the host's order, "." and ".." left out.
    // Returns -1 with errno when the directory cannot be opened.
    int listNames(const std::string &path, std::vector<std::string> *names);
    // stat (follow) or lstat of every path, in one round.
    std::vector<StatResult> statMany(const std::vector<std::string> &paths, bool follow);
    // readlink of every path; nullopt where it failed.
    std::vector<std::optional<std::string>> readlinkMany(const std::vector<std::string> &paths);
    // mkdir of every path in order (parents first); the errno of each, 0 for success.
    std::vector<int> mkdirMany(const std::vector<std::string> &paths, int32_t mode);
    // symlink(text, path) for each pair; the errno of each, 0 for success.
    std::vector<int> symlinkMany(const std::vector<std::pair<std::string, std::string>> &links);
    // The agent's user id and login name ("" when it has none), in one round.
    void identity(int32_t *uid, std::string *login);
    // Closes what listings left open; the link is then free for calls made without this class.
    void settle();

    // Copies a host file into the local descriptor out. Returns 0, or -1 with errno and *where
    // saying which side failed ('r' the host, 'l' this machine); a stop asked for by progress
    // is EINTR.
    int getFile(const std::string &remote, int out, const ProgressFn &progress, char *where);
    // Copies the local descriptor in into a host file created (or truncated) with mode.
    int putFile(int in, const std::string &remote, int32_t mode, const ProgressFn &progress, char *where);

private:
    // A batch that first closes the directories earlier listings left open (their answers are
    // of no use, and they cost no wait of their own).
    void begin(hostlink::Batch &batch);

    hostlink::Link &link_;
    std::vector<hostlink::detail::Exchange> single_; // the single calls, one wait each
    std::vector<uint32_t> toClose_;
    long rounds_ = 0;
};

} // namespace hostsh
