#include <hostlink/batch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "client/callnumbers.h"

namespace hostlink {

using Kind = LinkError::Kind;

namespace detail {

struct Slot {
    int call = 0;
    Decoder decode;
    SubmitOptions options;
    size_t cost = 0; // counted against the cap while in flight
    bool done = false;
    Result result;
    std::exception_ptr failure;
};

} // namespace detail

namespace {

constexpr size_t kSmallReply = 64;
constexpr size_t kFlushBytes = 32 * 1024;  // unsent requests beyond this go out at once
constexpr size_t kInBuffer = 128 * 1024;
constexpr size_t kDirectTail = 16 * 1024; // a tail this long is read straight into its buffer

// The result word, with the local errno when it is the failure value.
void fillResult(const Reply &r, Result &res, int32_t failure = -1)
{
    res.value = r.word(1);
    if (res.value == failure || (failure < 0 && res.value < 0))
        res.error = localErrno(r.word(2));
}

void simpleDecoder(const Reply &r, Result &res) { fillResult(r, res); }

void statusDecoder(const Reply &r, Result &res)
{
    fillResult(r, res);
    if (res.value >= 0)
        decodeStatus(r, 3, &res.status);
}

void idDecoder(const Reply &r, Result &res) { res.value = r.word(1); }

// A pending result for a request that was refused before it was sent.
Decoder refused(int error)
{
    return [error](const Reply &, Result &res) {
        res.value = -1;
        res.error = error;
    };
}

} // namespace

// The reply being taken in, and the bytes read ahead of it.
struct Batch::Incoming {
    std::string buf = std::string(kInBuffer, '\0');
    size_t pos = 0, end = 0; // unparsed bytes: buf[pos, end)
    enum { Header, Head, Tail, Drop } phase = Header;
    Reply reply;
    size_t headWant = 0, tailWant = 0, tailGot = 0, dropLeft = 0;
};

bool Pending::ready() const { return slot_ && slot_->done; }

const Result &Pending::get()
{
    if (!slot_)
        throw LinkError(Kind::Io, "no request behind this result");
    if (!slot_->done)
        batch_->waitFor(slot_.get());
    if (slot_->failure)
        std::rethrow_exception(slot_->failure);
    return slot_->result;
}

int32_t Pending::value()
{
    const Result &r = get();
    if (r.error)
        errno = r.error;
    return r.value;
}

Batch::Batch(Link &link, size_t maxInFlight) : link_(link), maxInFlight_(maxInFlight), in_(new Incoming)
{
    in_->reply.swapped = link.swapped();
}

Batch::~Batch()
{
    if (queue_.empty() || failure_)
        return;
    // Abandoned with requests in flight (an exception is on its way, or the caller left early):
    // the memory their replies were to fill, and whatever their decoders and callbacks refer
    // to, may be gone. Their results fail; their replies are still taken in, to keep the link
    // in step, but dropped.
    auto abandoned = std::make_exception_ptr(LinkError(Kind::Io, "the batch was abandoned before this reply"));
    for (auto &slot : queue_) {
        slot->options.into = nullptr;
        slot->options.intoSize = 0;
        slot->options.onDone = nullptr;
        slot->decode = [](const Reply &, Result &) {};
        slot->failure = abandoned;
    }
    Incoming &in = *in_;
    if (in.phase == Incoming::Tail) { // the reply being read: the rest of its data is dropped
        in.dropLeft += in.tailWant - in.tailGot;
        in.tailWant = in.tailGot;
    }
    try {
        drain();
    } catch (const LinkError &) {
        // Whoever wanted these results has had the chance to see the fault.
    }
}

void Batch::fail(std::exception_ptr failure)
{
    failure_ = failure;
    for (auto &slot : queue_) {
        slot->failure = failure;
        slot->done = true;
    }
    queue_.clear();
    out_.clear();
    outSent_ = 0;
    inFlightBytes_ = 0;
}

Pending Batch::submit(const Request &req, Decoder decode, SubmitOptions options)
{
    if (failure_)
        std::rethrow_exception(failure_);
    if (options.barrier) {
        drain();
        Pending p = enqueue(req, std::move(decode), std::move(options));
        waitFor(p.slot_.get());
        return p;
    }
    return enqueue(req, std::move(decode), std::move(options));
}

Pending Batch::enqueue(const Request &req, Decoder decode, SubmitOptions options)
{
    auto slot = std::make_shared<detail::Slot>();
    slot->call = req.call();
    slot->decode = std::move(decode);
    size_t reply = options.expectedReply ? options.expectedReply
                   : options.into      ? 12 + options.intoSize
                                       : kSmallReply;
    slot->cost = req.size() + reply;
    slot->options = std::move(options);
    if (!slot->options.into)
        slot->options.head = kMaxMessage;
    // Room under the cap first: replies are taken in (and requests sent) until it fits.
    while (!queue_.empty() && inFlightBytes_ + slot->cost > maxInFlight_ && !failure_)
        pump(true);
    if (failure_)
        std::rethrow_exception(failure_);
    encodeRequest(req, link_.swapped(), &out_);
    inFlightBytes_ += slot->cost;
    if (queue_.empty())
        frontSince_ = std::chrono::steady_clock::now();
    queue_.push_back(slot);
    if (out_.size() - outSent_ >= kFlushBytes || slot->options.barrier)
        pump(false);
    return Pending(this, std::move(slot));
}

void Batch::waitFor(const detail::Slot *slot)
{
    while (!slot->done && !failure_)
        pump(true);
}

void Batch::drain()
{
    while (!queue_.empty() && !failure_)
        pump(true);
    if (failure_)
        std::rethrow_exception(failure_);
}

void Batch::flush()
{
    if (failure_)
        std::rethrow_exception(failure_);
    pump(false);
    while (outSent_ < out_.size() && !failure_)
        pump(true);
    if (failure_)
        std::rethrow_exception(failure_);
}

void Batch::pump(bool block)
{
    try {
        bool progressed = sendSome();
        progressed = receiveSome() || progressed;
        if (progressed || !block)
            return;
        struct pollfd p = {link_.fd(), 0, 0};
        if (outSent_ < out_.size())
            p.events |= POLLOUT;
        if (!queue_.empty())
            p.events |= POLLIN;
        if (!p.events)
            return;
        // The wait ends at the earlier of the batch's deadline and the link's timeout for the
        // reply in front, counted from when it began to be awaited.
        using Clock = std::chrono::steady_clock;
        auto now = Clock::now();
        if (frontSince_ == Clock::time_point{})
            frontSince_ = now;
        Clock::time_point end{};
        double t = link_.timeout();
        if (t > 0)
            end = frontSince_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t));
        if (deadline_ != Clock::time_point{} && (end == Clock::time_point{} || deadline_ < end))
            end = deadline_;
        int ms = -1;
        if (end != Clock::time_point{}) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
            if (left <= 0)
                throw LinkError(Kind::TimedOut, end == deadline_ ? "the call ran past its time limit"
                                                                 : "timed out waiting for the agent");
            ms = static_cast<int>(std::min<long long>(left + 1, 1 << 30));
        }
        int r = poll(&p, 1, ms);
        if (r == 0)
            throw LinkError(Kind::TimedOut, end == deadline_ ? "the call ran past its time limit"
                                                             : "timed out waiting for the agent");
        if (r < 0 && errno != EINTR)
            throw LinkError(Kind::Io, std::string("poll: ") + strerror(errno));
    } catch (const LinkError &) {
        fail(std::current_exception());
    }
}

