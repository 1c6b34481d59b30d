// Pipelined work on the host: many requests go out before their replies are read, so that a
// listing, a glob, a tree walk or a whole-file transfer waits for the agent a handful of times
// instead of once per call. While a batch goes out, replies that already arrive are read into a
// buffer, so that no batch size can lock both ends on full socket buffers.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/uio.h>
#include <vector>

#include "client/files_api.h"
#include "client/hostlink.h"

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

    // Times this client has waited for replies since the last reset: one per batch, one per
    // single call made through the library.
    long waits() const;
    void resetWaits();

    // Names of a host directory in the host's order, "." and ".." left out.
    // Returns -1 with errno when the directory cannot be opened.
    int listNames(const std::string &path, std::vector<std::string> *names);
    // stat (follow) or lstat of every path, in one pass.
    std::vector<StatResult> statMany(const std::vector<std::string> &paths, bool follow);
    // readlink of every path; nullopt where it failed.
    std::vector<std::optional<std::string>> readlinkMany(const std::vector<std::string> &paths);
    // mkdir of every path in order (parents first); the errno of each, 0 for success.
    std::vector<int> mkdirMany(const std::vector<std::string> &paths, int32_t mode);
    // symlink(text, path) for each pair; the errno of each, 0 for success.
    std::vector<int> symlinkMany(const std::vector<std::pair<std::string, std::string>> &links);

    // Sends what is queued and reads the answers nobody waits for: the link is then free for
    // calls made without this class.
    void settle();

    // The agent's user id and login name ("" when it has none), in one exchange.
    void identity(int32_t *uid, std::string *login);

    // Copies a host file into the local descriptor out. Returns 0, or -1 with errno and *where
    // saying which side failed ('r' the host, 'l' this machine); a stop asked for by progress
    // is EINTR.
    int getFile(const std::string &remote, int out, const ProgressFn &progress, char *where);
    // Copies the local descriptor in into a host file created (or truncated) with mode.
    int putFile(int in, const std::string &remote, int32_t mode, const ProgressFn &progress, char *where);

private:
    void queue(int call, std::initializer_list<int32_t> words, std::string_view strings = {});
    void queueDiscard(int call, std::initializer_list<int32_t> words);
    void flush();
    void sendAll(const struct iovec *iov, int count);
    void fill(size_t want);
    // The next reply whose answer is wanted; data beyond head bytes goes to tail (up to size).
    void receive(hostlink::Reply &r, int head = hostlink::kMaxMessage, char *tail = nullptr, size_t size = 0,
                 bool wanted = true);
    void readSocket(char *p, size_t n);

    hostlink::Link &link_;
    std::vector<hostlink::Exchange> single_; // the single calls, one wait each
    std::string batch_;                       // requests queued, not yet sent
    int discardQueued_ = 0;                   // leading replies of the batch nobody waits for
    int discardInFlight_ = 0;
    std::string in_;                          // replies read ahead while sending
    size_t inPos_ = 0;
    long batchWaits_ = 0;
    bool sending_ = false;
};

} // namespace hostsh
