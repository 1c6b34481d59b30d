// Reads through the extension calls: preadlast behind an openread on the wire, and files read
// whole behind their opens through the file system, with sizes the host changed since the listing
// and with many readers at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <thread>

#include <hostlink/calls.h>
#include <hostlink/ext.h>

#include "hostfs/fs.h"
#include "tests/agent_process.h"

namespace hl = hostlink;

namespace {

std::string Pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + (i * 7 + i / 4093 + static_cast<size_t>(seed)) % 26);
    return s;
}

class ReadWire : public testing::TestWithParam<bool> {};

// preadlast reads the file of the latest openread wherever asked; behind an openread that opened
// nothing it fails with EBADF.
TEST_P(ReadWire, PreadlastReadsTheLatestOpenreadsFile)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-v", "-x", "-d", "--"})) << agent.Stderr();
    hl::Link link = agent.Open(GetParam());
    Scratch s;
    std::string data = Pattern(200000, 1);
    WriteFile(s / "f", data);
    struct {
        const char *name;
        int64_t offset;
        size_t count;
        int32_t result;
        int error;
    } rows[] = {{"f", 100, 50, 50, 0},    {"f", 70000, 1u << 20, hl::kMaxData, 0}, {"f", 199990, 100, 10, 0},
                {"f", 300000, 10, 0, 0}, {"none", 0, 10, -1, EBADF}};
    std::vector<char> buf(hl::kMaxData);
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(row.offset));
        int32_t got = 0, fd = hl::openread(link, s / row.name, hl::kOpenRead, 0, buf.data(), 16, &got);
        EXPECT_EQ(std::string(buf.data(), fd < 0 ? 0 : 16), data.substr(0, fd < 0 ? 0 : 16)); // the first bytes with the open
        errno = 0;
        int32_t n = hl::preadlast(link, buf.data(), row.count, row.offset);
        EXPECT_EQ(std::pair(n, errno), std::pair(row.result, row.error));
        size_t back = n > 0 ? static_cast<size_t>(n) : 0;
        EXPECT_EQ(std::string(buf.data(), back), back ? data.substr(static_cast<size_t>(row.offset), back) : "");
        EXPECT_TRUE(fd < 0 || hl::close(link, fd) == 0);
    }
    EXPECT_NE(agent.Stderr().find("= preadlast("), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ReadWire, testing::Bool());

