// Pipelined batches: order, the cap, large transfers both ways at once, barriers, and a broken
// stream failing every pending result alike.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <chrono>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <hostlink/hostlink.h>

#include "tests/agent_process.h"
#include "tests/lib/fake_agent.h"

namespace fs = std::filesystem;
using hostlink::Batch;
using hostlink::LinkError;
using hostlink::Pending;

namespace {

std::string Pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7) % 251);
    return s;
}

class BatchBothOrders : public ::testing::TestWithParam<bool> {};

} // namespace

TEST_P(BatchBothOrders, ResultsComeBackInOrderWithLocalErrno)
{
    Scratch s;
    std::ofstream(s / "a") << "12345";
    Daemon d;
    hostlink::Link link = d.Open(GetParam());
    int32_t pid = hostlink::getpid(link);
    Batch batch(link);
    std::vector<std::pair<int, Pending>> pendings; // kind: 0 getpid, 1 stat a, 2 stat missing
    for (int i = 0; i < 300; i++) {
        int kind = i % 3;
        pendings.emplace_back(kind, kind == 0   ? batch.getpid()
                                    : kind == 1 ? batch.stat(s / "a")
                                                : batch.lstat(s / "missing"));
    }
    EXPECT_GT(batch.pending(), 1u);
    for (auto &[kind, p] : pendings) {
        const hostlink::Result &r = p.get();
        if (kind == 0)
            EXPECT_EQ(r.value, pid);
        else if (kind == 1)
            EXPECT_TRUE(r.value == 0 && r.status.size == 5 && S_ISREG(static_cast<mode_t>(r.status.mode)));
        else
            EXPECT_TRUE(r.value == -1 && r.error == ENOENT);
    }
    // A string that cannot travel is refused here, in its place, without breaking the batch.
    Pending bad = batch.stat(std::string("a\0b", 3));
    EXPECT_EQ(bad.value(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(batch.getpid().value(), pid);
}

TEST_P(BatchBothOrders, LargeWritesAndReadsInFlightTogetherDoNotDeadlock)
{
    Scratch s;
    const size_t n = hostlink::kMaxData;
    std::string source = Pattern(64 * n, 1);
    std::ofstream(s / "in", std::ios::binary) << source;
    Daemon d;
    hostlink::Link link = d.Open(GetParam());
    link.setTimeout(30); // a deadlock fails the test instead of hanging it
    int out = hostlink::open(link, s / "out", hostlink::kOpenWrite | hostlink::kOpenCreate);
    int in = hostlink::open(link, s / "in", hostlink::kOpenRead);
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    std::string data = Pattern(64 * n, 2), got(64 * n, '\0');
    Batch batch(link, 64u << 20); // no cap in the way: 8 MiB in flight
    std::vector<Pending> writes, reads;
    for (size_t i = 0; i < 64; i++) {
        writes.push_back(batch.write(out, data.data() + i * n, n));
        reads.push_back(batch.read(in, got.data() + i * n, n));
    }
    batch.drain(); // nothing above waited: all 128 went out as fast as the agent took them
    for (size_t i = 0; i < 64; i++) {
        EXPECT_EQ(writes[i].get().value, static_cast<int32_t>(n));
        EXPECT_EQ(reads[i].get().bytes, n);
    }
    EXPECT_TRUE(got == source);
    EXPECT_EQ(hostlink::close(link, out), 0);
    std::ifstream written(s / "out", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) == data);
}

TEST_P(BatchBothOrders, BarriersHandTheLinkOverWithNothingElseInFlight)
{
    Daemon d;
    hostlink::Link link = d.Open(GetParam());
    Batch batch(link);
    Pending before = batch.getpid();
    int32_t parent = before.get().value;
    std::vector<Pending> earlier;
    for (int i = 0; i < 20; i++)
        earlier.push_back(batch.getppid());
    int32_t child = batch.fork().value();
    ASSERT_GT(child, 0);
    for (Pending &p : earlier)
        EXPECT_TRUE(p.ready()); // the fork waited for every earlier reply
    EXPECT_EQ(batch.getpid().value(), child);
    EXPECT_EQ(batch._exit(0).value(), 0);
    EXPECT_EQ(batch.getpid().value(), parent);
    EXPECT_EQ(batch.execvp("no-such-program-anywhere", {"x"}).value(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(batch.pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Orders, BatchBothOrders, ::testing::Values(false, true));

TEST(Batch, CapBoundsTheBytesInFlight)
{
    Scratch s;
    std::string fifo = s / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC); // so that the agent's open does not wait
    Daemon d;
    hostlink::Link link = d.Open();
    int held = hostlink::open(link, fifo, hostlink::kOpenRead);
    int fd = hostlink::open(link, "/dev/null", hostlink::kOpenWrite);
    ASSERT_GE(held, 0);
    ASSERT_GE(fd, 0);
    const size_t cap = 100000;
    Batch batch(link, cap);
    // The agent waits in this read until the byte comes, while the writes pile up to the cap.
    char byte;
    Pending first = batch.read(held, &byte, 1);
    std::thread release([writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(::write(writer, "x", 1), 1);
    });
    std::string chunk(30000, 'x');
    size_t most = 0;
    std::vector<Pending> writes;
    for (int i = 0; i < 20; i++) {
        writes.push_back(batch.write(fd, chunk.data(), chunk.size()));
        most = std::max(most, batch.inFlight());
    }
    release.join();
    EXPECT_LE(most, cap);
    EXPECT_GT(most, 2 * chunk.size()); // yet more than one at a time
    EXPECT_EQ(first.value(), 1);
    for (Pending &p : writes)
        EXPECT_EQ(p.value(), 30000);
    ::close(writer);
}

// A stream that breaks fails every pending result with one error, and the batch stays broken; a
// typed call outside a batch fails with the same kind of LinkError.
TEST(Batch, BrokenStreamFailsEveryPendingResultAlike)
{
    struct Row {
        const char *what;
        std::string third; // what the fake agent sends for the third request
        LinkError::Kind kind;
    };
    const std::vector<Row> rows = {
        {"wrong call number", FakeReply(13, {7, 0}), LinkError::Kind::Malformed},
        {"too short (a batch fails that one result)", FakeReply(46, {}), LinkError::Kind::Malformed},
        {"length beyond a message", std::string("\xff\xff\x2e\x00", 4), LinkError::Kind::Malformed},
        {"header byte 3 set", std::string("\x0c\x00\x2e\x01", 4) + std::string(8, '\0'), LinkError::Kind::Malformed},
        {"closed", FakeAgent::kClose, LinkError::Kind::Closed},
        {"silent", FakeAgent::kSilence, LinkError::Kind::TimedOut},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        auto script = [&](int n, const std::string &req) {
            return n == 0 ? FakeHello(req) : n == 3 ? row.third : FakeReply(46, {1000 + n, 0});
        };
        {
            FakeAgent fake(script);
            hostlink::Link link = fake.Open(0.5);
            EXPECT_EQ(hostlink::getpid(link), 1001);
            EXPECT_EQ(hostlink::getpid(link), 1002);
            try {
                hostlink::getpid(link);
                ADD_FAILURE() << "a typed call did not fail";
            } catch (const LinkError &e) {
                EXPECT_EQ(e.kind(), row.kind) << e.what();
            }
        }
        if (std::string(row.what).rfind("too short", 0) == 0)
            continue;
        FakeAgent fake(script);
        hostlink::Link link = fake.Open(2); // the silent row waits this out
        Batch batch(link);
        std::vector<Pending> ps;
        for (int i = 0; i < 6; i++)
            ps.push_back(batch.getpid());
        EXPECT_EQ(ps[0].value(), 1001);
        EXPECT_EQ(ps[1].value(), 1002);
        std::string first;
        for (size_t i = 2; i < ps.size(); i++) {
            try {
                ps[i].get();
                ADD_FAILURE() << "result " << i << " did not fail";
            } catch (const LinkError &e) {
                EXPECT_EQ(e.kind(), row.kind) << e.what();
                if (first.empty())
                    first = e.what();
                EXPECT_EQ(first, e.what());
            }
        }
        EXPECT_TRUE(batch.broken());
        EXPECT_THROW(batch.getpid(), LinkError);
        link.close();
    }
}
