// The limit the agent is measured against: a raw loopback server that answers each message
// with one of the length the message asks for, and the client side of it, replaying the sizes of
// the exchanges an agent's run made.
#pragma once
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <hostlink/detail.h>
#include <hostlink/link.h>

#include "loopnet.h"

namespace rawbench {

inline bool ReadFull(int fd, char *p, size_t n)
{
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline bool WriteFull(int fd, const char *p, size_t n)
{
    while (n) {
        ssize_t r = write(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The raw server, in a process of its own as the agent is. Its messages carry the request's
// length in bytes 0-1 and the wanted reply length in bytes 2-3, both in this machine's order.
struct RawServer {
    using Exchange = hostlink::detail::Exchange;

    pid_t pid = -1;
    int fd = -1;

    bool Start()
    {
        int port = 0;
        int listener = loopnet::Listen(0, 1, &port);
        if (listener < 0)
            return false;
        pid = fork();
        if (pid == 0) {
            int c = accept(listener, nullptr, nullptr);
            loopnet::NoDelay(c);
            static char in[hostlink::kMaxMessage], out[hostlink::kMaxMessage];
            while (ReadFull(c, in, 4)) {
                uint16_t length, replyLength;
                memcpy(&length, in, 2);
                memcpy(&replyLength, in + 2, 2);
                if (length > 4 && !ReadFull(c, in + 4, length - 4u))
                    break;
                memcpy(out, &replyLength, 2);
                if (!WriteFull(c, out, replyLength))
                    break;
            }
            _exit(0);
        }
        close(listener);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        fd = loopnet::Connect(addr);
        return fd >= 0;
    }

    // One pass over the exchanges of one iteration, the client side as the library does it:
    // the request in one write, the reply's header, then the rest.
    bool Replay(const std::vector<Exchange> &script)
    {
        static char msg[hostlink::kMaxMessage], reply[hostlink::kMaxMessage];
        for (const Exchange &e : script) {
            uint16_t length = static_cast<uint16_t>(e.request), replyLength = static_cast<uint16_t>(e.reply);
            memcpy(msg, &length, 2);
            memcpy(msg + 2, &replyLength, 2);
            if (!WriteFull(fd, msg, static_cast<size_t>(e.request)) || !ReadFull(fd, reply, 4) ||
                (replyLength > 4 && !ReadFull(fd, reply + 4, replyLength - 4u)))
                return false;
        }
        return true;
    }

    void Stop()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

} // namespace rawbench
