// The file system in process, against the real agent, with and without its extension calls:
// what the mount promises when the host changes files between the mount's operations, and when
// the link goes (many threads at once: SharedLink.ThreadsAndBarriers and the mount's readers).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "hostfs/fs.h"
#include "tests/harness.h"

namespace hl = hostlink;
using hostfs::FileHandle;
using hostfs::Fs;

namespace {

// A daemon agent, with its extension calls or without; it serves one link.
std::unique_ptr<Agent> HostAgent(bool ext)
{
    auto agent = std::make_unique<Agent>();
    agent->Start(ext ? std::vector<std::string>{"xt.term", "-x", "-d", "--"} : std::vector<std::string>{"xt.term", "-d", "--"});
    return agent;
}

class FsTest : public testing::TestWithParam<bool> {
protected:
    Scratch root;
    std::unique_ptr<Agent> agent = HostAgent(GetParam());
    std::unique_ptr<Fs> fs = make();
    std::atomic<int> losses{0};

    std::unique_ptr<Fs> make(hostfs::Options o = {})
    {
        o.root = root.path();
        o.linkTimeout = std::min(o.linkTimeout, 5.0);
        auto f = std::make_unique<Fs>(o);
        EXPECT_EQ(f->attach(agent->Open(), GetParam()), std::nullopt);
        f->setLostHandler([this](const std::string &) { losses++; });
        return f;
    }
    void restart(hostfs::Options o) // a daemon agent serves one link: a new Fs needs a new agent
    {
        fs.reset();
        agent = HostAgent(GetParam());
        fs = make(o);
    }
    std::string host(const std::string &name) { return ReadFile(root / name); }
    FileHandle *open(const char *path, int flags)
    {
        FileHandle *fh = nullptr;
        EXPECT_EQ(fs->open(path, flags, &fh), 0) << path;
        return fh;
    }
    int put(FileHandle *fh, std::string_view data, off_t off) { return fs->write(fh, data.data(), data.size(), off); }
    std::string get(FileHandle *fh, size_t size, off_t off)
    {
        std::string buf(size, '\0');
        int n = fs->read(fh, buf.data(), size, off);
        return n < 0 ? "error " + std::to_string(-n) : buf.substr(0, static_cast<size_t>(n));
    }
};

// Writes sent ahead keep their order and are all on the host once flush has answered; an append
// lands at the host's end of the file, whatever size the mount last saw.
TEST_P(FsTest, WritesKeepTheirOrderAndAppendsLandAtTheHostsEnd)
{
    WriteFile(root / "f", "");
    FileHandle *fh = open("/f", O_RDWR);
    std::string big(300000, 'a');
    EXPECT_EQ(put(fh, big, 0), static_cast<int>(big.size()));
    EXPECT_EQ(put(fh, "BBBB", 10), 4);      // over the first write
    EXPECT_EQ(put(fh, "CC", 12), 2);        // over the second
    EXPECT_EQ(put(fh, "end", 300000), 3);
    EXPECT_EQ(fs->flush(fh), 0);
    std::string want = big + "end";
    want.replace(10, 4, "BBCC");
    EXPECT_EQ(host("f"), want);
    EXPECT_EQ(get(fh, 8, 8), "aaBBCCaa"); // the read sees the writes before it
    fs->release(fh);
    WriteFile(root / "log", "h1\n");
    fh = open("/log", O_WRONLY | O_APPEND);
    WriteFile(root / "log", "h1\nh2\n");
    EXPECT_EQ(put(fh, "m1\n", 3), 3); // the offset the kernel believes
    EXPECT_EQ(fs->flush(fh), 0);
    EXPECT_EQ(host("log"), "h1\nh2\nm1\n");
    EXPECT_EQ(fs->release(fh), 0);
}

// A write the host refuses fails the next write (once its answer is in), or the flush or
// fsync after it: exactly once.
TEST_P(FsTest, ErrorsOfWritesSentAheadComeBack)
{
    WriteFile(root / "ro", "x");
    struct Row {
        const char *name;
        std::function<int(Fs &, FileHandle *)> next;
    } rows[] = {
        {"write", [](Fs &f, FileHandle *h) { return f.write(h, "y", 1, 1); }},
        {"flush", [](Fs &f, FileHandle *h) { return f.flush(h); }},
        {"fsync", [](Fs &f, FileHandle *h) { return f.fsync(h, false); }},
    };
    for (const Row &row : rows) {
        FileHandle *fh = open("/ro", O_RDONLY); // the host's descriptor cannot write
        EXPECT_EQ(put(fh, "y", 0), 1) << row.name; // sent ahead: no answer yet
        int next = row.next(*fs, fh), flushed = fs->flush(fh);
        EXPECT_EQ((next == -EBADF) + (flushed == -EBADF), 1) << row.name << ": " << next << " " << flushed;
        EXPECT_EQ(fs->flush(fh), 0) << row.name << ": reported once";
        fs->release(fh);
    }
    EXPECT_EQ(host("ro"), "x");
}

// The first read of a file may come with its open: reads at any offset around the end of that
// first piece, of files whose sizes lie around it, see the host's bytes, also in order through a
// growing window and back; the host's change shows after the next open, and a write through the
// mount after the open in the next read.
TEST_P(FsTest, FirstBytesWithTheOpen)
{
    constexpr off_t kPiece = hl::kMaxOpenread;
    struct Case {
        off_t size;
        std::vector<std::pair<off_t, size_t>> reads; // offset, size, in this order
    } cases[] = {
        {0, {{0, 4096}, {0, 4096}}},
        {5, {{0, 4096}, {5, 4096}}},
        {kPiece - 1, {{kPiece - 10, 100}, {0, 131072}}},
        {kPiece, {{0, 131072}, {kPiece, 10}}},
        {kPiece + 1, {{0, 4096}, {4096, 131072}}},
        {kPiece + 7, {{kPiece - 3, 10}, {0, 8}}},
        {3 * kPiece, {{kPiece * 2 + 5, 100}, {0, 200000}}},
        {400000, {{0, 131072}, {131072, 131072}, {262144, 131072}, {393216, 131072}, {524288, 10}, {1000, 5}}},
    };
    std::string data;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        data.clear();
        for (off_t i = 0; i < c.size; i++)
            data.push_back(static_cast<char>('a' + (i + c.size) % 19)); // each case's bytes its own
        WriteFile(root / "f", data);
        FileHandle *fh = open("/f", O_RDONLY);
        for (auto [off, size] : c.reads) {
            std::string want = off < c.size ? data.substr(static_cast<size_t>(off), size) : "";
            EXPECT_EQ(get(fh, size, off), want) << off;
        }
        fs->release(fh);
    }
    FileHandle *reader = open("/f", O_RDONLY);
    FileHandle *writer = open("/f", O_WRONLY);
    EXPECT_EQ(put(writer, "XY", 0), 2);
    EXPECT_EQ(fs->flush(writer), 0);
    EXPECT_EQ(get(reader, 4, 0), "XY" + data.substr(2, 2));
    fs->release(writer);
    fs->release(reader);
    FileHandle *none = nullptr;
    EXPECT_EQ(fs->open("/none", O_RDONLY, &none), -ENOENT);
}

