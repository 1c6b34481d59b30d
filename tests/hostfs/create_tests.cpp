// Files made through the mount in a directory it made. With the extension calls the create is
// answered at once and the file made on the host, with its data, at its first flush; whatever
// else needs the host's file makes it there first. Without them, or with nodefer, it is made at
// its create, as ever.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>

#include "hostfs/fs.h"
#include "tests/agent_process.h"

namespace hl = hostlink;
using hostfs::FileHandle;
using hostfs::Fs;

namespace {

// Without the extension calls, with them, and with them and nodefer.
class CreateTest : public testing::TestWithParam<int> {
protected:
    Scratch root;
    std::unique_ptr<AgentProcess> agent;
    std::unique_ptr<Fs> fs;
    bool deferring() const { return GetParam() == 1; }

    void SetUp() override
    {
        hostfs::Options o;
        o.nodefer = GetParam() == 2;
        agent = std::make_unique<AgentProcess>();
        ASSERT_TRUE(agent->Start({"xt.term", "-x", "-d", "--"})) << agent->Stderr();
        o.root = root.path();
        fs = std::make_unique<Fs>(o);
        ASSERT_EQ(fs->attach(agent->Open(), GetParam() != 0), std::nullopt);
        ASSERT_EQ(fs->mkdir("/d", 0755), 0);
    }
    FileHandle *create(const char *path)
    {
        FileHandle *fh = nullptr;
        EXPECT_EQ(fs->create(path, 0640, O_RDWR | O_CREAT, &fh), 0) << path;
        return fh;
    }
    int put(FileHandle *fh, std::string_view data, off_t off) { return fs->write(fh, data.data(), data.size(), off); }
    bool onHost(const char *name) { return std::filesystem::exists(root / name); }
};

TEST_P(CreateTest, ASmallFileArrivesWholeAtItsClose)
{
    FileHandle *fh = create("/d/f");
    EXPECT_EQ(onHost("d/f"), !deferring());
    EXPECT_EQ(put(fh, "abc", 0), 3);
    struct stat st;
    ASSERT_EQ(fs->getattr("/d/f", &st, nullptr), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0640u);
    EXPECT_EQ(st.st_size, 3);
    ASSERT_EQ(fs->getattr(nullptr, &st, fh), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(fs->flush(fh), 0);
    EXPECT_EQ(ReadFile(root / "d/f"), "abc");
    EXPECT_EQ(fs->release(fh), 0);
    struct stat host;
    ASSERT_EQ(lstat((root / "d/f").c_str(), &host), 0);
    EXPECT_EQ(host.st_mode, S_IFREG | 0640u);
    ASSERT_EQ(fs->getattr("/d/f", &st, nullptr), 0);
    EXPECT_EQ(st.st_ino, host.st_ino); // the host's own status from the close on
}

// Whatever needs the host's file makes it there before it goes on; the close then closes it.
TEST_P(CreateTest, WhatNeedsTheHostsFileMakesItFirst)
{
    const std::string big(70000, 'b'); // more than one request carries
    struct Row {
        const char *name;
        std::function<int(Fs &, FileHandle *)> op;
        const char *hostName; // where the file is on the host after op
        std::string content;  // after the close
    } rows[] = {
        {"fsync", [](Fs &f, FileHandle *fh) { return f.fsync(fh, false); }, "d/f", "abc"},
        {"read", [](Fs &f, FileHandle *fh) { char b[8]; return f.read(fh, b, 8, 0) == 3 ? 0 : -1; }, "d/f", "abc"},
        {"a write beyond the kept block", [&](Fs &f, FileHandle *fh) { return f.write(fh, big.data(), big.size(), 3) == 70000 ? 0 : -1; },
         "d/f", "abc" + big},
        {"listing", [](Fs &f, FileHandle *) { hostfs::Listing l; return f.list("/d", l) == 0 && l.size() == 3 ? 0 : -1; }, "d/f", "abc"},
        {"rename", [](Fs &f, FileHandle *) { return f.rename("/d/f", "/d/g", 0); }, "d/g", "abc"},
        {"truncate", [](Fs &f, FileHandle *fh) { return f.truncate("/d/f", 2, fh); }, "d/f", "ab"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root / "d");
        ASSERT_EQ(fs->mkdir("/d", 0755), 0);
        FileHandle *fh = create("/d/f");
        EXPECT_EQ(put(fh, "abc", 0), 3);
        EXPECT_EQ(row.op(*fs, fh), 0);
        EXPECT_TRUE(onHost(row.hostName));
        EXPECT_EQ(fs->flush(fh), 0);
        EXPECT_EQ(fs->release(fh), 0);
        EXPECT_EQ(ReadFile(root / row.hostName), row.content);
    }
}

// A name made on the host between the create and the close is not written over: the close
// fails, whether the file went to the host at the close or before.
class DeferTest : public CreateTest {};
TEST_P(DeferTest, ANameTheHostMadeMeanwhileFailsTheClose)
{
    ASSERT_TRUE(deferring());
    for (bool early : {false, true}) {
        SCOPED_TRACE(early ? "made before the close" : "made at the close");
        std::filesystem::remove_all(root / "d");
        ASSERT_EQ(fs->mkdir("/d", 0755), 0);
        FileHandle *fh = create("/d/f");
        EXPECT_EQ(put(fh, "mine", 0), 4);
        WriteFile(root / "d/f", "theirs");
        hostfs::Listing l;
        if (early) {
            EXPECT_EQ(fs->list("/d", l), 0);
        }
        EXPECT_EQ(fs->flush(fh), -EEXIST);
        EXPECT_EQ(fs->flush(fh), -EIO);
        EXPECT_EQ(fs->release(fh), 0);
        EXPECT_EQ(ReadFile(root / "d/f"), "theirs");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, CreateTest, testing::Values(0, 1, 2), [](const auto &i) {
    return std::string(i.param == 0 ? "Plain" : i.param == 1 ? "Deferred" : "Nodefer");
});
INSTANTIATE_TEST_SUITE_P(Modes, DeferTest, testing::Values(1), [](const auto &) { return std::string("Deferred"); });

} // namespace
