// hostsh against an agent that lies: it lists names that would lead out of the folder a copy
// goes to, and names full of terminal control bytes. Nothing may land outside the destination,
// and nothing raw may reach the output.
#include <algorithm>
#include <map>
#include <poll.h>

#include "tests/hostsh/fixture.h"

namespace {

std::string Reply(int call, std::vector<int32_t> words, const std::string &data = "")
{
    std::string r(4, '\0');
    for (int32_t w : words)
        r.append(reinterpret_cast<const char *>(&w), 4);
    r += data;
    while (r.size() % 4)
        r += '\0';
    auto len = static_cast<uint16_t>(r.size());
    memcpy(r.data(), &len, 2);
    r[2] = static_cast<char>(call);
    return r;
}

std::string StatReply(int call, int32_t mode, int32_t size)
{
    return Reply(call, {0, 0, mode, 1, 1, 1, 0, 0, size, 0, 0, 0});
}

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

// One connection on loopback, answered from a made-up directory "d" whose listing holds the
// names given; every other path is a regular file holding "hello".
class LyingAgent {
public:
    explicit LyingAgent(std::vector<std::string> names) : names_(std::move(names))
    {
        if ((listener_ = Listen(&port)) < 0)
            ADD_FAILURE() << "cannot listen";
        thread_ = std::thread([this] { Serve(); });
    }
    ~LyingAgent()
    {
        thread_.join();
        close(listener_);
    }
    int port = 0;

private:
    void Serve()
    {
        int c = AcceptWithin(listener_, 10000);
        size_t next = 0;
        for (int n = 0; c >= 0 && n < 10000; n++) {
            std::string req(4, '\0');
            if (!ReadExactly(c, req.data(), 4))
                break;
            uint16_t size;
            memcpy(&size, req.data(), 2);
            req.resize(std::max<size_t>(size, 4));
            if (size > 4 && !ReadExactly(c, req.data() + 4, size - 4u))
                break;
            int call = static_cast<unsigned char>(req[2]);
            std::string path = req.size() > 4 ? std::string(req.c_str() + 4) : "";
            std::string out;
            switch (call) {
            case 0: {
                int32_t nonce;
                memcpy(&nonce, req.data() + 12, 4);
                out = Reply(0, {static_cast<int32_t>(0x2ed76d19), 1, nonce + 1});
                break;
            }
            case 11: out = Reply(11, {0}); break;                 // getenv: empty
            case 13: out = Reply(13, {0}); break;                 // getuid
            case 27: out = Reply(27, {}, std::string(64, '\0')); // getlogin: none
                break;
            case 18:
            case 32: out = StatReply(call, path == "d" ? 040755 : 0100644, 5); break;
            case 7: next = 0, out = Reply(7, {1, 0}); break;
            case 8:
                out = next < names_.size() ? Reply(8, {0, 0}, names_[next++] + '\0') : Reply(8, {-1, 22});
                break;
            case 1: out = Reply(1, {nextFd_++, 0}); break;
            case 2: {
                int32_t fd;
                memcpy(&fd, req.data() + 4, 4);
                out = reads_[fd]++ ? Reply(2, {0, 0}) : Reply(2, {5, 0}, "hello");
                break;
            }
            case 6:
            case 10: out = Reply(call, {0, 0}); break;
            default: out = Reply(call, {-1, 1}); // EPERM for anything else
            }
            if (write(c, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
                break;
        }
        if (c >= 0)
            close(c);
    }
    std::vector<std::string> names_;
    std::map<int32_t, int> reads_; // per descriptor
    int32_t nextFd_ = 5;
    int listener_ = -1;
    std::thread thread_;
};

TEST_F(Hostsh, NamesFromTheAgentAreData)
{
    struct Row {
        const char *script;
        std::string out;
        int status;
    } rows[] = {
        {"get -r d\n",
         "hostsh> get -r d\n"
         "get: d: the host lists an entry named \"../escape\"; skipped\n"
         "get: d: the host lists an entry named \"sub/../../x\"; skipped\n",
         1},
        {"ls d\n", "hostsh> ls d\n\\x1b[2J\\x1b]0;t\\x07\n\\x1b]0;t\\x07\nok\nsub/../../x\n", 0},
    };
    for (const Row &row : rows) {
        LyingAgent lying({".", "..", "../escape", "sub/../../x", "ok", "\x1b[2J\x1b]0;t\x07", "\x1b]0;t\x07"});
        Result r = Run({HOSTSH_PATH, "-b", "-", "127.0.0.1:" + std::to_string(lying.port)}, row.script, true);
        EXPECT_EQ(r.out, row.out) << row.script;
        EXPECT_EQ(r.status, row.status) << row.script;
    }
    // Only the plain names were written, and inside the destination.
    EXPECT_FALSE(fs::exists(root + "/escape"));
    EXPECT_FALSE(fs::exists(local + "/escape"));
    EXPECT_FALSE(fs::exists(root + "/x"));
    EXPECT_FALSE(fs::exists(local + "/x"));
    std::vector<std::string> made;
    for (const auto &e : fs::recursive_directory_iterator(local))
        made.push_back(e.path().lexically_relative(local).string());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"d", "d/\x1b[2J\x1b]0;t\x07", "d/\x1b]0;t\x07", "d/ok"}));
    EXPECT_EQ(ReadFile(local + "/d/ok"), "hello");
}

} // namespace