// Names, listings and the cache: changes through the mount show at once; a file unlinked while
// open has a link count of 0 and its data stay readable; as root, another user's new file is theirs.
TEST_P(FsTest, ListingsAndChangesThroughTheMount)
{
    ASSERT_EQ(fs->mkdir("/d", 0750), 0);
    struct stat st;
    EXPECT_EQ(fs->getattr("/d/none", &st, nullptr), -ENOENT);
    FileHandle *fh = nullptr;
    ASSERT_EQ(fs->create("/d/a", 0640, O_WRONLY, &fh), 0);
    EXPECT_EQ(fs->getattr("/d/a", &st, nullptr), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    put(fh, "abc", 0);
    fs->flush(fh);
    fs->release(fh);
    EXPECT_EQ(fs->getattr("/d/a", &st, nullptr), 0);
    EXPECT_EQ(st.st_size, 3);
    ASSERT_EQ(fs->rename("/d/a", "/d/b", 0), 0);
    EXPECT_EQ(fs->getattr("/d/a", &st, nullptr), -ENOENT);
    hostfs::Listing listing;
    ASSERT_EQ(fs->list("/d", listing), 0);
    std::set<std::string> names;
    for (const auto &e : listing)
        names.insert(e.name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "b"}));
    EXPECT_EQ(fs->symlink("b", "/d/l"), 0);
    char text[16];
    EXPECT_EQ(fs->readlink("/d/l", text, sizeof text), 0);
    EXPECT_STREQ(text, "b");
    fh = open("/d/b", O_RDONLY);
    EXPECT_EQ(fs->unlink("/d/b"), 0);
    ASSERT_EQ(fs->getattr(nullptr, &st, fh), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(get(fh, 100, 0), "abc");
    fs->release(fh);
    EXPECT_EQ(fs->unlink("/d/l"), 0);
    EXPECT_EQ(fs->rmdir("/d"), 0);
    EXPECT_FALSE(std::filesystem::exists(root / "d"));
    if (geteuid() != 0)
        return; // multi-user mode below: a file another user makes is theirs on the host
    ASSERT_EQ(fs->create("/mine", 0600, O_WRONLY, &fh), 0);
    fs->giveTo("/mine", 65534, 65534);
    EXPECT_EQ(fs->getattr("/mine", &st, nullptr), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    fs->release(fh);
    EXPECT_EQ(fs->access("/mine", F_OK), 0); // a round trip: what was sent behind is done
    ASSERT_EQ(stat((root / "mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

// Small files opened in listing order come from one read-ahead of their directory; a change
// through the mount is never served stale, and large files are read the ordinary way.
TEST_P(FsTest, DirectoryReadAhead)
{
    mkdir((root / "d").c_str(), 0755);
    for (int i = 0; i < 6; i++)
        WriteFile(root / ("d/f" + std::to_string(i)), i == 2 ? std::string(200000, 'b') : "file " + std::to_string(i));
    hostfs::Listing listing;
    ASSERT_EQ(fs->list("/d", listing), 0);
    std::vector<std::string> order;
    for (const auto &e : listing)
        if (e.name[0] == 'f')
            order.push_back("/d/" + e.name);
    FileHandle *w = open("/d/f4", O_WRONLY);
    for (const std::string &p : order) {
        if (p == "/d/f4") { // changed through the mount after the read-ahead began
            put(w, "new", 0);
            fs->flush(w);
        }
        FileHandle *fh = open(p.c_str(), O_RDONLY);
        std::string want = p == "/d/f2" ? std::string(200000, 'b') : p == "/d/f4" ? "newe 4" : "file " + p.substr(4);
        EXPECT_EQ(get(fh, 300000, 0), want) << p;
        fs->release(fh);
    }
    fs->release(w);
}

// A path near PATH_MAX on the mount: the root is not put in front of it.
TEST_P(FsTest, PathsUpToPathMax)
{
    std::string path;
    std::string part(100, 'p');
    while (path.size() + (part.size() + 1) + 256 < PATH_MAX) {
        path += "/" + part;
        ASSERT_EQ(fs->mkdir(path.c_str(), 0755), 0) << path.size();
    }
    path += "/" + std::string(std::min<size_t>(255, PATH_MAX - 2 - path.size()), 'f'); // 4094 in all
    FileHandle *fh = nullptr;
    ASSERT_EQ(fs->create(path.c_str(), 0644, O_WRONLY, &fh), 0) << path.size();
    put(fh, "deep", 0);
    EXPECT_EQ(fs->flush(fh), 0);
    fs->release(fh);
    struct stat st;
    EXPECT_EQ(fs->getattr(path.c_str(), &st, nullptr), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_GT(root.path().size() + path.size(), static_cast<size_t>(PATH_MAX)); // too long with the root
}

// Without -o reconnect a stuck agent is given up on after link_timeout (a killed one, noticed by
// the watcher while nothing is asked: hostfs_mount_plain); every call after gives EIO, and the
// loss is reported once.
TEST_P(FsTest, AStuckAgentEndsTheMount)
{
    hostfs::Options o;
    o.linkTimeout = 0.5;
    restart(o);
    WriteFile(root / "f", "x");
    FileHandle *fh = open("/f", O_RDONLY);
    ASSERT_GT(agent->pid, 0);
    kill(agent->pid, SIGSTOP); // killed by the fixture
    struct stat st;
    EXPECT_EQ(fs->getattr("/other", &st, nullptr), -EIO);
    EXPECT_TRUE(fs->lost());
    EXPECT_EQ(get(fh, 1, 0), "error " + std::to_string(EIO));
    EXPECT_EQ(losses, 1);
    fs->release(fh);
}

// With -o reconnect: a new agent takes over; open files are opened again by path, and only
// writes whose fate is unknown give EIO.
TEST_P(FsTest, ReconnectReopensOpenFiles)
{
    hostfs::Options o;
    o.reconnect = true;
    restart(o);
    std::unique_ptr<Agent> next;
    fs->setConnector([&] {
        if (!next)
            throw hl::LinkError(hl::LinkError::Kind::Connect, "no agent yet");
        return next->Open();
    });
    WriteFile(root / "r", "0123456789");
    FileHandle *reader = open("/r", O_RDONLY);
    FileHandle *writer = open("/r", O_WRONLY);
    EXPECT_EQ(get(reader, 4, 0), "0123");
    ASSERT_GT(agent->pid, 0);
    kill(agent->pid, SIGKILL);
    agent->Wait();
    next = HostAgent(GetParam());
    int sent = put(writer, "zz", 0), flushed = fs->flush(writer); // sent into the lost link
    EXPECT_TRUE(sent == -EIO || flushed == -EIO) << sent << " " << flushed;
    EXPECT_EQ(get(reader, 4, 4), "4567");
    EXPECT_EQ(put(writer, "ab", 0), 2);
    EXPECT_EQ(fs->flush(writer), 0);
    EXPECT_EQ(host("r"), "ab23456789");
    struct stat st;
    EXPECT_EQ(fs->getattr("/r", &st, nullptr), 0);
    EXPECT_FALSE(fs->lost());
    EXPECT_EQ(losses, 0);
    fs->release(reader);
    fs->release(writer);
}

INSTANTIATE_TEST_SUITE_P(Calls, FsTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Extensions" : "Plain"; });

} // namespace