// Files read in the kernel's pieces after a listing gave their sizes: whole behind the open,
// beyond it, grown or shrunk on the host since, by eight readers at once.
TEST(ReadWhole, WhatTheHostHoldsWhateverTheListingSaid)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-x", "-d", "--"})) << agent.Stderr();
    Scratch root;
    hostfs::Options o;
    o.root = root.path();
    hostfs::Fs fs(o);
    ASSERT_EQ(fs.attach(agent.Open(), true), std::nullopt);
    struct {
        std::string name;
        size_t listed, now;
    } files[] = {{"small", 1000, 1000},       {"whole", 1u << 20, 1u << 20}, {"edge", 65504, 65504},
                 {"grew", 100000, 300000},    {"shrank", 1u << 20, 70000},   {"big", 3u << 20, 3u << 20},
                 {"emptied", 200000, 0},      {"whole2", 2u << 20, 2u << 20}};
    for (const auto &f : files)
        WriteFile(root / f.name, Pattern(f.listed, 0));
    hostfs::Listing listing;
    ASSERT_EQ(fs.list("/", listing), 0);
    for (const auto &f : files)
        WriteFile(root / f.name, Pattern(f.now, 2));
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (const auto &f : files)
        readers.emplace_back([&] {
            for (int round = 0; round < 3; round++) {
                hostfs::FileHandle *fh = nullptr;
                if (fs.open(("/" + f.name).c_str(), O_RDONLY, &fh) != 0) {
                    wrong++;
                    return;
                }
                std::string got, piece(256 << 10, '\0');
                for (int n; (n = fs.read(fh, piece.data(), piece.size(), static_cast<off_t>(got.size()))) > 0;)
                    got.append(piece, 0, static_cast<size_t>(n));
                fs.release(fh);
                if (got != Pattern(f.now, 2))
                    wrong++;
            }
        });
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// Files opened one after another in a listed directory are streamed ahead of their opens: each
// read is right, a change through the mount after the streaming shows, an open for writing gets
// a descriptor of its own, and what was streamed and never opened is closed on the host in time.
TEST(ReadWhole, StreamedAheadOfTheOpens)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-v", "-x", "-d", "--"})) << agent.Stderr();
    Scratch root;
    hostfs::Options o;
    o.root = root.path();
    o.attrTimeout = 1;
    hostfs::Fs fs(o);
    ASSERT_EQ(fs.attach(agent.Open(), true), std::nullopt);
    auto name = [](int i) { return "/m" + std::to_string(i); };
    for (int i = 10; i < 22; i++)
        WriteFile(root / name(i).substr(1), Pattern(100000 + static_cast<size_t>(i), i));
    int descriptors = OpenDescriptors(agent.pid);
    hostfs::Listing listing;
    ASSERT_EQ(fs.list("/", listing), 0);
    auto readWhole = [&](int i, int flags) {
        hostfs::FileHandle *fh = nullptr;
        EXPECT_EQ(fs.open(name(i).c_str(), flags, &fh), 0);
        std::string got(200000, '\0');
        got.resize(static_cast<size_t>(std::max(fs.read(fh, got.data(), got.size(), 0), 0)));
        if (flags != O_RDONLY) {
            EXPECT_EQ(fs.write(fh, "w", 1, 0), 1);
        }
        EXPECT_EQ(fs.release(fh), 0);
        return got;
    };
    for (int i = 10; i < 15; i++)
        EXPECT_TRUE(readWhole(i, i == 14 ? O_RDWR : O_RDONLY) == Pattern(100000 + static_cast<size_t>(i), i)) << i;
    EXPECT_EQ(ReadFile(root / "m14")[0], 'w');
    hostfs::FileHandle *fh = nullptr;
    ASSERT_EQ(fs.open("/m15", O_WRONLY, &fh), 0);
    EXPECT_EQ(fs.write(fh, "X", 1, 0), 1);
    EXPECT_EQ(fs.release(fh), 0);
    for (int i = 15; i < 18; i++) {
        std::string want = Pattern(100000 + static_cast<size_t>(i), i);
        if (i == 15)
            want[0] = 'X';
        EXPECT_TRUE(readWhole(i, O_RDONLY) == want) << i;
    }
    size_t openreads = 0;
    for (size_t at = 0; (at = agent.Stderr().find("= openread(", at)) != std::string::npos; at++)
        openreads++;
    EXPECT_GT(openreads, 8u); // more than the test opened for reading
    EXPECT_TRUE(WaitUntil([&] {
        fs.watch();
        return OpenDescriptors(agent.pid) == descriptors;
    }, 5));
}

// A call above the last one the agent names is never sent: opens, reads behind them, deferred
// creations and small-file preloads go the older ways. Umask is the last of the first agents
// with extensions; with preadlast, the whole set shows in the trace.
TEST(ReadWhole, CallsAboveTheAgentsLastAreNeverSent)
{
    for (int last : {int(hl::kLastFirstExtension), int(hl::kCallOpenread), int(hl::kCallPreadlast)}) {
        SCOPED_TRACE(last);
        AgentProcess agent;
        ASSERT_TRUE(agent.Start({"xt.term", "-v", "-x", "-d", "--"})) << agent.Stderr();
        Scratch root;
        hostfs::Options o;
        o.root = root.path();
        hostfs::Fs fs(o);
        ASSERT_EQ(fs.attach(agent.Open(), true, last), std::nullopt);
        for (const char *name : {"a", "b", "big"})
            WriteFile(root / name, Pattern(name[1] ? 200000 : 100, 3));
        hostfs::Listing listing;
        ASSERT_EQ(fs.list("/", listing), 0);
        for (const char *name : {"/a", "/big"}) {
            hostfs::FileHandle *fh = nullptr;
            ASSERT_EQ(fs.open(name, O_RDONLY, &fh), 0);
            std::string got(300000, '\0');
            got.resize(static_cast<size_t>(std::max(fs.read(fh, got.data(), got.size(), 0), 0)));
            EXPECT_EQ(got, Pattern(name[2] ? 200000 : 100, 3));
            fs.release(fh);
        }
        hostfs::FileHandle *fh = nullptr;
        ASSERT_EQ(fs.mkdir("/d", 0755), 0);
        ASSERT_EQ(fs.create("/d/f", 0644, O_WRONLY | O_CREAT, &fh), 0);
        EXPECT_EQ(fs.write(fh, "abc", 3, 0), 3);
        EXPECT_EQ(fs.release(fh), 0);
        EXPECT_EQ(ReadFile(root / "d/f"), "abc");
        for (auto [name, call] : {std::pair{"= openread(", hl::kCallOpenread}, {"= openwrite(", hl::kCallOpenwrite}, {"= preadlast(", hl::kCallPreadlast}})
            EXPECT_EQ(agent.Stderr().find(name) != std::string::npos, call <= last) << name;
    }
}

} // namespace
