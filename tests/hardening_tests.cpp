// Resource bounds and hostile peers, against the real agent over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "client/files_api.h"
#include "tests/agent_process.h"

using hostlink::Link;
using hostlink::Reply;
using hostlink::Request;
namespace fs = std::filesystem;

namespace {

// Resident memory in KiB, from the status file of the process.
long ResidentKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The agent's descriptor limit is lowered for the agent alone: set around its start.
struct LowFileLimit {
    struct rlimit saved;
    explicit LowFileLimit(rlim_t soft)
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        struct rlimit low = saved;
        low.rlim_cur = soft;
        setrlimit(RLIMIT_NOFILE, &low);
    }
    ~LowFileLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
};

TEST(Resources, DescriptorsAndMemoryComeBackAfterManyCalls)
{
    // Under the address sanitizer freed blocks wait in a quarantine, which would read as
    // growth here; with no quarantine the sanitizer build measures the agent as it is.
    Daemon d(false, {"ASAN_OPTIONS=quarantine_size_mb=0:thread_local_quarantine_size_kb=0"});
    Link link = d.Open();
    std::string dir = TempDir();
    std::ofstream(dir + "/f") << "x";
    auto round = [&](int times) {
        for (int i = 0; i < times; i++) {
            int fd = hostlink::open(link, dir + "/f", hostlink::kOpenRead);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(hostlink::close(link, fd), 0);
            uint32_t h = hostlink::opendir(link, dir);
            ASSERT_NE(h, 0u);
            ASSERT_TRUE(hostlink::readdir(link, h).has_value());
            ASSERT_EQ(hostlink::closedir(link, h), 0);
            ASSERT_EQ(hostlink::open(link, dir + "/missing", hostlink::kOpenRead), -1);
            ASSERT_EQ(hostlink::opendir(link, dir + "/missing"), 0u);
            ASSERT_EQ(hostlink::close(link, -1), -1);
            ASSERT_EQ(hostlink::closedir(link, 12345), -1);
        }
    };
    round(500);
    int fds = OpenDescriptors(d.agent.pid);
    long rss = ResidentKiB(d.agent.pid);
    round(10000);
    EXPECT_EQ(OpenDescriptors(d.agent.pid), fds);
    EXPECT_LE(ResidentKiB(d.agent.pid), rss + 256) << "resident memory grew from " << rss << " KiB";
    fs::remove_all(dir);
}

TEST(Resources, ExhaustedDescriptorsAnswerEmfileAndServiceGoesOn)
{
    std::unique_ptr<Daemon> d;
    {
        LowFileLimit limit(24);
        d = std::make_unique<Daemon>();
    }
    Link link = d->Open();
    std::vector<int> fds;
    for (int i = 0; i < 64; i++) {
        Reply r = link.call(Request(1).word(0).word(0).str("/dev/null"));
        if (r.word(1) < 0) {
            EXPECT_EQ(r.word(2), 24) << "open failed with the wrong error";
            break;
        }
        fds.push_back(r.word(1));
    }
    ASSERT_FALSE(fds.empty());
    ASSERT_LT(fds.size(), 64u) << "the descriptor limit was never reached";
    // opendir needs a descriptor too.
    Reply dir = link.call(Request(7).str("/"));
    EXPECT_EQ(dir.word(1), 0);
    EXPECT_EQ(dir.word(2), 24);
    // One descriptor back, and the next open succeeds again.
    EXPECT_EQ(hostlink::close(link, fds.back()), 0);
    EXPECT_GE(hostlink::open(link, "/dev/null", hostlink::kOpenRead), 0);
    EXPECT_EQ(link.handshake(5), 6u);
}

TEST(Resources, WritingToAFullDeviceAnswersEnospc)
{
    Daemon d;
    Link link = d.Open(true);
    int fd = hostlink::open(link, "/dev/full", hostlink::kOpenWrite);
    ASSERT_GE(fd, 0);
    Reply r = link.call(Request(3).word(fd).word(5).bytes("hello"));
    EXPECT_EQ(r.word(1), -1);
    EXPECT_EQ(r.word(2), 28);
}