bool Batch::sendSome()
{
    bool progressed = false;
    while (outSent_ < out_.size()) {
        ssize_t r = ::send(link_.fd(), out_.data() + outSent_, out_.size() - outSent_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EPIPE || errno == ECONNRESET)
                throw LinkError(Kind::Closed, "connection closed by the agent");
            throw LinkError(Kind::Io, std::string("write to agent: ") + strerror(errno));
        }
        outSent_ += static_cast<size_t>(r);
        progressed = true;
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
    return progressed;
}

bool Batch::receiveSome()
{
    Incoming &in = *in_;
    bool progressed = false;
    while (!queue_.empty()) {
        // Parse what has been read ahead.
        while (in.pos < in.end && !queue_.empty()) {
            detail::Slot &slot = *queue_.front();
            size_t avail = in.end - in.pos;
            const char *p = in.buf.data() + in.pos;
            if (in.phase == Incoming::Header) {
                size_t have = in.reply.raw.size();
                size_t n = std::min(avail, 4 - have);
                in.reply.raw.append(p, n);
                in.pos += n;
                if (in.reply.raw.size() < 4)
                    continue;
                int len = in.reply.length();
                if (len < 4 || len > kMaxMessage)
                    throw LinkError(Kind::Malformed, "malformed reply: length " + std::to_string(len));
                if (in.reply.raw[3] != 0)
                    throw LinkError(Kind::Malformed, "malformed reply: header byte 3 is not zero");
                if (in.reply.call() != slot.call)
                    throw LinkError(Kind::Malformed, "reply to call " + std::to_string(in.reply.call()) +
                                                         " where call " + std::to_string(slot.call) + " was asked");
                size_t total = static_cast<size_t>(len);
                in.headWant = std::min(total, static_cast<size_t>(std::max(slot.options.head, 4)));
                size_t rest = total - in.headWant;
                in.tailWant = std::min(rest, slot.options.into ? slot.options.intoSize : 0);
                in.tailGot = 0;
                in.dropLeft = rest - in.tailWant;
                in.phase = Incoming::Head;
            } else if (in.phase == Incoming::Head) {
                size_t n = std::min(avail, in.headWant - in.reply.raw.size());
                in.reply.raw.append(p, n);
                in.pos += n;
            } else if (in.phase == Incoming::Tail) {
                size_t n = std::min(avail, in.tailWant - in.tailGot);
                memcpy(slot.options.into + in.tailGot, p, n);
                in.tailGot += n;
                in.pos += n;
            } else {
                size_t n = std::min(avail, in.dropLeft);
                in.dropLeft -= n;
                in.pos += n;
            }
            // Move through the phases that are complete.
            if (in.phase == Incoming::Head && in.reply.raw.size() == in.headWant)
                in.phase = Incoming::Tail;
            if (in.phase == Incoming::Tail && in.tailGot == in.tailWant)
                in.phase = Incoming::Drop;
            if (in.phase == Incoming::Drop && in.dropLeft == 0) {
                finishFront();
                progressed = true;
            }
        }
        if (queue_.empty())
            break;
        if (in.pos == in.end)
            in.pos = in.end = 0;
        // Read more: a long tail straight into its buffer, anything else into the read-ahead.
        detail::Slot &slot = *queue_.front();
        char *target;
        size_t room;
        bool direct = in.phase == Incoming::Tail && in.pos == in.end && in.tailWant - in.tailGot >= kDirectTail;
        if (direct) {
            target = slot.options.into + in.tailGot;
            room = in.tailWant - in.tailGot;
        } else {
            if (in.end == in.buf.size()) // only when parsing is stuck, which it never is
                break;
            target = in.buf.data() + in.end;
            room = in.buf.size() - in.end;
        }
        ssize_t r = ::recv(link_.fd(), target, room, MSG_DONTWAIT);
        if (r == 0) {
            bool atBoundary = in.phase == Incoming::Header && in.reply.raw.empty();
            throw LinkError(Kind::Closed, atBoundary ? "connection closed by the agent" : "connection closed inside a reply");
        }
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == ECONNRESET)
                throw LinkError(Kind::Closed, "connection reset by the agent");
            throw LinkError(Kind::Io, std::string("read from agent: ") + strerror(errno));
        }
        progressed = true;
        if (direct) {
            in.tailGot += static_cast<size_t>(r);
            if (in.tailGot == in.tailWant) {
                in.phase = Incoming::Drop;
                if (in.dropLeft == 0)
                    finishFront();
            }
        } else
            in.end += static_cast<size_t>(r);
    }
    return progressed;
}

