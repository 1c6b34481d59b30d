// hostsh's commands as an sftp user types them: batches run against a real agent, their output
// compared byte for byte, the trees they leave checked.
#include <functional>
#include <sys/mount.h>

#include "tests/hostsh/fixture.h"

namespace {

constexpr int64_t k2G = int64_t(1) << 31;

struct Transcript {
    const char *name;
    std::vector<std::string> agentOptions;
    std::function<void(const std::string &host, const std::string &local)> setup;
    std::string script;
    std::string expected; // the whole output, prompts and messages merged
    int status;
    std::function<void(const std::string &host, const std::string &local)> check;
};

void Sparse(const std::string &path, int64_t size, int64_t at = -1, const std::string &data = "")
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    if (at >= 0) {
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), at), ssize_t(data.size()));
    }
    close(fd);
}

std::string Tail(const std::string &path, int64_t from)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(from);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void SetTime(const std::string &path, time_t when)
{
    struct timespec t[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

struct stat Stat(const std::string &path)
{
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

std::string Pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + i / 4099 + static_cast<size_t>(seed)) & 0xff);
    return s;
}

const auto kNone = [](const std::string &, const std::string &) {};
const std::string kNeedsX = "too large for this agent (start it with -x for files of 2 GiB and more)";

const Transcript kTranscripts[] = {
    {"options: -p makes parents, -- ends the options, -rf combined; rm takes a directory only with -r",
     {},
     [](const std::string &host, const std::string &) {
         fs::create_directories(host + "/t/in/deeper");
         Write(host + "/t/in/f", "");
         Write(host + "/t/a", "");
     },
     "-rm t\nrm -r t\nmkdir -p tree/x/y/z\nmkdir -p tree/x\nls tree/x/y\nmkdir -- -p\nls\n-mkdir -q x\n-rename a\n"
     "rm -rf tree\nrmdir -- -p\nrm -f nothing\nls\n",
     "hostsh> -rm t\nrm: t: Is a directory\nhostsh> rm -r t\n"
     "hostsh> mkdir -p tree/x/y/z\nhostsh> mkdir -p tree/x\nhostsh> ls tree/x/y\nz\nhostsh> mkdir -- -p\n"
     "hostsh> ls\n-p\ntree\nhostsh> -mkdir -q x\nmkdir: unknown option -q\nusage: mkdir [-p] DIR...\n"
     "hostsh> -rename a\nusage: rename OLD NEW\nhostsh> rm -rf tree\nhostsh> rmdir -- -p\nhostsh> rm -f nothing\n"
     "hostsh> ls\n",
     0,
     [](const std::string &host, const std::string &) { EXPECT_TRUE(fs::is_empty(host)); }},
    {"without the extension calls: rename of a file only, put -p keeps the mode and says why not the times; "
     "get of a directory",
     {},
     [](const std::string &host, const std::string &local) {
         Write(host + "/a", "data");
         fs::create_directory(host + "/d");
         Write(local + "/l", "l");
         chmod((local + "/l").c_str(), 0604);
     },
     "rename a b\nls\n-rename d e\n-get d\nhelp rename\nput -p l\n",
     "hostsh> rename a b\nhostsh> ls\nb\nd\nhostsh> -rename d e\n"
     "rename: the agent does not offer this (start it with -x)\n"
     "hostsh> -get d\nget: d: is a directory (get -r copies directories)\n"
     "hostsh> help rename\nusage: rename OLD NEW\nrename a host path\n"
     "hostsh> put -p l\nput -p: the times are not kept: the agent does not offer this (start it with -x)\n",
     0,
     [](const std::string &host, const std::string &) { EXPECT_EQ(Stat(host + "/l").st_mode & 07777, 0604u); }},
    {"rename, chown, chgrp and df with -x",
     {"-x"},
     [](const std::string &host, const std::string &) {
         fs::create_directory(host + "/d");
         Write(host + "/f", "");
     },
     "rename d e\nchown 123 f\nchgrp 456 f\n-chown x f\ndf -i\n",
     "hostsh> rename d e\nhostsh> chown 123 f\nhostsh> chgrp 456 f\nhostsh> -chown x f\n"
     "chown: x: not a numeric id\nhostsh> df -i\n     Inodes        Used       Avail      (root)    %Capacity\n",
     0,
     [](const std::string &host, const std::string &) {
         EXPECT_TRUE(fs::is_directory(host + "/e"));
         EXPECT_EQ(Stat(host + "/f").st_uid, 123u);
         EXPECT_EQ(Stat(host + "/f").st_gid, 456u);
     }},
    {"ls sorts by name, size and time, reversed, dot files with -a",
     {},
     [](const std::string &host, const std::string &) {
         Write(host + "/b", "22");
         Write(host + "/a", "1");
         Write(host + "/c", "333");
         Write(host + "/.h", "");
         SetTime(host + "/a", 3000000), SetTime(host + "/b", 1000000), SetTime(host + "/c", 2000000);
     },
     "ls\nls -S\nls -t\nls -1r\nls -a\n",
     "hostsh> ls\na\nb\nc\nhostsh> ls -S\nc\nb\na\nhostsh> ls -t\na\nc\nb\nhostsh> ls -1r\nc\nb\na\n"
     "hostsh> ls -a\n.\n..\n.h\na\nb\nc\n",
     0,
     kNone},
    {"names from the host shown one to a line, control bytes escaped",
     {},
     [](const std::string &host, const std::string &) {
         Write(host + "/esc\x1b]0;title\x07x", "");
         Write(host + "/new\nline", "");
     },
     "ls\n",
     "hostsh> ls\nesc\\x1b]0;title\\x07x\nnew\\nline\n",
     0,
     kNone},
    {"-p keeps modes and times both ways; without it the local mask applies",
     {"-x"},
     [](const std::string &host, const std::string &local) {
         Write(host + "/t", "t");
         chmod((host + "/t").c_str(), 0640);
         SetTime(host + "/t", 1000000000);
         Write(local + "/l", "l");
         chmod((local + "/l").c_str(), 0604);
         SetTime(local + "/l", 1200000000);
     },
     "get -p t\nget t u\nput -p l\n",
     "hostsh> get -p t\nhostsh> get t u\nhostsh> put -p l\n",
     0,
     [](const std::string &host, const std::string &local) {
         EXPECT_EQ(Stat(local + "/t").st_mtime, 1000000000);
         EXPECT_EQ(Stat(local + "/t").st_mode & 07777, 0640u);
         EXPECT_NE(Stat(local + "/u").st_mtime, 1000000000);
         EXPECT_EQ(Stat(host + "/l").st_mtime, 1200000000);
         EXPECT_EQ(Stat(host + "/l").st_mode & 07777, 0604u);
     }},
    {"reget and reput continue a file whose start matches, and no other",
     {},
     [](const std::string &host, const std::string &local) {
         Write(host + "/f", Pattern(300000, 1));
         Write(local + "/f", Pattern(300000, 1).substr(0, 70001));
         Write(host + "/g", Pattern(200000, 2));
         Write(local + "/g", Pattern(70000, 3));
         Write(local + "/p", Pattern(250000, 4));
         Write(host + "/p", Pattern(250000, 4).substr(0, 99999));
     },
     "reget f\n-reget g\nput -a p\n",
     "hostsh> reget f\nhostsh> -reget g\nreget: g: does not match the start of g; not continued\nhostsh> put -a p\n",
     0,
     [](const std::string &host, const std::string &local) {
         EXPECT_TRUE(ReadFile(local + "/f") == Pattern(300000, 1));
         EXPECT_TRUE(ReadFile(local + "/g") == Pattern(70000, 3));
         EXPECT_TRUE(ReadFile(host + "/p") == Pattern(250000, 4));
     }},
    {"files of 2 GiB and more without -x: one clear message",
     {},
     [](const std::string &host, const std::string &) { Sparse(host + "/big", k2G + 10); },
     "-ls -l big\n-stat big\n-get big\n",
     "hostsh> -ls -l big\nls: big: " + kNeedsX + "\nhostsh> -stat big\nstat: big: " + kNeedsX +
         "\nhostsh> -get big\nget: big: " + kNeedsX + "\n",
     0,
     [](const std::string &, const std::string &local) { EXPECT_FALSE(fs::exists(local + "/big")); }},
    {"files of 2 GiB and more with -x: status, and both transfers continued beyond 2 GiB",
     {"-x"},
     [](const std::string &host, const std::string &local) {
         Sparse(host + "/down", k2G + 200000, k2G + 100000, Pattern(100000, 5));
         Sparse(local + "/down", k2G + 50000);
         Sparse(local + "/up", k2G + 300000, k2G + 150000, Pattern(150000, 6));
         Sparse(host + "/up", k2G + 70000);
     },
     "ls -n down\nreget down\nreput up\n",
     "", // the listing's date varies: checked below
     0,
     [](const std::string &host, const std::string &local) {
         EXPECT_EQ(fs::file_size(local + "/down"), uint64_t(k2G + 200000));
         EXPECT_TRUE(Tail(local + "/down", k2G + 100000) == Pattern(100000, 5));
         EXPECT_EQ(fs::file_size(host + "/up"), uint64_t(k2G + 300000));
         EXPECT_TRUE(Tail(host + "/up", k2G + 150000) == Pattern(150000, 6));
     }},
};

