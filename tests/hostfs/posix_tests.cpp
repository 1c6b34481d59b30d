// Hard links through the mount, in process against the real agent: a change through one name of
// a file shows through its other name at once, both in the mount's own cache and to the kernel,
// which is told the other name (it keeps attributes per name).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <unistd.h>

#include "hostfs/fs.h"
#include "tests/agent_process.h"

using hostfs::Fs;

namespace {

struct Change {
    const char *name;
    std::function<int(Fs &)> apply;                 // through /a, which /b links to
    std::function<bool(const struct stat &)> shows; // in /b's status afterwards
};

const Change kChanges[] = {
    {"chmod", [](Fs &fs) { return fs.chmod("/a", 0600); }, [](const struct stat &st) { return (st.st_mode & 07777) == 0600; }},
    {"chown", [](Fs &fs) { return geteuid() == 0 ? fs.chown("/a", 65534, 65534) : fs.chown("/a", geteuid(), getegid()); },
     [](const struct stat &st) { return st.st_uid == (geteuid() == 0 ? 65534u : geteuid()) && st.st_nlink == 2; }},
    {"truncate", [](Fs &fs) { return fs.truncate("/a", 2, nullptr); }, [](const struct stat &st) { return st.st_size == 2; }},
    {"utimens",
     [](Fs &fs) {
         struct timespec t[2] = {{1000, 0}, {2000, 0}};
         return fs.utimens("/a", t);
     },
     [](const struct stat &st) { return st.st_mtim.tv_sec == 2000; }},
    {"link", [](Fs &fs) { return fs.link("/a", "/c"); }, [](const struct stat &st) { return st.st_nlink == 3; }},
    {"unlink", [](Fs &fs) { return fs.unlink("/a"); }, [](const struct stat &st) { return st.st_nlink == 1; }},
    {"renameOver", [](Fs &fs) { return fs.rename("/other", "/a", 0); }, [](const struct stat &st) { return st.st_nlink == 1; }},
};

class LinksTest : public testing::TestWithParam<std::tuple<bool, int>> {
protected:
    bool ext = std::get<0>(GetParam());
    const Change &change = kChanges[std::get<1>(GetParam())];
    Scratch root;
    AgentProcess agent;
    std::unique_ptr<Fs> fs;
    std::vector<std::string> stale; // what the kernel was told

    void SetUp() override
    {
        ASSERT_TRUE(agent.Start(ext ? std::vector<std::string>{"xt.term", "-x", "-d", "--"} : std::vector<std::string>{"xt.term", "-d", "--"}))
            << agent.Stderr();
        hostfs::Options o;
        o.root = root.path();
        o.linkTimeout = 5;
        fs = std::make_unique<Fs>(o);
        ASSERT_EQ(fs->attach(agent.Open(), ext), std::nullopt);
        fs->setStaleHandler([this](const std::string &path) { stale.push_back(path); });
    }
};

TEST_P(LinksTest, AChangeThroughOneNameShowsThroughTheOther)
{
    WriteFile(root / "a", "four");
    WriteFile(root / "other", "x");
    ASSERT_EQ(link((root / "a").c_str(), (root / "b").c_str()), 0);
    struct stat st;
    ASSERT_EQ(fs->getattr("/b", &st, nullptr), 0); // both names known to the mount from now on
    ASSERT_EQ(fs->getattr("/a", &st, nullptr), 0);
    ASSERT_EQ(st.st_nlink, 2u);
    ASSERT_EQ(change.apply(*fs), 0);
    EXPECT_EQ(std::count(stale.begin(), stale.end(), "/b"), 1);
    ASSERT_EQ(fs->getattr("/b", &st, nullptr), 0);
    EXPECT_TRUE(change.shows(st)) << "mode " << std::oct << st.st_mode << std::dec << " links " << st.st_nlink
                                  << " size " << st.st_size << " uid " << st.st_uid;
}

INSTANTIATE_TEST_SUITE_P(Calls, LinksTest, testing::Combine(testing::Bool(), testing::Range(0, int(std::size(kChanges)))),
                         [](const auto &row) {
                             return std::string(std::get<0>(row.param) ? "ext_" : "plain_") + kChanges[std::get<1>(row.param)].name;
                         });

} // namespace