void Batch::setDeadline(double seconds)
{
    deadline_ = seconds > 0 ? std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(seconds))
                            : std::chrono::steady_clock::time_point{};
}

void Batch::finishFront()
{
    std::shared_ptr<detail::Slot> slot = std::move(queue_.front());
    queue_.pop_front();
    frontSince_ = std::chrono::steady_clock::now();
    inFlightBytes_ -= slot->cost;
    Incoming &in = *in_;
    slot->result.bytes = in.tailGot;
    try {
        if (!slot->failure)
            slot->decode(in.reply, slot->result);
    } catch (const LinkError &) {
        slot->failure = std::current_exception();
    }
    slot->done = true;
    in.reply.raw.clear();
    in.phase = Incoming::Header;
    if (slot->options.onDone && !slot->failure)
        slot->options.onDone(slot->result);
}

// ---- Typed requests ----

namespace {

Decoder pathCheck(std::string_view path, size_t room)
{
    if (detail::fits(path, room))
        return nullptr;
    return refused(errno);
}

} // namespace

// A request refused before sending still takes its place in the order: it is answered at once.
#define HOSTLINK_REFUSE_UNLESS_FITS(path, room)                                                                        \
    if (Decoder no = pathCheck(path, room)) {                                                                          \
        auto slot = std::make_shared<detail::Slot>();                                                                  \
        no(Reply{}, slot->result);                                                                                     \
        slot->done = true;                                                                                             \
        return Pending(this, std::move(slot));                                                                         \
    }

