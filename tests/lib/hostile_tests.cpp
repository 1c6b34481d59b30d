// Replies a hostile agent would send: the library keeps its memory, its counts and its time
// to itself. And the one conversion of the agent's status to struct stat and statvfs.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <vector>

#include <gtest/gtest.h>
#include <hostlink/hostlink.h>
#include <hostlink/wire.h>

#include "tests/lib/fake_agent.h"

namespace {

using hostlink::LinkError;
using Kind = LinkError::Kind;

int CallOf(const std::string &request) { return static_cast<unsigned char>(request[2]); }

// An agent that answers open, fstat, opendir and closedir plainly and read and readdir without
// end: each read a full chunk of 'x', each readdir a new name.
std::string Endless(int n, const std::string &req)
{
    if (n == 0)
        return FakeHello(req);
    switch (CallOf(req)) {
    case wire::CALL_OPEN: return FakeReply(1, {5, 0});
    case wire::CALL_FSTAT: return FakeReply(34, {0, 0, 0100644, 1, 1, 1, 0, 0, 0, 0, 0, 0});
    case wire::CALL_READ: {
        int32_t want;
        memcpy(&want, req.data() + 8, 4);
        return FakeReply(2, {want, 0}, std::string(static_cast<size_t>(want), 'x'));
    }
    case wire::CALL_OPENDIR: return FakeReply(7, {1, 0});
    case wire::CALL_READDIR: {
        std::string name = "n" + std::to_string(n);
        name.resize((name.size() + 4) / 4 * 4, '\0');
        return FakeReply(8, {0, 0}, name);
    }
    default: return FakeReply(CallOf(req), {0, 0});
    }
}

// A sink or progress callback that throws while reads are in flight: the exception comes out,
// and the batch, abandoned, drops the replies still on their way instead of writing them into
// the freed chunk buffers (the sanitizer build sees any such write).
TEST(Hostile, ReadFileAbandonedByAnExceptionWritesNothingMore)
{
    // Each reply comes late, so that those behind the first chunk arrive after the exception.
    auto late = [](int n, const std::string &req) {
        return n == 0 ? FakeHello(req) : FakeAgent::kLater + Endless(n, req);
    };
    for (int round = 0; round < 2; round++) {
        FakeAgent agent(late);
        hostlink::Link link = agent.Open();
        hostlink::TransferOptions o;
        o.window = 8;
        if (round == 1)
            o.progress = [](int64_t, int64_t) { throw std::runtime_error("progress gave up"); };
        auto sink = [round](const char *, size_t) -> bool {
            if (round == 0)
                throw std::runtime_error("sink gave up");
            return true;
        };
        EXPECT_THROW(hostlink::readFile(link, "/f", sink, o), std::runtime_error);
        EXPECT_EQ(hostlink::getpid(link), 0); // the link is still in step
    }
    // The same through a batch directly: a read's buffer is left alone once the batch is gone.
    FakeAgent agent(late);
    hostlink::Link link = agent.Open();
    std::string buffer(1000, '\0');
    {
        hostlink::Batch batch(link);
        batch.read(5, buffer.data(), buffer.size());
        batch.flush();
    }
    EXPECT_EQ(buffer, std::string(1000, '\0'));
}

// Counts and caps: an inflated address count, a directory without end, a file without end
// into a string, a reply trickled a byte at a time.
TEST(Hostile, CountsCapsAndTimeAreBounded)
{
    {
        FakeAgent agent([](int n, const std::string &req) {
            return n == 0 ? FakeHello(req) : FakeReply(29, {0, 0, 0x7fffffff, 0, 2}, std::string("a\0\0\0", 4));
        });
        hostlink::Link link = agent.Open();
        hostlink::HostEntry e;
        EXPECT_THROW(hostlink::gethostbyname(link, "x", &e), LinkError);
    }
    {
        FakeAgent agent(Endless);
        hostlink::Link link = agent.Open();
        std::vector<hostlink::DirEntry> entries;
        hostlink::ListOptions o;
        o.withStatus = false;
        o.maxEntries = 300;
        errno = 0;
        EXPECT_EQ(hostlink::listDirectory(link, "/d", &entries, o), -1);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(entries.size(), 300u);
        std::string contents;
        hostlink::TransferOptions t;
        t.maxBytes = 200000;
        EXPECT_EQ(hostlink::readFile(link, "/f", &contents, t), -1);
        EXPECT_EQ(errno, EFBIG);
        EXPECT_LE(contents.size(), 200000u);
    }
    for (bool batched : {false, true}) {
        // 12 bytes, 100 ms apart: each read comes well within the timeout, the reply does not.
        FakeAgent agent([](int n, const std::string &req) {
            return n == 0 ? FakeHello(req) : FakeAgent::kTrickle + FakeReply(46, {7, 0});
        });
        hostlink::Link link = agent.Open(0.5);
        try {
            if (batched) {
                hostlink::Batch batch(link);
                batch.getpid().get();
            } else
                hostlink::getpid(link);
            ADD_FAILURE() << "a trickled reply was taken";
        } catch (const LinkError &e) {
            EXPECT_EQ(e.kind(), Kind::TimedOut) << e.what();
        }
    }
}

// The agent's entries say how far its extension calls go; anything but a plain number in range
// counts as the first set of them.
TEST(Extensions, LastCallFromTheEnvironment)
{
    const std::string on = "HOSTAGENT_EXTENSIONS=1", calls = "HOSTAGENT_EXTENSION_CALLS=";
    struct {
        std::vector<std::string> entries;
        int last;
    } rows[] = {{{}, 0},
                {{"HOSTAGENT_EXTENSIONS=0", calls + "66"}, 0},
                {{on}, 63},
                {{"A=1", calls + "66", on}, 66},
                {{on, calls + "200"}, 200},
                {{on, calls + "62"}, 63},
                {{on, calls + "065"}, 63},
                {{on, calls + "+66"}, 63},
                {{on, calls + "66x"}, 63},
                {{on, calls}, 63},
                {{on, calls + "65536"}, 63},
                {{on, calls + "99999999999999999999"}, 63}};
    for (const auto &row : rows)
        EXPECT_EQ(hostlink::lastExtensionCall(row.entries), row.last) << testing::PrintToString(row.entries);
}

TEST(Status, OneConversionToStatAndStatvfs)
{
    hostlink::Status64 big;
    big.mode = 0100640;
    big.size = int64_t(5) << 32;
    big.blocks = 9;
    big.blksize = 512;
    big.rdevMajor = 8;
    big.rdevMinor = 1;
    big.mtime = {1700000000, 5};
    hostlink::FileStatus plain;
    plain.mode = 0120777;
    plain.size = -2; // 0xfffffffe
    plain.ino = -1;
    plain.mtime = -1; // 2106
    struct stat a, b;
    hostlink::toStat(big, &a);
    hostlink::toStat(plain, &b);
    struct Row {
        const char *what;
        long long got, want;
    };
    const std::vector<Row> rows = {
        {"64 mode", a.st_mode, 0100640},
        {"64 size", a.st_size, int64_t(5) << 32},
        {"64 blocks", a.st_blocks, 9},
        {"64 rdev", static_cast<long long>(a.st_rdev), static_cast<long long>(makedev(8, 1))},
        {"64 mtime ns", a.st_mtim.tv_nsec, 5},
        {"plain mode", b.st_mode, 0120777},
        {"plain size", b.st_size, 0xfffffffeLL},
        {"plain ino", static_cast<long long>(b.st_ino), 0xffffffffLL},
        {"plain blocks", b.st_blocks, (0xfffffffeLL + 511) / 512},
        {"plain blksize", b.st_blksize, 4096},
        {"plain mtime", b.st_mtim.tv_sec, 0xffffffffLL},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.got, row.want) << row.what;
    hostlink::FsStats f;
    f.bsize = 4096;
    f.blocks = 1000;
    f.bavail = 10;
    f.flags = 3;
    struct statvfs v;
    hostlink::toStatvfs(f, &v);
    EXPECT_EQ(v.f_bsize, 4096u);
    EXPECT_EQ(v.f_blocks, 1000u);
    EXPECT_EQ(v.f_bavail, 10u);
    EXPECT_EQ(v.f_flag, static_cast<unsigned long>(ST_RDONLY | ST_NOSUID));
}

} // namespace
