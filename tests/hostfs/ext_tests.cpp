// Extension calls of an agent started with -x, in both byte orders; the default agent's answer.
// (openread's replies: handler rows in both orders; through the file system: FsTest, ReadWire.)
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <hostlink/calls.h>
#include "hostlink/ext.h"
#include "tests/harness.h"

using hostlink::Request;
namespace fs = std::filesystem;
namespace hl = hostlink;

namespace {

constexpr int64_t k3GiB = 3LL << 30;

struct ExtAgent : Agent {
    explicit ExtAgent(bool x)
    {
        Start(x ? std::vector<std::string>{"xt.term", "-v", "-x", "-d", "--"} : std::vector<std::string>{"xt.term", "-v", "-d", "--"});
    }
};

struct stat Lstat(const std::string &p)
{
    struct stat st = {};
    lstat(p.c_str(), &st);
    return st;
}

class Ext : public testing::TestWithParam<bool> {
protected:
    ExtAgent a{true};
    Link link = a.Open(GetParam());
    Scratch scratch;
    std::string dir = scratch.path();
    std::string P(const std::string &name) const { return dir + "/" + name; }
    void SetUp() override
    {
        WriteFile(P("f"), "hello");
        fs::create_directory(P("d"));
        fs::create_symlink("f", P("l"));
    }
};

using Path = const std::string &;
// The path calls: the result, errno, and what each left behind (a rename over a file: the mounts).
const struct Row {
    const char *name;
    std::function<int32_t(Link &, Path)> call;
    int32_t result;
    int error;
    std::function<bool(Path)> after;
} kRows[] = {
    {"rename of nothing", [](Link &l, Path d) { return hl::rename(l, d + "/none", d + "/x"); }, -1, ENOENT, nullptr},
    {"truncate to 3 GiB", [](Link &l, Path d) { return hl::truncate(l, d + "/f", k3GiB); }, 0, 0,
     [](Path d) { return Lstat(d + "/f").st_size == k3GiB; }},
    {"truncate negative", [](Link &l, Path d) { return hl::truncate(l, d + "/f", -1); }, -1, EINVAL, nullptr},
    {"utimens without following", [](Link &l, Path d) { timespec t[2] = {{1000, 5}, {4000000000LL, 999999999}}; return hl::utimens(l, d + "/l", t, true); },
     0, 0, [](Path d) { struct stat st = Lstat(d + "/l"), f = Lstat(d + "/f");
                        return st.st_mtim.tv_sec == 4000000000LL && st.st_mtim.tv_nsec == 999999999 && st.st_atim.tv_nsec == 5 && f.st_mtim.tv_sec != 4000000000LL; }},
    {"utimens omit and now", [](Link &l, Path d) { timespec t[2] = {{0, hl::kUtimeOmit}, {0, hl::kUtimeNow}}; return hl::utimens(l, d + "/f", t, false); },
     0, 0, [](Path d) { return Lstat(d + "/f").st_mtim.tv_sec > 1600000000; }},
    {"lchown of the link", [](Link &l, Path d) { return hl::lchown(l, d + "/l", 1, 2); }, 0, 0,
     [](Path d) { return Lstat(d + "/l").st_uid == 1 && Lstat(d + "/f").st_uid != 1; }},
    {"mknod fifo", [](Link &l, Path d) { return hl::mknod(l, d + "/p", 0010620); }, 0, 0, [](Path d) { return S_ISFIFO(Lstat(d + "/p").st_mode); }},
    {"mknod socket", [](Link &l, Path d) { return hl::mknod(l, d + "/s", 0140600); }, 0, 0, [](Path d) { return S_ISSOCK(Lstat(d + "/s").st_mode); }},
    {"mknod device refused", [](Link &l, Path d) { return hl::mknod(l, d + "/c", 0020600); }, -1, EPERM, nullptr},
    {"umask 0 keeps modes whole", [](Link &l, Path d) { hl::umask(l, 0); return hl::mkdir(l, d + "/m", 0620); }, 0, 0,
     [](Path d) { return (Lstat(d + "/m").st_mode & 07777) == 0620; }},
};

TEST_P(Ext, CallsAndTheirEffects)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir);
        fs::create_directory(dir);
        SetUp();
        errno = 0;
        EXPECT_EQ(row.call(link, dir), row.result);
        EXPECT_EQ(row.result < 0 ? errno : 0, row.error);
        EXPECT_TRUE(!row.after || row.after(dir));
    }
}