constexpr size_t kPathRoom = kMaxMessage - 12;

Pending Batch::open(std::string_view path, int32_t flags, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(Request(kCallOpen).word(flags).word(mode).str(path), simpleDecoder);
}

Pending Batch::read(int32_t fd, void *buffer, size_t count, bool mayBlock)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    SubmitOptions o;
    o.barrier = mayBlock;
    o.into = static_cast<char *>(buffer);
    o.intoSize = static_cast<size_t>(n);
    o.head = 12;
    return submit(Request(kCallRead).word(fd).word(n),
                  [n](const Reply &r, Result &res) {
                      fillResult(r, res);
                      if (res.value >= 0 && (res.value > n || static_cast<size_t>(res.value) > res.bytes))
                          throw LinkError(Kind::Malformed, "read reply carries fewer bytes than it claims");
                  },
                  std::move(o));
}

Pending Batch::write(int32_t fd, const void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(kCallWrite);
    req.word(fd).word(n).borrow(std::string_view(static_cast<const char *>(buffer), static_cast<size_t>(n)));
    return submit(req, simpleDecoder); // encoded (copied) at once
}

Pending Batch::lseek(int32_t fd, int32_t offset, int32_t whence)
{
    return submit(Request(kCallLseek).word(fd).word(offset).word(whence), simpleDecoder);
}
Pending Batch::close(int32_t fd) { return submit(Request(kCallClose).word(fd), simpleDecoder); }

Pending Batch::opendir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallOpendir, path), [](const Reply &r, Result &res) { fillResult(r, res, 0); });
}

Pending Batch::readdir(uint32_t handle)
{
    return submit(Request(kCallReaddir).word(static_cast<int32_t>(handle)), [](const Reply &r, Result &res) {
        int saved = errno;
        res.value = decodeReaddir(r, &res.text);
        if (res.value < 0)
            res.error = errno;
        errno = saved;
    });
}

Pending Batch::rewinddir(uint32_t handle)
{
    return submit(Request(kCallRewinddir).word(static_cast<int32_t>(handle)),
                  [](const Reply &, Result &res) { res.value = 0; });
}
Pending Batch::closedir(uint32_t handle)
{
    return submit(Request(kCallClosedir).word(static_cast<int32_t>(handle)), simpleDecoder);
}

Pending Batch::access(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallAccess, mode, path), simpleDecoder);
}
Pending Batch::stat(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallStat, path), statusDecoder);
}
Pending Batch::lstat(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallLstat, path), statusDecoder);
}
Pending Batch::fstat(int32_t fd) { return submit(Request(kCallFstat).word(fd), statusDecoder); }

