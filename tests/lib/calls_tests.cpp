// One error model: typed calls return their C-like result with this machine's errno; the end of
// a directory is no error (faults of the connection, LinkErrors of a kind: batch tests); atEof
// only looks.
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <hostlink/detail.h>
#include <hostlink/hostlink.h>

#include "tests/agent_process.h"
#include "tests/lib/fake_agent.h"

using hostlink::LinkError;

TEST(Calls, FailuresLeaveLocalErrno)
{
    Scratch scratch;
    std::string dir = scratch.path();
    scratch.Put("file", "x");
    Daemon d;
    hostlink::Link link = d.Open();
    hostlink::FileStatus st;
    struct Row {
        const char *what;
        std::function<int32_t()> call;
        int32_t failure;
        int error;
    };
    const std::vector<Row> rows = {
        {"stat missing", [&] { return hostlink::stat(link, dir + "/none", &st); }, -1, ENOENT},
        {"open a directory to write", [&] { return hostlink::open(link, dir, hostlink::kOpenWrite); }, -1, EISDIR},
        {"mkdir existing", [&] { return hostlink::mkdir(link, dir + "/file", 0700); }, -1, EEXIST},
        {"rmdir a file", [&] { return hostlink::rmdir(link, dir + "/file"); }, -1, ENOTDIR},
        {"opendir missing", [&] { return static_cast<int32_t>(hostlink::opendir(link, dir + "/none")); }, 0, ENOENT},
        {"close unknown", [&] { return hostlink::close(link, 999); }, -1, EBADF},
        {"readlink a file", [&] { return hostlink::readlink(link, dir + "/file", nullptr); }, -1, EINVAL},
        {"a NUL in a path", [&] { return hostlink::unlink(link, std::string("a\0b", 3)); }, -1, EINVAL},
        {"a path past a message", [&] { return hostlink::stat(link, std::string(70000, 'a'), &st); }, -1, ENAMETOOLONG},
        {"execvp unknown", [&] { return hostlink::execvp(link, "no-such-program-anywhere", {"x"}); }, -1, ENOENT},
        {"readdir of no handle", [&] { return hostlink::readdir(link, 0x7777, nullptr); }, -1, EBADF},
    };
    for (const Row &row : rows) {
        errno = 0;
        EXPECT_EQ(row.call(), row.failure) << row.what;
        EXPECT_EQ(errno, row.error) << row.what << ": " << strerror(errno);
    }
    // The end of a directory is 0, told apart from an error, and stays the end.
    uint32_t h = hostlink::opendir(link, dir);
    ASSERT_NE(h, 0u);
    std::string name;
    int entries = 0;
    while (hostlink::readdir(link, h, &name) == 1)
        entries++;
    EXPECT_EQ(entries, 3);
    EXPECT_EQ(hostlink::readdir(link, h, &name), 0);
    EXPECT_EQ(hostlink::closedir(link, h), 0);
}

TEST(Calls, AtEofLooksWithoutTaking)
{
    FakeAgent fake([](int n, const std::string &req) {
        return n == 0 ? FakeHello(req) : n == 1 ? FakeReply(46, {77, 0}) : FakeAgent::kClose;
    });
    hostlink::Link link = fake.Open();
    link.send(hostlink::Request(wire::CALL_GETPID));
    EXPECT_FALSE(link.atEof());
    EXPECT_EQ(hostlink::decodeResult(link.receive()), 77); // the reply is whole
    link.send(hostlink::Request(wire::CALL_GETPID));
    EXPECT_TRUE(link.atEof());
}

TEST(Calls, SharedThroughALockedLink)
{
    Daemon d;
    hostlink::LockedLink shared(d.Open());
    int32_t pid = shared.with([](hostlink::Link &l) { return hostlink::getpid(l); });
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; i++) {
                auto link = shared.lock();
                right += hostlink::getpid(*link) == pid && hostlink::getppid(*link) > 0;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(right, 200);
}
