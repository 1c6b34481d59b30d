// Pipelined batches: many requests in flight on one link, their results collected in order.
//
// Replies carry no tag: the agent answers strictly in the order of the requests, so a batch is
// a FIFO. Submitting a request encodes it and sends what the connection takes without waiting;
// Pending::get() waits for that request's reply (and so for every reply before it). Sending and
// receiving are interleaved with poll on both directions, so a batch of large writes and large
// reads never blocks both ends in write; the bytes in flight (requests not yet answered plus
// the replies they await) are kept under a cap, beyond which a submit first collects replies.
//
// Barriers: the calls that hand the connection over (fork, execve, execvp, _exit, forkNExec)
// and reads that may block on the host (a pipe) are sent only once every earlier reply is in,
// and nothing is sent after them until their own reply is in.
//
// Failures: a call that fails on the host gives its Result a failure value and a local errno.
// A fault of the connection (closed, timed out, a reply that does not fit its request) breaks
// the batch: every pending result fails with the same LinkError, which get() raises, and every
// later submit raises it as well.
//
// While a batch has requests in flight, use its link only through the batch. A batch, like its
// link, is used by one thread at a time; a Pending must not outlive its batch.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/link.h>

namespace hostlink {

// The outcome of one request of a batch.
struct Result {
    int32_t value = 0; // the call's C-like result (readdir: 1 entry, 0 end, -1 error)
    int error = 0;     // this machine's errno value when value is the failure value, else 0
    std::string text;  // readdir: the name; getcwd: the path; readlink: the link text
    FileStatus status; // stat, lstat, fstat
    size_t bytes = 0;  // read: the bytes placed in the caller's buffer
    bool ok() const { return error == 0; }
};

class Batch;

namespace detail {
struct Slot;
}

// The handle of one submitted request.
class Pending {
public:
    Pending() = default;
    // True once the reply has been taken in (or the batch has broken).
    bool ready() const;
    // Waits for the reply; raises the LinkError that broke the batch.
    const Result &get();
    // get().value, with errno set to get().error when that is not 0.
    int32_t value();

private:
    friend class Batch;
    Pending(Batch *batch, std::shared_ptr<detail::Slot> slot) : batch_(batch), slot_(std::move(slot)) {}
    Batch *batch_ = nullptr;
    std::shared_ptr<detail::Slot> slot_;
};

// Turns a reply into a result. The batch has checked that the reply carries the request's
// call number. A LinkError raised here fails this result only.
using Decoder = std::function<void(const Reply &reply, Result &result)>;

struct SubmitOptions {
    // Sent alone: after every earlier reply is in; nothing is sent after it until its reply.
    bool barrier = false;
    // The reply's bytes beyond its first head bytes go straight here, up to intoSize (a read's
    // data); result.bytes says how many. The buffer must stay valid until the result is in.
    char *into = nullptr;
    size_t intoSize = 0;
    int head = 12;
    // The reply size to count against the cap (0: small, or 12 + intoSize with into).
    size_t expectedReply = 0;
    // Called with the result as soon as it is in, in order, before any later result.
    std::function<void(const Result &)> onDone;
};

class Batch {
public:
    // maxInFlight caps the bytes of requests in flight plus the replies they await; at least
    // one request is always let through.
    explicit Batch(Link &link, size_t maxInFlight = kDefaultInFlight);
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    // Collects what is still in flight; a fault then is swallowed (see drain).
    ~Batch();

    static constexpr size_t kDefaultInFlight = 2u << 20;

    // The generic entry point: any request, decoded by decode (extension calls build theirs
    // with decodeResult and friends).
    Pending submit(const Request &req, Decoder decode, SubmitOptions options = {});

    // Typed requests; the result's value, error and fields as the typed call of calls.h gives.
    Pending open(std::string_view path, int32_t flags, int32_t mode = 0644);
    // buffer must stay valid until the result is in. mayBlock (a pipe, a terminal): a barrier.
    Pending read(int32_t fd, void *buffer, size_t count, bool mayBlock = false);
    // The data are copied into the batch.
    Pending write(int32_t fd, const void *buffer, size_t count);
    Pending lseek(int32_t fd, int32_t offset, int32_t whence);
    Pending close(int32_t fd);
    Pending opendir(std::string_view path); // value: the handle as int32_t, 0 on failure
    Pending readdir(uint32_t handle);
    Pending rewinddir(uint32_t handle);
    Pending closedir(uint32_t handle);
    Pending access(std::string_view path, int32_t mode);
    Pending stat(std::string_view path);
    Pending lstat(std::string_view path);
    Pending fstat(int32_t fd);
    Pending link(std::string_view existing, std::string_view newpath);
    Pending symlink(std::string_view text, std::string_view newpath);
    Pending unlink(std::string_view path);
    Pending mkdir(std::string_view path, int32_t mode);
    Pending rmdir(std::string_view path);
    Pending chmod(std::string_view path, int32_t mode);
    Pending chdir(std::string_view path);
    Pending getcwd();
    Pending readlink(std::string_view path);
    Pending getenv();   // result.text: the agent's entries, each ended by a NUL; result.value: lastExtensionCall of them
    Pending getlogin(); // result.text: the login name; ENXIO when the agent has none
    Pending getuid();
    Pending getgid();
    Pending geteuid();
    Pending getegid();
    Pending getpid();
    Pending getppid();
    Pending getpgrp();
    Pending setpgid(int32_t pid, int32_t group);
    Pending setsid();
    Pending dup2(int32_t from, int32_t to);
    Pending peerpipe(int port);
    // Barriers.
    Pending fork();
    Pending execve(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &env);
    Pending execvp(const std::string &name, const std::vector<std::string> &argv);
    Pending _exit(int32_t status);
    Pending forkNExec(const std::string &path, const std::vector<std::string> &argv);

    // Waits for every result in flight; raises the LinkError that broke the batch.
    void drain();
    // Sends every request submitted so far without waiting for replies. (Small requests are
    // gathered and sent together; a wait, or enough of them, sends them anyway.)
    void flush();
    // Ends every wait of this batch at seconds from now (0: no end beyond the link's timeout):
    // a wait past it breaks the batch with LinkError of kind TimedOut. The link's timeout
    // itself bounds the wait for each whole reply, not for each read, so an agent that trickles
    // a byte at a time cannot stretch a reply beyond it.
    void setDeadline(double seconds);
    size_t inFlight() const { return inFlightBytes_; }
    size_t pending() const { return queue_.size(); }
    bool broken() const { return failure_ != nullptr; }
    Link &link() { return link_; }

private:
    friend class Pending;
    struct Incoming;
    void waitFor(const detail::Slot *slot);
    void pump(bool block);
    void fail(std::exception_ptr failure);
    bool sendSome();
    bool receiveSome();
    void finishFront();
    Pending enqueue(const Request &req, Decoder decode, SubmitOptions options);

    Link &link_;
    size_t maxInFlight_;
    size_t inFlightBytes_ = 0;
    std::string out_;       // encoded requests not yet sent
    size_t outSent_ = 0;    // bytes of out_ already sent
    std::deque<std::shared_ptr<detail::Slot>> queue_; // submitted, not yet answered
    std::exception_ptr failure_;
    std::unique_ptr<Incoming> in_;
    std::chrono::steady_clock::time_point deadline_{};  // of the whole batch (epoch: none)
    std::chrono::steady_clock::time_point frontSince_{}; // when the reply in front began to be awaited
};

} // namespace hostlink