Pending Batch::link(std::string_view existing, std::string_view newpath)
{
    HOSTLINK_REFUSE_UNLESS_FITS(existing, kPathRoom / 2)
    HOSTLINK_REFUSE_UNLESS_FITS(newpath, kPathRoom / 2)
    return submit(detail::twoPathRequest(kCallLink, existing, newpath), simpleDecoder);
}
Pending Batch::symlink(std::string_view text, std::string_view newpath)
{
    HOSTLINK_REFUSE_UNLESS_FITS(text, kPathRoom / 2)
    HOSTLINK_REFUSE_UNLESS_FITS(newpath, kPathRoom / 2)
    return submit(detail::twoPathRequest(kCallSymlink, text, newpath), simpleDecoder);
}
Pending Batch::unlink(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallUnlink, path), simpleDecoder);
}
Pending Batch::mkdir(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallMkdir, mode, path), simpleDecoder);
}
Pending Batch::rmdir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallRmdir, path), simpleDecoder);
}
Pending Batch::chmod(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallChmod, mode, path), simpleDecoder);
}
Pending Batch::chdir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallChdir, path), simpleDecoder);
}

Pending Batch::getcwd()
{
    return submit(Request(kCallGetcwd), [](const Reply &r, Result &res) {
        fillResult(r, res, 0);
        if (res.value != 0) {
            res.text = decodeString(r, 12);
            res.value = 0;
        } else
            res.value = -1;
    });
}

Pending Batch::readlink(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, 1024)
    return submit(detail::pathRequest(kCallReadlink, path), [](const Reply &r, Result &res) {
        int saved = errno;
        res.value = decodeReadlink(r, &res.text);
        if (res.value < 0)
            res.error = errno;
        errno = saved;
    });
}

Pending Batch::getuid() { return submit(Request(kCallGetuid), idDecoder); }
Pending Batch::getgid() { return submit(Request(kCallGetgid), idDecoder); }
Pending Batch::geteuid() { return submit(Request(kCallGeteuid), idDecoder); }
Pending Batch::getegid() { return submit(Request(kCallGetegid), idDecoder); }
Pending Batch::getpid() { return submit(Request(kCallGetpid), simpleDecoder); }
Pending Batch::getppid() { return submit(Request(kCallGetppid), simpleDecoder); }
Pending Batch::getpgrp() { return submit(Request(kCallGetpgrp), simpleDecoder); }
Pending Batch::setpgid(int32_t pid, int32_t group)
{
    return submit(Request(kCallSetpgid).word(pid).word(group), simpleDecoder);
}
Pending Batch::setsid() { return submit(Request(kCallSetsid), simpleDecoder); }
Pending Batch::dup2(int32_t from, int32_t to) { return submit(Request(kCallDup2).word(from).word(to), simpleDecoder); }
Pending Batch::peerpipe(int port) { return submit(Request(kCallPeerpipe).word(port), simpleDecoder); }

namespace {
SubmitOptions barrier()
{
    SubmitOptions o;
    o.barrier = true;
    return o;
}
} // namespace

#define HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(first, a, b, room)                                                          \
    if (!detail::fitsAll(first, a, b, room)) {                                                                         \
        auto slot = std::make_shared<detail::Slot>();                                                                  \
        refused(errno)(Reply{}, slot->result);                                                                         \
        slot->done = true;                                                                                             \
        return Pending(this, std::move(slot));                                                                         \
    }

Pending Batch::fork() { return submit(Request(kCallFork), simpleDecoder, barrier()); }

Pending Batch::execve(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(path, argv, env, kMaxMessage - 12)
    return submit(detail::vectorRequest(kCallExecve, path, argv, &env), simpleDecoder, barrier());
}

Pending Batch::execvp(const std::string &name, const std::vector<std::string> &argv)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(name, argv, {}, kMaxMessage - 8)
    return submit(detail::vectorRequest(kCallExecvp, name, argv, nullptr), simpleDecoder, barrier());
}

Pending Batch::_exit(int32_t status)
{
    return submit(Request(kCallExit).word(status),
                  [](const Reply &r, Result &res) {
                      if (r.length() != 4)
                          throw LinkError(Kind::Malformed, "_exit reply is not the header alone");
                      res.value = 0;
                  },
                  barrier());
}

Pending Batch::forkNExec(const std::string &path, const std::vector<std::string> &argv)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(path, argv, {}, kMaxMessage - 8)
    return submit(detail::vectorRequest(kCallForkNExec, path, argv, nullptr), simpleDecoder, barrier());
}

} // namespace hostlink