// Sends bytes one at a time, with a pause now and then, as a slow peer would.
void Trickle(Link &link, const std::string &bytes)
{
    for (size_t i = 0; i < bytes.size(); i++) {
        link.sendRaw(bytes.substr(i, 1));
        if (i % 7 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(Faults, PeerSendingOneByteAtATimeIsServed)
{
    for (bool swapped : {false, true}) {
        Daemon d;
        Link link = d.Connect(swapped);
        std::string bytes;
        uint16_t len = hostlink::detail::encodeLength(link, 16);
        bytes.append(reinterpret_cast<const char *>(&len), 2);
        bytes += std::string("\0\0", 2);
        bytes += hostlink::detail::encodeWord(link, static_cast<int32_t>(hostlink::kMagic)) + hostlink::detail::encodeWord(link, 1) + hostlink::detail::encodeWord(link, 9);
        Trickle(link, bytes);
        Reply r = link.receive();
        EXPECT_EQ(r.word(3), 10);
        std::string stat;
        len = hostlink::detail::encodeLength(link, 6);
        stat.append(reinterpret_cast<const char *>(&len), 2);
        stat += std::string("\x12\0/\0", 4);
        Trickle(link, stat);
        r = link.receive();
        EXPECT_EQ(r.length(), 52);
        EXPECT_EQ(r.word(1), 0);
        link.close();
        EXPECT_EQ(d.agent.Wait(), 0);
    }
}

TEST(Faults, PeerStoppingOrClosingMidMessage)
{
    {
        // A stalled header is waited for; the rest completes it.
        Daemon d;
        Link link = d.Open();
        std::string req;
        uint16_t len = hostlink::detail::encodeLength(link, 6);
        req.append(reinterpret_cast<const char *>(&len), 2);
        req += std::string("\x12\0/\0", 4);
        link.sendRaw(req.substr(0, 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(d.agent.Running());
        link.sendRaw(req.substr(2));
        EXPECT_EQ(link.receive().word(1), 0);
    }
    std::vector<std::string> cuts = {std::string("\x0c", 1), std::string("\x0c\0\x02", 3),
                                     std::string("\x0c\0\x02\0\x05\0", 6), std::string("\xff\xff\x12\0/\0", 6)};
    for (const std::string &cut : cuts) {
        Daemon d;
        Link link = d.Open();
        link.sendRaw(cut);
        if (cut.size() < 6 || cut[0] != '\xff')
            ::shutdown(link.fd(), SHUT_WR);
        EXPECT_TRUE(link.atEof());
        EXPECT_EQ(d.agent.Wait(), 1) << "cut after " << cut.size() << " bytes";
        EXPECT_NE(d.agent.Stderr().find("Trouble reading request\n"), std::string::npos);
    }
}

// Calls whose short requests have nothing to start or end: every one must answer, within
// its reply sizes, and leave the service as it was.
const int kQuietCalls[] = {1,  2,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                           23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 37, 38, 40, 41, 42, 43,
                           45, 46, 47};

TEST(Faults, EveryCallWithRequestsShorterThanItsLayout)
{
    for (bool swapped : {false, true}) {
        Daemon d;
        Link link = d.Open(swapped);
        std::string dir = TempDir();
        ASSERT_EQ(hostlink::chdir(link, dir), 0); // whatever a call creates stays in here
        for (int call : kQuietCalls) {
            for (int body = 0; body <= 16; body++) {
                for (char fill : {'A', '\xff'}) {
                    // Fill the buffer with NULs first, so that stale bytes could be taken for an end.
                    link.call(Request(18).bytes(std::string(64, '\0')));
                    Reply r = link.call(Request(call).bytes(std::string(static_cast<size_t>(body), fill)));
                    ASSERT_EQ(r.call(), call);
                    ASSERT_GE(r.length(), 4);
                    bool longreply = call == 11 || call == 25 || call == 29 || call == 30 || call == 41;
                    if (!longreply) {
                        ASSERT_LE(r.length(), 68) << "call " << call << ", " << body << " bytes";
                    }
                }
            }
        }
        EXPECT_TRUE(d.agent.Running());
        EXPECT_EQ(link.handshake(41), 42u);
        EXPECT_EQ(hostlink::chdir(link, "/"), 0);
        link.close();
        EXPECT_EQ(d.agent.Wait(), 0);
        fs::remove_all(dir);
    }
}

} // namespace
