// The file system in process against the real agent, plain and with its extension calls: what the
// mount promises when the host changes files between its operations, and when the link goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
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
    agent->Start(ext ? std::vector<std::string>{"xt.term", "-v", "-x", "-d", "--"} : std::vector<std::string>{"xt.term", "-v", "-d", "--"});
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
    void restart(const std::function<void(hostfs::Options &)> &set) // a new Fs needs a new agent: it serves one link
    {
        hostfs::Options o;
        set(o);
        fs.reset();
        agent = HostAgent(GetParam());
        fs = make(o);
    }
    std::string host(const std::string &name) { return ReadFile(root / name); }
    FileHandle *made(const char *path) // in a directory the mount made afresh
    {
        std::filesystem::remove_all(root / "d");
        EXPECT_EQ(fs->mkdir("/d", 0755), 0);
        FileHandle *fh = nullptr;
        EXPECT_EQ(fs->create(path, 0640, O_RDWR | O_CREAT, &fh), 0) << path;
        return fh;
    }
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

// Writes sent ahead keep their order until flush (appends at the host's end: the mounts).
TEST_P(FsTest, WritesSentAheadKeepTheirOrder)
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
    EXPECT_EQ(fs->release(fh), 0);
}

// A write the host refuses fails the next write (once answered), flush or fsync: exactly once.
TEST_P(FsTest, ErrorsOfWritesSentAheadComeBack)
{
    WriteFile(root / "ro", "x");
    const std::pair<const char *, std::function<int(Fs &, FileHandle *)>> rows[] = {
        {"write", [](Fs &f, FileHandle *h) { return f.write(h, "y", 1, 1); }},
        {"flush", [](Fs &f, FileHandle *h) { return f.flush(h); }},
        {"fsync", [](Fs &f, FileHandle *h) { return f.fsync(h, false); }},
    };
    for (const auto &[name, next] : rows) {
        FileHandle *fh = open("/ro", O_RDONLY); // the host's descriptor cannot write
        EXPECT_EQ(put(fh, "y", 0), 1) << name; // sent ahead: no answer yet
        int first = next(*fs, fh), flushed = fs->flush(fh);
        EXPECT_EQ((first == -EBADF) + (flushed == -EBADF), 1) << name << ": " << first << " " << flushed;
        EXPECT_EQ(fs->flush(fh), 0) << name << ": reported once";
        fs->release(fh);
    }
    EXPECT_EQ(host("ro"), "x");
}

// A new file goes to the host with its data at its first flush (at its create: plain, nodefer),
// never over a name the host made meanwhile (before the close or at it): then the close fails.
TEST_P(FsTest, NewFilesArriveWholeAtTheirClose)
{
    for (bool nodefer : {false, true}) {
        SCOPED_TRACE(nodefer ? "nodefer" : "default");
        if (nodefer)
            restart([](hostfs::Options &o) { o.nodefer = true; });
        FileHandle *fh = made("/d/f");
        EXPECT_EQ(std::filesystem::exists(root / "d/f"), !GetParam() || nodefer);
        EXPECT_EQ(put(fh, "abc", 0), 3);
        struct stat st, host;
        ASSERT_EQ(fs->getattr("/d/f", &st, nullptr), 0);
        EXPECT_EQ(std::pair(st.st_mode, st.st_size), std::pair(S_IFREG | 0640u, off_t(3)));
        ASSERT_EQ(fs->getattr(nullptr, &st, fh), 0);
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(fs->flush(fh), 0);
        EXPECT_EQ(ReadFile(root / "d/f"), "abc");
        EXPECT_EQ(fs->release(fh), 0);
        ASSERT_EQ(lstat((root / "d/f").c_str(), &host), 0);
        EXPECT_EQ(host.st_mode, S_IFREG | 0640u);
        ASSERT_EQ(fs->getattr("/d/f", &st, nullptr), 0);
        EXPECT_EQ(st.st_ino, host.st_ino); // the host's own status from the close on
    }
    if (!GetParam())
        return; // made at the create
    restart([](hostfs::Options &) {});
    for (bool early : {false, true}) {
        FileHandle *fh = made("/d/f");
        EXPECT_EQ(put(fh, "mine", 0), 4);
        WriteFile(root / "d/f", "theirs");
        hostfs::Listing l;
        EXPECT_TRUE(!early || fs->list("/d", l) == 0);
        EXPECT_EQ(fs->flush(fh), -EEXIST) << early;
        EXPECT_EQ(fs->flush(fh), -EIO);
        EXPECT_EQ(fs->release(fh), 0);
        EXPECT_EQ(host("d/f"), "theirs");
    }
}

