#include <hostlink/batch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "client/batchslot.h"
#include "client/callnumbers.h"

namespace hostlink {

// The engine of a batch: requests out, replies in, with poll on both directions.
using Kind = LinkError::Kind;

namespace {

constexpr size_t kSmallReply = 64;
constexpr size_t kFlushBytes = 32 * 1024;  // unsent requests beyond this go out at once
constexpr size_t kInBuffer = 128 * 1024;
constexpr size_t kDirectTail = 16 * 1024; // a tail this long is read straight into its buffer

} // namespace

// The reply being taken in, and the bytes read ahead of it.
struct Batch::Incoming {
    std::string buf = std::string(kInBuffer, '\0');
    size_t pos = 0, end = 0; // unparsed bytes: buf[pos, end)
    enum { Header, Head, Tail, Drop } phase = Header;
    Reply reply;
    size_t headWant = 0, tailWant = 0, tailGot = 0, dropLeft = 0;
    // The request a caller waits for: taking in replies stops once its reply is in, so that the
    // caller can use it (and send more) before the replies behind it are read.
    const detail::Slot *awaited = nullptr;
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
    in_->awaited = slot;
    while (!slot->done && !failure_)
        pump(true);
    in_->awaited = nullptr;
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
                bool awaited = queue_.front().get() == in.awaited;
                finishFront();
                progressed = true;
                if (awaited)
                    return true;
            }
        }
        if (queue_.empty())
            break;
        if (in.pos == in.end)
            in.pos = in.end = 0;
        // Read more: a long tail straight into its buffer, anything else into the read-ahead.
        // Before a reply whose long tail has a buffer, only its head is read, so that none of
        // the tail passes through the read-ahead.
        detail::Slot &slot = *queue_.front();
        char *target;
        size_t room;
        bool longTail = slot.options.into && slot.options.intoSize >= kDirectTail;
        bool direct = in.phase == Incoming::Tail && in.pos == in.end && (longTail || in.tailWant - in.tailGot >= kDirectTail);
        if (direct) {
            target = slot.options.into + in.tailGot;
            room = in.tailWant - in.tailGot;
        } else if (longTail && in.pos == in.end && (in.phase == Incoming::Header || in.phase == Incoming::Head)) {
            size_t head = in.phase == Incoming::Head ? in.headWant : static_cast<size_t>(std::max(slot.options.head, 4));
            target = in.buf.data() + in.end;
            room = head - in.reply.raw.size();
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
                if (in.dropLeft == 0 && queue_.front().get() == in.awaited) {
                    finishFront();
                    return true;
                }
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

} // namespace hostlink
