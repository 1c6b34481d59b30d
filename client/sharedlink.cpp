#include <hostlink/shared.h>

#include <algorithm>
#include <poll.h>
#include <sys/socket.h>

namespace hostlink {

namespace {
constexpr size_t kSmallReply = 64;
}

SharedLink::SharedLink(Link link, size_t maxInFlight) : link_(std::move(link)), maxInFlight_(maxInFlight) {}

void SharedLink::fail(std::exception_ptr e)
{
    if (!failure_)
        failure_ = e;
    awaited_.clear();
    inFlight_ = 0;
    for (Waiter *w : waiters_)
        w->cv.notify_one();
    cv_.notify_all();
}

void SharedLink::wakeAnswered()
{
    for (Waiter *w : waiters_)
        if (w->ticket <= received_)
            w->cv.notify_one();
}

void SharedLink::handOver()
{
    Waiter *next = nullptr;
    for (Waiter *w : waiters_)
        if (w->ticket > received_ && (!next || w->ticket < next->ticket))
            next = w;
    if (next)
        next->cv.notify_one();
    cv_.notify_all();
}

void SharedLink::pump(std::unique_lock<std::mutex> &lock, Ticket ticket)
{
    while (received_ < ticket && !failure_) {
        if (reading_) {
            Waiter self{ticket, {}};
            waiters_.push_back(&self);
            self.cv.wait(lock);
            waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
            continue;
        }
        // This thread reads, for everyone, until its own reply is in; then the waiter of the
        // earliest reply still to come takes over.
        reading_ = true;
        while (received_ < ticket && !failure_) {
            if (awaited_.empty()) {
                fail(std::make_exception_ptr(LinkError(LinkError::Kind::Malformed, "a reply awaited that was never asked for")));
                break;
            }
            Awaited a = std::move(awaited_.front());
            awaited_.pop_front();
            lock.unlock();
            std::exception_ptr error;
            try {
                Reply own;
                Reply &r = a.expect.reply ? *a.expect.reply : own;
                size_t placed = link_.receive(r, a.expect.head, a.expect.tail, a.expect.tailSize);
                if (a.expect.placed)
                    *a.expect.placed = placed;
                if (a.expect.onDone)
                    a.expect.onDone(r);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error) {
                fail(error);
            } else {
                received_ = a.ticket;
                inFlight_ -= std::min(inFlight_, a.cost);
                wakeAnswered();
            }
        }
        reading_ = false;
        handOver();
    }
    if (received_ < ticket) {
        cv_.wait(lock, [&] { return !reading_; }); // a reader of the broken link lets go first
        std::rethrow_exception(failure_);
    }
}

void SharedLink::settle()
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return !reading_; });
}

void SharedLink::abandon(std::exception_ptr why)
{
    breakWith(why);
    settle();
}

SharedLink::Ticket SharedLink::send(const Request &req, Expect expect)
{
    std::lock_guard<std::mutex> sending(sendMu_);
    return sendHeld(req, std::move(expect));
}

SharedLink::Ticket SharedLink::sendHeld(const Request &req, Expect expect)
{
    Ticket ticket;
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (failure_)
            std::rethrow_exception(failure_);
        size_t cost = req.size() + (expect.expectedSize ? expect.expectedSize : kSmallReply);
        while (inFlight_ > 0 && inFlight_ + cost > maxInFlight_)
            pump(lock, received_ + 1);
        ticket = ++sent_;
        awaited_.push_back({ticket, std::move(expect), cost});
        inFlight_ += cost;
    }
    try {
        link_.send(req);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mu_);
        fail(std::current_exception());
        throw;
    }
    return ticket;
}

void SharedLink::wait(Ticket ticket)
{
    std::unique_lock<std::mutex> lock(mu_);
    pump(lock, ticket);
}

bool SharedLink::done(Ticket ticket)
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_ >= ticket;
}

Reply SharedLink::call(const Request &req)
{
    Reply r;
    Expect e;
    e.reply = &r;
    wait(send(req, std::move(e)));
    return r;
}

std::exception_ptr SharedLink::failure()
{
    std::lock_guard<std::mutex> lock(mu_);
    return failure_;
}

void SharedLink::breakWith(std::exception_ptr e)
{
    std::lock_guard<std::mutex> lock(mu_);
    fail(e);
    // A thread blocked reading the old connection wakes with its end.
    if (link_.isOpen())
        ::shutdown(link_.fd(), SHUT_RDWR);
}

void SharedLink::reset(Link link)
{
    std::lock_guard<std::mutex> sending(sendMu_);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return !reading_; });
    link_ = std::move(link);
    failure_ = nullptr;
    awaited_.clear();
    inFlight_ = 0;
    received_ = sent_;
    wakeAnswered();
}

bool SharedLink::idleButGone()
{
    std::unique_lock<std::mutex> sending(sendMu_, std::try_to_lock);
    if (!sending.owns_lock())
        return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (reading_ || !awaited_.empty() || failure_ || !link_.isOpen())
        return false;
    struct pollfd p = {link_.fd(), POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

SharedLink::Hold::Hold(SharedLink &s) : s_(s), send_(s.sendMu_)
{
    std::unique_lock<std::mutex> lock(s_.mu_);
    if (s_.failure_)
        std::rethrow_exception(s_.failure_);
    s_.pump(lock, s_.sent_);
    s_.reading_ = true;
}

SharedLink::Hold::~Hold()
{
    std::lock_guard<std::mutex> lock(s_.mu_);
    s_.reading_ = false;
    s_.handOver();
}

void SharedLink::Hold::broke(std::exception_ptr e)
{
    std::lock_guard<std::mutex> lock(s_.mu_);
    s_.fail(e);
}

} // namespace hostlink