TEST_P(Ext, BigFilesAndStatus)
{
    int32_t fd = hl::open(link, P("big"), hl::kOpenReadWrite | hl::kOpenCreate, 0600);
    ASSERT_GE(fd, 0);
    std::string data(hl::kMaxPwrite, 'z');
    EXPECT_EQ(hl::pwrite64(link, fd, data.data(), data.size(), k3GiB - 10), hl::kMaxPwrite);
    char buf[100];
    EXPECT_EQ(hl::pread64(link, fd, buf, 100, k3GiB - 20), 100);
    EXPECT_EQ(std::string(buf, 100), std::string(10, '\0') + std::string(90, 'z'));
    EXPECT_EQ(hl::fsync(link, fd, false), 0);
    EXPECT_EQ(hl::ftruncate(link, fd, k3GiB + 1), 0);
    hl::Status64 st;
    ASSERT_EQ(hl::fstat64(link, fd, &st), 0);
    struct stat local = Lstat(P("big"));
    EXPECT_EQ(st.size, k3GiB + 1);
    EXPECT_EQ(st.ino, local.st_ino);
    EXPECT_EQ(st.mode, 0100600u);
    EXPECT_EQ(st.blocks, local.st_blocks);
    EXPECT_EQ(st.devMajor, major(local.st_dev));
    EXPECT_EQ(st.mtime.tv_nsec, local.st_mtim.tv_nsec);
    hl::close(link, fd);
    hl::FileStatus small; // the plain stat refuses what does not fit, with EINVAL (EOVERFLOW has no wire number)
    EXPECT_EQ(hl::stat(link, P("big"), &small), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(hl::stat64(link, "/dev/null", &st), 0);
    EXPECT_EQ(st.mode & 0170000, 0020000u);
    EXPECT_EQ(std::pair(st.rdevMajor, st.rdevMinor), std::pair(1u, 3u));
    hl::FsStats fsst;
    ASSERT_EQ(hl::statvfs(link, dir, &fsst), 0);
    EXPECT_TRUE(fsst.blocks > 0 && fsst.namemax > 0);
}

TEST_P(Ext, ReaddirplusCoversEveryEntryOnce)
{
    constexpr int kFiles = 1500; // more than one reply holds
    for (int i = 0; i < kFiles; i++)
        WriteFile(P("d/entry-with-a-longish-name-" + std::to_string(i)), std::string(static_cast<size_t>(i), 'x'));
    uint32_t h = hl::opendir(link, P("d"));
    ASSERT_NE(h, 0u);
    std::vector<hl::DirEntryPlus> entries;
    int replies = 0, n;
    while ((n = hl::readdirplus(link, h, entries)) > 0 && replies < 100)
        replies++;
    EXPECT_EQ(n, 0);
    EXPECT_GT(replies, 1);
    std::set<std::string> names;
    for (const auto &e : entries) {
        names.insert(e.name);
        EXPECT_EQ(e.error, 0);
        EXPECT_TRUE(e.name.rfind("entry-", 0) != 0 || e.status.size == std::stoll(e.name.substr(e.name.rfind('-') + 1))) << e.name;
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(kFiles + 2));
    EXPECT_EQ(entries.size(), names.size());
    hl::rewinddir(link, h);
    entries.clear();
    EXPECT_EQ(hl::readdirplus(link, h, entries, 3), 3);
    hl::closedir(link, h);
    EXPECT_EQ(hl::readdirplus(link, h, entries), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(hl::lastExtensionCall(link), wire::NUM_NAMED_CALLS - 1);
    EXPECT_NE(a.Err().find("= readdirplus(0x"), std::string::npos); // no other test reads this trace line
}

// Open, write and close (or keep) in one exchange; requests that do not carry what they say.
TEST_P(Ext, OpenwriteMakesFillsAndReportsEveryFailure)
{
    const int32_t made = hl::kOpenWrite | hl::kOpenCreate | hl::kOpenExclusive, ro = hl::kOpenRead | hl::kOpenCreate;
    const struct {
        const char *name;
        Request req;
        int32_t result, error, put; // result 1: a descriptor
        const char *content;        // on the host afterwards
    } cases[] = {
        {"new", hl::openwriteRequest(P("new"), made, 0640, "abc", false), 0, 0, 3, "abc"},
        {"f", hl::openwriteRequest(P("f"), made, 0640, "abc", false), -1, EEXIST, -1, "hello"},
        {"ro", hl::openwriteRequest(P("ro"), ro, 0640, "abc", false), -1, EBADF, -1, ""},
        {"kept", hl::openwriteRequest(P("kept"), made, 0640, "abc", true), 1, 0, 3, "abc"},
        {"keptro", hl::openwriteRequest(P("keptro"), ro, 0640, "abc", true), 1, EBADF, -1, ""},
        {"long", Request(hl::kCallOpenwrite).word(made).word(0640).word(100).word(0).str(P("long")).bytes("abc"), -1, EINVAL, -1, nullptr},
        {"short", Request(hl::kCallOpenwrite).word(made).word(0640), -1, EINVAL, -1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        int32_t put = -2, r = hl::parseOpenwrite(link.exchange(c.req), 3, &put);
        EXPECT_EQ(std::tuple(r > 0 ? 1 : r, put, c.error ? errno : 0), std::tuple(c.result, c.put, c.error));
        EXPECT_TRUE(r <= 0 || hl::close(link, r) == 0);
        EXPECT_EQ(fs::exists(P(c.name)) ? ReadFile(P(c.name)) : "(none)", c.content ? c.content : "(none)");
    }
    EXPECT_EQ(Lstat(P("new")).st_mode & 07777, 0640u);
    EXPECT_NE(a.Err().find("Request: 0 = openwrite(" + P("new") + ",0xc1,0x1a0,...,3,0): 3\n"), std::string::npos) << a.Err();
}

// The agent's own descriptors (its listener and the connection) are not the client's here either.
TEST_P(Ext, TheAgentsOwnDescriptorsAreRefused)
{
    std::vector<int> own;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(a.pid) + "/fd"))
        if (int fd = std::stoi(e.path().filename()); fd > 2 && fd < 100)
            own.push_back(fd);
    ASSERT_EQ(own.size(), 2u);
    char buf[4] = {'a', 'b', 'c', 'd'};
    hl::Status64 st;
    for (int fd : own)
        for (const auto &call : std::vector<std::function<int32_t()>>{
                 [&] { return hl::pread64(link, fd, buf, 4, 0); }, [&] { return hl::pwrite64(link, fd, buf, 4, 0); },
                 [&] { return hl::ftruncate(link, fd, 0); }, [&] { return hl::fsync(link, fd); }, [&] { return hl::fstat64(link, fd, &st); }}) {
            errno = 0;
            EXPECT_EQ(std::pair(call(), errno), std::pair(-1, EBADF)) << fd;
        }
    EXPECT_EQ(hl::getpid(link), a.pid); // still served
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Ext, testing::Bool(), OrderName);

// Without -x, and for numbers no extension has, the service ends exactly as it always did.
TEST(ExtOff, UnknownCallsEndTheService)
{
    const struct {
        bool extensions;
        int call;
        bool swapped;
    } cases[] = {{false, 48, false}, {false, 49, true}, {false, 63, false}, {false, 64, true},
                 {true, 48, false},  {false, 65, false}, {false, 66, false}, {true, 67, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        ExtAgent a(c.extensions);
        Link link = a.Open(c.swapped);
        EXPECT_TRUE(c.extensions || hl::lastExtensionCall(link) == 0);
        link.send(Request(c.call).word(1).word(2).str("/"));
        EXPECT_TRUE(link.atEof());
        EXPECT_EQ(a.Wait(), 1);
        EXPECT_NE(a.Err().find("Unknown function call " + std::to_string(c.call) + "\n"), std::string::npos);
    }
}

} // namespace