// A write through the mount shows to a reader opened before it (its first bytes came with the open).
TEST_P(FsTest, AWriteShowsToAReaderOpenedBefore)
{
    WriteFile(root / "f", std::string(200000, 'a'));
    FileHandle *reader = open("/f", O_RDONLY), *writer = open("/f", O_WRONLY);
    EXPECT_EQ(put(writer, "XY", 0), 2);
    EXPECT_EQ(fs->flush(writer), 0);
    EXPECT_EQ(get(reader, 4, 0), "XYaa");
    fs->release(writer);
    fs->release(reader);
}

// Changes show at once; an unlinked open file has 0 links and its data; as root, a user's file is theirs.
TEST_P(FsTest, ChangesThroughTheMount)
{
    struct stat st;
    ASSERT_EQ(fs->mkdir("/d", 0750), 0);
    ASSERT_EQ(fs->getattr("/d", &st, nullptr), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    FileHandle *fh = nullptr;
    ASSERT_EQ(fs->create("/d/a", 0640, O_WRONLY, &fh), 0);
    put(fh, "abc", 0);
    EXPECT_EQ(fs->release(fh), 0);
    ASSERT_EQ(fs->rename("/d/a", "/d/b", 0), 0);
    EXPECT_EQ(fs->getattr("/d/a", &st, nullptr), -ENOENT);
    fh = open("/d/b", O_RDONLY);
    EXPECT_EQ(fs->unlink("/d/b"), 0);
    ASSERT_EQ(fs->getattr(nullptr, &st, fh), 0);
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(get(fh, 100, 0), "abc");
    fs->release(fh);
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
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(65534u, 65534u));
}

// Statistics come from the host once while nothing changes through the mount, and again after.
TEST_P(FsTest, StatisticsKeptUntilAChange)
{
    auto asked = [&] {
        std::string trace = agent->Err();
        size_t n = 0;
        for (size_t at = 0; (at = trace.find(GetParam() ? "= statvfs(" : "= fork()", at)) != std::string::npos; at++)
            n++;
        return n;
    };
    struct statvfs sv;
    for (const char *path : std::initializer_list<const char *>{"/", "/", nullptr, "/"})
        if (path)
            EXPECT_EQ(fs->statfs(path, &sv), 0);
        else
            EXPECT_EQ(fs->mkdir("/d", 0755), 0);
    EXPECT_EQ(asked(), 2u);
}