TEST_F(Hostsh, SftpTranscripts)
{
    for (const Transcript &t : kTranscripts) {
        SCOPED_TRACE(t.name);
        for (const std::string &dir : {host, local})
            for (const auto &e : fs::directory_iterator(dir))
                fs::remove_all(e.path());
        t.setup(host, local);
        StartAgent(t.agentOptions);
        Result r = Run(Argv({"-b", "-"}), t.script, true);
        if (t.expected.empty())
            EXPECT_NE(r.out.find(" " + std::to_string(k2G + 200000) + " "), std::string::npos) << r.out;
        else if (t.expected.find("Inodes") != std::string::npos)
            EXPECT_EQ(r.out.substr(0, t.expected.size()), t.expected);
        else
            EXPECT_EQ(r.out, t.expected);
        EXPECT_EQ(r.status, t.status) << r.out;
        t.check(host, local);
        agent->Wait(10);
    }
}

// A put that fills the disk reports the host's errno and removes its partial file; put -r stops
// at the first failure unless its line begins with '-'. Small files go a group at a time: when
// the disk fills in the middle of a group, one message, and no file is left cut short or empty.
TEST_F(Hostsh, FullDisk)
{
    std::string small = host + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{small};
    Write(local + "/big", Pattern(1500000, 7));
    fs::create_directory(local + "/tree");
    for (const char *f : {"f1", "f2", "f3"})
        Write(local + "/tree/" + f, Pattern(600000, 8));
    fs::create_directory(local + "/many");
    for (int i = 0; i < 40; i++)
        Write(local + "/many/f" + std::to_string(100 + i), Pattern(50000, i));
    StartAgent();
    Result r = Run(Argv({"-b", "-"}), "-put big small/big\nput -r tree small/tree\necho not reached\n", true);
    EXPECT_EQ(r.out, "hostsh> -put big small/big\nput: small/big: No space left on device\n"
                     "hostsh> put -r tree small/tree\nput: small/tree/f2: No space left on device\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(small + "/big"));
    EXPECT_TRUE(fs::exists(small + "/tree/f1"));
    EXPECT_FALSE(fs::exists(small + "/tree/f2"));
    EXPECT_FALSE(fs::exists(small + "/tree/f3"));
    agent->Wait(10);

    fs::remove_all(small + "/tree");
    StartAgent();
    r = Run(Argv({"-q", "-b", "-"}), "put -r many small/many\n", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_NE(r.out.find(": No space left on device\n"), std::string::npos) << r.out;
    int whole = 0;
    for (const auto &e : fs::directory_iterator(small + "/many")) {
        EXPECT_EQ(fs::file_size(e.path()), 50000u) << e.path();
        whole++;
    }
    EXPECT_GT(whole, 5);
    EXPECT_LT(whole, 40);
}

// Sessions without a terminal: commands from a pipe without -b all run and a failure shows in
// the exit status; with the commands in a file, run passes standard input to the host program,
// its standard error apart; --progress draws no line where there is no terminal.
TEST_F(Hostsh, PipedSessionTellsOfFailure)
{
    Write(local + "/in.txt", "b\na\n");
    Write(root + "/script", "run sh -c 'cat; echo to err >&2'\n");
    Write(host + "/f", std::string(1 << 20, 'f'));
    const struct {
        std::vector<std::string> args;
        std::string input, out, err;
        int status;
    } rows[] = {
        {{}, "ls nothing\nrun sort < in.txt\n", "a\nb\n", "ls: nothing: No such file or directory\n", 1},
        {{"-q", "-b", root + "/script"}, "typed here\n", "typed here\n", "to err\n", 0},
        {{"--progress", "-b", "-"}, "get f\n", "hostsh> get f\n", "", 0},
    };
    for (const auto &row : rows) {
        StartAgent();
        Result r = Run(Argv(row.args), row.input);
        EXPECT_EQ(r.out, row.out) << row.input;
        EXPECT_EQ(r.err, row.err) << row.input;
        EXPECT_EQ(r.status, row.status) << row.input;
        agent->Wait(10);
    }
    EXPECT_EQ(ReadFile(local + "/f").size(), 1u << 20);
}

} // namespace
