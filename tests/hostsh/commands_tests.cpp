// hostsh's commands as an sftp user types them: batches run against a real agent, their output
// compared byte for byte, the trees they leave checked.
#include <functional>
#include <sys/mount.h>

#include "tests/hostsh/fixture.h"

namespace {

constexpr int64_t k2G = int64_t(1) << 31;

using Steps = std::vector<std::pair<std::string, std::string>>; // a line typed, what it prints
using Tree = std::function<void(const std::string &host, const std::string &local)>;

struct Transcript {
    const char *name;
    std::vector<std::string> agentOptions;
    Tree setup;
    Steps steps; // none: the output is checked by the row's check
    Tree check;
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
    {"options: -p makes parents, -- ends the options, -rf combined; rm takes a directory only with -r", {},
     [](const std::string &host, const std::string &) {
         fs::create_directories(host + "/t/in/deeper");
         Write(host + "/t/in/f", ""), Write(host + "/t/a", "");
     },
     {{"-rm t", "rm: t: Is a directory\n"}, {"rm -r t", ""}, {"mkdir -p tree/x/y/z", ""}, {"mkdir -p tree/x", ""},
      {"ls tree/x/y", "z\n"}, {"mkdir -- -p", ""}, {"ls", "-p\ntree\n"}, {"-mkdir -q x", "mkdir: unknown option -q\nusage: mkdir [-p] DIR...\n"},
      {"-rename a", "usage: rename OLD NEW\n"}, {"rm -rf tree", ""}, {"rmdir -- -p", ""}, {"rm -f nothing", ""}, {"ls", ""}},
     [](const std::string &host, const std::string &) { EXPECT_TRUE(fs::is_empty(host)); }},
    {"without the extension calls: rename of a file only, put -p keeps the mode and says why not the times; "
     "get of a directory", {},
     [](const std::string &host, const std::string &local) {
         Write(host + "/a", "data"), fs::create_directory(host + "/d");
         Write(local + "/l", "l"), chmod((local + "/l").c_str(), 0604);
     },
     {{"rename a b", ""}, {"ls", "b\nd\n"}, {"-rename d e", "rename: the agent does not offer this (start it with -x)\n"},
      {"-get d", "get: d: is a directory (get -r copies directories)\n"},
      {"help rename", "usage: rename OLD NEW\nrename a host path\n"},
      {"put -p l", "put -p: the times are not kept: the agent does not offer this (start it with -x)\n"}},
     [](const std::string &host, const std::string &) { EXPECT_EQ(Stat(host + "/l").st_mode & 07777, 0604u); }},
    {"rename, chown, chgrp and df with -x (the figures of df left out)", {"-x"},
     [](const std::string &host, const std::string &) { fs::create_directory(host + "/d"), Write(host + "/f", ""); },
     {{"rename d e", ""}, {"chown 123 f", ""}, {"chgrp 456 f", ""}, {"-chown x f", "chown: x: not a numeric id\n"},
      {"df -i", "     Inodes        Used       Avail      (root)    %Capacity\n"}},
     [](const std::string &host, const std::string &) {
         EXPECT_TRUE(fs::is_directory(host + "/e"));
         EXPECT_EQ(Stat(host + "/f").st_uid, 123u);
         EXPECT_EQ(Stat(host + "/f").st_gid, 456u);
     }},
    {"local commands: lmkdir [-p], lumask masks what get makes, ! runs a local shell", {},
     [](const std::string &host, const std::string &) { Write(host + "/f", "f"), chmod((host + "/f").c_str(), 0666); },
     {{"lmkdir -p a/b", ""}, {"lmkdir -p a/b", ""}, {"-lmkdir a", "lmkdir: a: File exists\n"}, {"lumask 027", "Local umask: 027\n"},
      {"-lumask 9", "lumask: 9: not an octal mask\n"}, {"get f a/b/g", ""}, {"!echo hi >a/x", ""},
      // a file where -p needs a directory is named, and nothing is made beyond it
      {"-lmkdir -p a/x/y", "lmkdir: a/x: Not a directory\n"},
      {"lmkdir -- -d", ""}},
     [](const std::string &, const std::string &local) {
         EXPECT_EQ(Stat(local + "/a/b/g").st_mode & 07777, 0640u);
         EXPECT_EQ(ReadFile(local + "/a/x"), "hi\n");
         EXPECT_FALSE(fs::exists(local + "/a/x/y"));
         EXPECT_TRUE(fs::is_directory(local + "/-d"));
     }},
    {"ls sorts by name, size and time, reversed, dot files with -a", {},
     [](const std::string &host, const std::string &) {
         Write(host + "/b", "22"), Write(host + "/a", "1"), Write(host + "/c", "333"), Write(host + "/.h", "");
         SetTime(host + "/a", 3000000), SetTime(host + "/b", 1000000), SetTime(host + "/c", 2000000);
     },
     {{"ls", "a\nb\nc\n"}, {"ls -S", "c\nb\na\n"}, {"ls -t", "a\nc\nb\n"}, {"ls -1r", "c\nb\na\n"},
      {"ls -a", ".\n..\n.h\na\nb\nc\n"}},
     kNone},
    {"names from the host shown one to a line, control bytes escaped", {},
     [](const std::string &host, const std::string &) {
         Write(host + "/esc\x1b]0;title\x07x", ""), Write(host + "/new\nline", "");
     },
     {{"ls", "esc\\x1b]0;title\\x07x\nnew\\nline\n"}}, kNone},
    {"-p keeps modes and times both ways; without it the local mask applies", {"-x"},
     [](const std::string &host, const std::string &local) {
         Write(host + "/t", "t"), chmod((host + "/t").c_str(), 0640), SetTime(host + "/t", 1000000000);
         Write(local + "/l", "l"), chmod((local + "/l").c_str(), 0604), SetTime(local + "/l", 1200000000);
     },
     {{"get -p t", ""}, {"get t u", ""}, {"put -p l", ""}},
     [](const std::string &host, const std::string &local) {
         EXPECT_EQ(Stat(local + "/t").st_mtime, 1000000000);
         EXPECT_EQ(Stat(local + "/t").st_mode & 07777, 0640u);
         EXPECT_NE(Stat(local + "/u").st_mtime, 1000000000);
         EXPECT_EQ(Stat(host + "/l").st_mtime, 1200000000);
         EXPECT_EQ(Stat(host + "/l").st_mode & 07777, 0604u);
     }},
    {"reget and reput continue a file whose start matches, and no other", {},
     [](const std::string &host, const std::string &local) {
         Write(host + "/f", Pattern(300000, 1)), Write(local + "/f", Pattern(300000, 1).substr(0, 70001));
         Write(host + "/g", Pattern(200000, 2)), Write(local + "/g", Pattern(70000, 3));
         Write(local + "/p", Pattern(250000, 4)), Write(host + "/p", Pattern(250000, 4).substr(0, 99999));
     },
     {{"reget f", ""}, {"-reget g", "reget: g: does not match the start of g; not continued\n"}, {"put -a p", ""}},
     [](const std::string &host, const std::string &local) {
         EXPECT_TRUE(ReadFile(local + "/f") == Pattern(300000, 1));
         EXPECT_TRUE(ReadFile(local + "/g") == Pattern(70000, 3));
         EXPECT_TRUE(ReadFile(host + "/p") == Pattern(250000, 4));
     }},
    {"files of 2 GiB and more without -x: one clear message", {},
     [](const std::string &host, const std::string &) { Sparse(host + "/big", k2G + 10); },
     {{"-ls -l big", "ls: big: " + kNeedsX + "\n"}, {"-stat big", "stat: big: " + kNeedsX + "\n"},
      {"-get big", "get: big: " + kNeedsX + "\n"}},
     [](const std::string &, const std::string &local) { EXPECT_FALSE(fs::exists(local + "/big")); }},
    {"files of 2 GiB and more with -x: status, and both transfers continued beyond 2 GiB", {"-x"},
     [](const std::string &host, const std::string &local) {
         Sparse(host + "/down", k2G + 200000, k2G + 100000, Pattern(100000, 5)), Sparse(local + "/down", k2G + 50000);
         Sparse(local + "/up", k2G + 300000, k2G + 150000, Pattern(150000, 6)), Sparse(host + "/up", k2G + 70000);
     },
     {}, // "ls -n down\nreget down\nreput up\n"; the listing's date varies
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
        std::string script = t.steps.empty() ? "ls -n down\nreget down\nreput up\n" : "", expected;
        for (const auto &[line, out] : t.steps)
            script += line + "\n", expected += "hostsh> " + line + "\n" + out;
        Result r = Run(Argv({"-b", "-"}), script, true);
        if (t.steps.empty())
            EXPECT_NE(r.out.find(" " + std::to_string(k2G + 200000) + " "), std::string::npos) << r.out;
        else if (expected.find("Inodes") != std::string::npos) // df's figures vary: its header only
            EXPECT_EQ(r.out.substr(0, expected.size()), expected);
        else
            EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.status, 0) << r.out;
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