// A change through one name of a file shows through its other name, and the kernel is told that name.
TEST_P(FsTest, AChangeThroughOneNameShowsThroughTheOther)
{
    using St = const struct stat &;
    const uid_t owner = geteuid() == 0 ? 65534 : geteuid();
    const struct {
        std::string name;
        std::function<int(Fs &, std::string)> apply; // through a, which b links to (the row's directory given)
        std::function<bool(St)> shows;               // in b's status afterwards
    } rows[] = {
        {"chmod", [](Fs &f, std::string d) { return f.chmod((d + "/a").c_str(), 0600); }, [](St st) { return (st.st_mode & 07777) == 0600; }},
        {"chown", [&](Fs &f, std::string d) { return f.chown((d + "/a").c_str(), owner, owner == 65534 ? 65534 : getegid()); },
         [&](St st) { return st.st_uid == owner && st.st_nlink == 2; }},
        {"truncate", [](Fs &f, std::string d) { return f.truncate((d + "/a").c_str(), 2, nullptr); }, [](St st) { return st.st_size == 2; }},
        {"utimens", [](Fs &f, std::string d) { timespec t[2] = {{1000, 0}, {2000, 0}}; return f.utimens((d + "/a").c_str(), t); },
         [](St st) { return st.st_mtim.tv_sec == 2000; }},
        {"link", [](Fs &f, std::string d) { return f.link((d + "/a").c_str(), (d + "/c").c_str()); }, [](St st) { return st.st_nlink == 3; }},
        {"unlink", [](Fs &f, std::string d) { return f.unlink((d + "/a").c_str()); }, [](St st) { return st.st_nlink == 1; }},
        {"rename over", [](Fs &f, std::string d) { return f.rename((d + "/other").c_str(), (d + "/a").c_str(), 0); }, [](St st) { return st.st_nlink == 1; }},
    };
    std::vector<std::string> stale; // what the kernel was told
    fs->setStaleHandler([&](const std::string &path) { stale.push_back(path); });
    for (const auto &row : rows) {
        std::string d = "/" + row.name;
        mkdir((root / d).c_str(), 0755);
        WriteFile(root / (d + "/a"), "four");
        WriteFile(root / (d + "/other"), "x");
        ASSERT_EQ(link((root / (d + "/a")).c_str(), (root / (d + "/b")).c_str()), 0);
        struct stat st;
        ASSERT_EQ(fs->getattr((d + "/b").c_str(), &st, nullptr), 0); // both names known to the mount from now on
        ASSERT_EQ(fs->getattr((d + "/a").c_str(), &st, nullptr), 0);
        ASSERT_EQ(st.st_nlink, 2u);
        ASSERT_EQ(row.apply(*fs, d), 0) << row.name;
        EXPECT_EQ(std::count(stale.begin(), stale.end(), d + "/b"), 1) << row.name;
        ASSERT_EQ(fs->getattr((d + "/b").c_str(), &st, nullptr), 0);
        EXPECT_TRUE(row.shows(st)) << row.name << ": mode " << std::oct << st.st_mode << std::dec << " links " << st.st_nlink
                                   << " size " << st.st_size << " uid " << st.st_uid;
    }
}

// Files opened in listing order come from a read-ahead of their directory, never stale.
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
    std::string path, part(100, 'p');
    while (path.size() + (part.size() + 1) + 256 < PATH_MAX) {
        path += "/" + part;
        ASSERT_EQ(fs->mkdir(path.c_str(), 0755), 0) << path.size();
    }
    path += "/" + std::string(std::min<size_t>(255, PATH_MAX - 2 - path.size()), 'f'); // 4094 in all
    FileHandle *fh = nullptr;
    ASSERT_EQ(fs->create(path.c_str(), 0644, O_WRONLY, &fh), 0) << path.size();
    put(fh, "deep", 0);
    EXPECT_EQ(fs->release(fh), 0);
    struct stat st;
    EXPECT_EQ(fs->getattr(path.c_str(), &st, nullptr), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_GT(root.path().size() + path.size(), static_cast<size_t>(PATH_MAX)); // too long with the root
}

// Without -o reconnect a stuck agent is given up after link_timeout: EIO from then on, told once.
TEST_P(FsTest, AStuckAgentEndsTheMount)
{
    restart([](hostfs::Options &o) { o.linkTimeout = 0.5; });
    WriteFile(root / "f", "x");
    FileHandle *fh = open("/f", O_RDONLY);
    ASSERT_TRUE(Signal(agent->pid, SIGSTOP)); // killed by the fixture
    struct stat st;
    EXPECT_EQ(fs->getattr("/other", &st, nullptr), -EIO);
    EXPECT_TRUE(fs->lost());
    EXPECT_EQ(get(fh, 1, 0), "error " + std::to_string(EIO));
    EXPECT_EQ(losses, 1);
    fs->release(fh);
}

// With -o reconnect a new agent takes over; only writes whose fate is unknown give EIO.
TEST_P(FsTest, ReconnectReopensOpenFiles)
{
    restart([](hostfs::Options &o) { o.reconnect = true; });
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
    ASSERT_TRUE(Signal(agent->pid, SIGKILL));
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
