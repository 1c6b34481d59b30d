// One link shared by many threads, each with requests in flight at the same time.
//
// The agent answers strictly in the order of the requests, so a SharedLink numbers every request
// as it goes out (its ticket) and hands every reply to the request of the same number. Any thread
// may send at any time; whichever thread waits for a reply that has not come yet reads the next
// reply off the connection, whoever it belongs to, and puts it where its request said. Threads
// therefore overlap their round trips: eight readers have eight requests on the wire at once.
//
// Calls that hand the connection over (fork, execve, _exit, forkNExec, and so runProgram) and
// anything else that must have the link alone go through exclusive(): it stops new sends, waits
// for every reply in flight, and runs its function with the Link itself.
//
// A fault of the connection (closed, timed out, a reply that does not fit) breaks the shared
// link: every waiting and later call raises the same LinkError until reset() gives it a new link.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include <hostlink/link.h>

namespace hostlink {

// Where a reply goes and what is done with it once it is in.
struct Expect {
    Reply *reply = nullptr; // the reply's first head bytes (the whole reply with the default head)
    int head = kMaxMessage;
    char *tail = nullptr; // bytes beyond head go straight here, up to tailSize
    size_t tailSize = 0;
    size_t *placed = nullptr; // how many went to tail
    // Runs on the thread that read the reply, in reply order, before later replies are read. It
    // must not use the shared link. An exception it raises breaks the link.
    std::function<void(const Reply &)> onDone;
    // Bytes the reply takes (0: small), counted against the link's cap while it is in flight.
    size_t expectedSize = 0;
};

class SharedLink {
public:
    using Ticket = uint64_t;

    // maxInFlight caps the bytes of requests in flight plus the replies they await; a sender over
    // the cap first collects replies. At least one request is always let through.
    explicit SharedLink(Link link, size_t maxInFlight = 2u << 20);
    SharedLink(const SharedLink &) = delete;
    SharedLink &operator=(const SharedLink &) = delete;

    // Sends req; its reply goes as expect says. Raises the LinkError that broke the link.
    Ticket send(const Request &req, Expect expect = {});
    // Waits until the reply of ticket (and so of every earlier ticket) is in.
    void wait(Ticket ticket);
    // True once ticket's reply is in; never waits.
    bool done(Ticket ticket);
    // Sends and waits: the whole reply.
    Reply call(const Request &req);
    // Runs f(send), where send(req, expect) sends like send() and returns the ticket: the requests
    // f sends follow one another on the wire with no other thread's between them, for a request
    // that refers to the one before it (preadlast behind its openread).
    template <class F> void together(F &&f)
    {
        std::lock_guard<std::mutex> sending(sendMu_);
        f([this](const Request &req, Expect expect) { return sendHeld(req, std::move(expect)); });
    }

    // Runs f(link) with the link to itself: no other request is in flight meanwhile.
    template <class F> auto exclusive(F &&f) -> decltype(f(std::declval<Link &>()))
    {
        Hold hold(*this);
        try {
            return f(link_);
        } catch (const LinkError &) {
            hold.broke(std::current_exception());
            throw;
        }
    }

    // The error that broke the link, or null.
    std::exception_ptr failure();
    bool broken() { return failure() != nullptr; }
    // Marks the link broken with e (a failure seen outside it, such as a watchdog's).
    void breakWith(std::exception_ptr e);
    // Waits until no thread is reading a reply: after a break, nothing more is written into the
    // memory that requests in flight named.
    void settle();
    // For a caller that leaves by an exception while requests it sent still name its memory:
    // the link is broken with why (unless it already is), and once this returns nothing more is
    // written into that memory.
    void abandon(std::exception_ptr why);
    // Puts a new link in place of a broken one (after a reconnect); the old one is closed.
    void reset(Link link);
    // True when nothing is in flight and the agent has closed the connection or sent something
    // unasked; never waits. (The agent sends nothing unasked: bytes there mean it is gone.)
    bool idleButGone();
    int fd() const { return link_.fd(); }
    bool swapped() const { return link_.swapped(); }

private:
    class Hold {
    public:
        explicit Hold(SharedLink &s);
        ~Hold();
        void broke(std::exception_ptr e);

    private:
        SharedLink &s_;
        std::unique_lock<std::mutex> send_;
    };
    struct Awaited {
        Ticket ticket;
        Expect expect;
        size_t cost;
    };
    // A thread waiting for its reply while another reads: woken alone, when its reply is in or
    // when it is to read on, so that a reply wakes no thread it does not concern.
    struct Waiter {
        Ticket ticket;
        std::condition_variable cv;
    };
    // Reads replies (or waits for another thread to) until ticket's is in; lock holds mu_.
    void pump(std::unique_lock<std::mutex> &lock, Ticket ticket);
    void fail(std::exception_ptr e); // mu_ held
    void wakeAnswered();             // mu_ held: the waiters whose replies are in
    void handOver();                 // mu_ held, nobody reading: the next reader, and settle()
    Ticket sendHeld(const Request &req, Expect expect); // sendMu_ held

    Link link_;
    size_t maxInFlight_;
    std::mutex sendMu_; // one sender at a time, so that tickets follow the wire's order
    std::mutex mu_;     // everything below
    std::condition_variable cv_; // nobody reads any more (settle, reset, exclusive, a failure)
    std::vector<Waiter *> waiters_;
    std::deque<Awaited> awaited_;
    Ticket sent_ = 0;
    Ticket received_ = 0;
    size_t inFlight_ = 0;
    bool reading_ = false;
    std::exception_ptr failure_;
};

} // namespace hostlink
