#include "tests/lib/fake_agent.h"

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/harness.h"

namespace {

bool ReadExactly(int fd, char *p, size_t n)
{
    while (n > 0) {
        struct pollfd q = {fd, POLLIN, 0};
        if (poll(&q, 1, 10000) != 1)
            return false;
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

std::string FakeReply(int call, std::initializer_list<int32_t> words, const std::string &data)
{
    Msg m(call);
    for (int32_t w : words)
        m.w(w);
    return m.b(data).Bytes(false);
}

FakeAgent::FakeAgent(Script script) : script_(std::move(script))
{
    if ((listener_ = Listen(&port)) < 0)
        ADD_FAILURE() << "fake agent cannot listen";
    thread_ = std::thread([this] {
        int c = AcceptWithin(listener_, 10000);
        for (int n = 0; c >= 0; n++) {
            std::string req(4, '\0');
            if (!ReadExactly(c, req.data(), 4))
                break;
            uint16_t size;
            memcpy(&size, req.data(), 2);
            req.resize(size < 4 ? 4 : size);
            if (size > 4 && !ReadExactly(c, req.data() + 4, size - 4u))
                break;
            std::string out = script_(n, req);
            if (out == kClose)
                shutdown(c, SHUT_WR); // end of file after the replies sent, then read on below
            if (out == kClose || out == kSilence) {
                char sink[4096]; // read on, answering nothing, until the client gives up and closes
                struct pollfd w = {c, POLLIN, 0};
                while (poll(&w, 1, 10000) == 1 && read(c, sink, sizeof sink) > 0) {
                }
                break;
            }
            if (out.rfind(kTrickle, 0) == 0) {
                bool sent = true;
                for (size_t i = kTrickle.size(); i < out.size() && sent; i++) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    sent = send(c, out.data() + i, 1, MSG_NOSIGNAL) == 1;
                }
                if (!sent)
                    break;
                continue;
            }
            if (out.rfind(kLater, 0) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                out.erase(0, kLater.size());
            }
            if (send(c, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                break;
        }
        if (c >= 0)
            close(c);
    });
}

FakeAgent::~FakeAgent()
{
    if (thread_.joinable())
        thread_.join();
    close(listener_);
}

hostlink::Link FakeAgent::Open(double timeout)
{
    hostlink::Link link = hostlink::Link::connect("127.0.0.1", port);
    link.setTimeout(timeout);
    link.handshake(1);
    return link;
}

std::string FakeHello(const std::string &request)
{
    uint32_t nonce;
    memcpy(&nonce, request.data() + 12, 4);
    return FakeReply(0, {static_cast<int32_t>(hostlink::kMagic), 1, static_cast<int32_t>(nonce + 1)});
}
