// hostfs's pure parts: the command line, the mount point check, the status cache. (The library's
// shared link with many threads: the mounts and ReadWhole; its loss and reset: FsTest.)
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

#include "hostfs/cache.h"
#include "hostfs/options.h"
#include "tests/harness.h"

using hostfs::StatusCache;

namespace {

std::vector<std::string> Split(const std::string &line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

TEST(CommandLine, RowsAndMountPoints)
{
    const struct {
        const char *line;
        const char *error; // a part of the message, or "" for a good line
    } rows[] = {
        {"127.0.0.1:5000 m", ""},
        {"[::1]:5000 m -o reconnect,link_timeout=3", ""},
        {"fd:7 m -f -o allow_other,root=/srv", ""},
        {"-peer 4000 m", ""},
        {"127.0.0.1 m", "is not HOST:PORT"},
        {"fd:3 127.0.0.1:5 m", "one mount point only"},
        {"fd:x m", "descriptor number"},
        {"fd:3 m -o reconnect", "needs an endpoint"},
        {"127.0.0.1:5000", "mount point are needed"},
        {"127.0.0.1:5000 m -q", "unknown option -q"},
        {"127.0.0.1:5000 m -o attr_timeout=soon", "bad value"},
        {"127.0.0.1:5000 m -o readahead=0", "bad value"},
        {"127.0.0.1:5000 m -o root=", "bad value"},
    };
    for (const auto &row : rows) {
        hostfs::Parsed p = hostfs::parseCommandLine(Split(row.line));
        EXPECT_EQ(p.exitStatus, *row.error ? 1 : -1) << row.line << ": " << p.message;
        EXPECT_NE(p.message.find(row.error), std::string::npos) << row.line << ": " << p.message;
    }
    hostfs::Options o = hostfs::parseCommandLine(Split("fd:7 m -f -o allow_other,root=/srv/,readahead=8,noext")).options;
    EXPECT_EQ(o.fd, 7);
    EXPECT_EQ(o.root, "/srv");
    EXPECT_EQ(o.readaheadChunks, 8);
    EXPECT_TRUE(o.noext && o.foreground);
    EXPECT_EQ(o.fuseOptions, std::vector<std::string>{"allow_other"});
    EXPECT_EQ(hostfs::parseCommandLine(Split("[::1]:5 m")).options.endpointText(), "[::1]:5");
    EXPECT_EQ(hostfs::parseCommandLine(Split("--help")).exitStatus, 0);
    Scratch s;
    WriteFile(s / "file", "");
    EXPECT_EQ(hostfs::mountPointProblem(s.path()), std::nullopt);
    EXPECT_NE(hostfs::mountPointProblem(s / "file")->find("not a directory"), std::string::npos);
    EXPECT_NE(hostfs::mountPointProblem(s / "none")->find("No such file"), std::string::npos);
}

TEST(StatusCache, TimesAndChanges)
{
    using A = StatusCache::Answer;
    struct {
        double now = 100; // a clock the test moves
        StatusCache cache{20, 20, [this] { return now; }};
    } c;
    struct stat st = {};
    c.cache.remember("/a", st);
    c.cache.rememberListing("/d", {"x", "y"});
    const struct {
        const char *step;
        std::function<void()> act;
        std::vector<std::pair<const char *, A>> then;
    } rows[] = {
        {"fresh", [] {}, {{"/a", A::Found}, {"/d/x", A::Unknown}, {"/d/z", A::Missing}, {"/e/z", A::Unknown}}},
        {"made through the mount", [&] { c.cache.added("/d/z"); }, {{"/d/z", A::Unknown}}},
        {"removed", [&] { c.cache.removed("/d/x"); }, {{"/d/x", A::Missing}, {"/d/y", A::Unknown}}},
        {"changed", [&] { c.cache.changed("/a"); }, {{"/a", A::Unknown}}},
        {"tree gone", [&] { c.cache.forgetTree("/d"); }, {{"/d/x", A::Unknown}}},
        {"listing again, then time passes", [&] { c.cache.rememberListing("/d", {}); c.now += 20; }, {{"/d/x", A::Unknown}}},
    };
    for (const auto &row : rows) {
        row.act();
        for (const auto &[path, want] : row.then)
            EXPECT_EQ(c.cache.recall(path, &st), want) << row.step << ": " << path;
    }
    EXPECT_EQ(StatusCache::parentOf("/a/b"), "/a");
    EXPECT_EQ(StatusCache::parentOf("/a"), "/");
}

} // namespace
