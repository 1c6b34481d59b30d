// hostrun against a daemon-mode agent: ordinary programs run through it on host paths (under
// /host) and directly on the same tree must print the same; and the pure path functions.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "hostrun/paths.h"
#include "tests/agent_process.h"

namespace {

struct Outcome {
    int status = -1; // exit status, 256 + signal, -1 when it ran out of time
    std::string output;
};

// Runs argv with env added, standard output and error together, for at most seconds.
Outcome Capture(const std::vector<std::string> &argv, const std::vector<std::string> &env, double seconds = 30)
{
    Outcome r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        for (const auto &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    int waited = 0;
    for (;;) {
        struct pollfd pf = {p[0], POLLIN, 0};
        int n = poll(&pf, 1, 100);
        if (n > 0) {
            char buf[8192];
            ssize_t got = read(p[0], buf, sizeof buf);
            if (got <= 0)
                break;
            r.output.append(buf, static_cast<size_t>(got));
        } else if ((waited += 100) > seconds * 1000) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(p[0]);
    int st;
    if (waitpid(pid, &st, 0) == pid && waited <= seconds * 1000)
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 256 + WTERMSIG(st);
    return r;
}

void Write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string Replace(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// A scratch directory with a host tree and a local directory, removed afterwards.
struct Scratch {
    std::string dir, tree, local;
    Scratch()
    {
        char tmpl[] = "/tmp/hostrun-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
            return;
        }
        dir = tmpl;
        tree = dir + "/tree";
        local = dir + "/local";
        for (const char *d : {"/tree", "/tree/sub", "/tree/deep", "/tree/deep/er", "/tree/empty", "/local"})
            mkdir((dir + d).c_str(), 0755);
        Write(tree + "/a.txt", "hello\nworld\n");
        std::string numbers, big;
        for (int i = 1; i <= 300; i++)
            numbers += std::to_string(i * 7919 % 1000) + "\n";
        for (int i = 0; i < 9000; i++)
            big += "line " + std::to_string(i) + " of a file larger than a few messages\n";
        Write(tree + "/sub/n.txt", numbers);
        Write(tree + "/deep/er/big.txt", big);
        Write(tree + "/with space.txt", "spaced\n");
        Write(tree + "/zero", "");
        symlink("a.txt", (tree + "/lnk").c_str());
        Write(local + "/local.txt", "stays here\n");
    }
    ~Scratch()
    {
        if (!dir.empty())
            Capture({"rm", "-rf", dir}, {});
    }
};

struct Row {
    const char *name;
    const char *command; // sh -c text; $D is the tree (under /host through hostrun), $L a local dir
    bool extensionsOnly;  // needs what only the extension calls carry
};

const Row kRows[] = {
    {"ls", "ls $D $D/sub", false},
    {"ls_lR", "ls -lR $D", false},
    {"ls_a_i_sizes", "ls -aF $D; ls -s $D/deep/er", false},
    {"cat", "cat $D/a.txt $D/sub/n.txt \"$D/with space.txt\" $D/zero", false},
    {"wc", "wc $D/sub/n.txt $D/deep/er/big.txt", false},
    {"head_tail", "head -n 3 $D/sub/n.txt; tail -n 4 $D/deep/er/big.txt; tail -c 20 $D/a.txt", false},
    {"sort", "sort -n $D/sub/n.txt | uniq -c | head; sort -r $D/a.txt", false},
    {"grep_r", "grep -rn 'of a file larger than a few messages$' $D | tail -2; grep -rl o $D | sort", false},
    {"find", "find $D | sort; find $D -type f -name '*.txt' | sort; find $D -type d | sort; "
             "find $D -type l; find $D -size +100k; find $D -empty | sort", false},
    {"stat", "stat -c '%n %s %F %a %h %u %g %Y' $D/a.txt $D/sub $D/lnk $D/zero; stat -L -c '%n %s %F' $D/lnk", false},
    {"du", "du -s $D; du -a $D | sort -k2", true},
    {"du_bytes", "du -sb $D", false},
    {"cp_from_host", "cp -r $D/sub $L/copy && cat $L/copy/n.txt | md5sum && rm -r $L/copy", false},
    {"cp_to_host", "cp $L/local.txt $D/new.txt && cat $D/new.txt && cp $D/deep/er/big.txt $D/big2 && "
                   "cmp $D/big2 $D/deep/er/big.txt && rm $D/new.txt $D/big2 && ls $D", false},
    {"diff_r", "cp -r $D $L/mirror && diff -r $D $L/mirror && echo same; echo x >> $L/mirror/a.txt; "
               "diff -r $D $L/mirror; rm -r $L/mirror", false},
    {"tar", "tar cf - -C $D . | tar tf - | sort; tar cf - -C $D sub | tar xOf - sub/n.txt | md5sum", false},
    {"python", "python3 -c \"import os,sys\nd=sys.argv[1]\nprint(sorted(os.listdir(d)))\n"
               "print(open(os.path.join(d,'a.txt')).read())\ns=os.stat(os.path.join(d,'deep/er/big.txt'))\n"
               "print(s.st_size, oct(s.st_mode), os.path.isdir(d+'/sub'), os.path.exists(d+'/nope'))\n"
               "print(sorted(e.name for e in os.scandir(d) if e.is_dir()))\nprint(os.path.realpath(d+'/lnk'))\n"
               "print(sum(len(f) for _,_,f in os.walk(d)))\nwith open(d+'/deep/er/big.txt','rb') as f:\n"
               " f.seek(1000); print(f.read(30)); print(f.tell())\" $D", false},
    {"shell_cd_redirect", "cd $D/sub && pwd && wc -l < n.txt && ls .. && cd ../deep && pwd -P && "
                          "echo made > $D/made && cat $D/made && rm $D/made", false},
    {"make_and_move", "mkdir $D/nd && echo x > $D/nd/f && mv $D/nd/f $D/nd/g && ls $D/nd && chmod 600 $D/nd/g && "
                      "stat -c %a $D/nd/g && ln -s g $D/nd/s && readlink $D/nd/s && rm -r $D/nd && ls $D", false},
    {"errors", "cat $D/missing; ls $D/a.txt/x; rmdir $D/sub; mkdir $D/sub; cd $D/a.txt; echo $?", false},
    {"local_untouched", "cat $L/local.txt; ls $L; ls /host-not $L/nothing 2>&1 | sed 's/^ls: //'", false},
    {"fork_child", "python3 -c \"import os,sys\npid=os.fork()\nif pid==0:\n print(open(sys.argv[1]+'/a.txt').read()"
                   ".split()[1]); sys.stdout.flush(); os._exit(0)\nos.waitpid(pid,0)\n"
                   "print(len(open(sys.argv[1]+'/sub/n.txt').read()))\" $D", false},
};

struct Mode {
    const char *name;
    bool extensions;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }
void PrintTo(const Mode &mode, std::ostream *os) { *os << mode.name; }

class ThroughHostrun : public ::testing::TestWithParam<std::tuple<Row, Mode>> {};

TEST_P(ThroughHostrun, PrintsWhatTheDirectRunPrints)
{
    const Row &row = std::get<0>(GetParam());
    const Mode &mode = std::get<1>(GetParam());
    if (row.extensionsOnly && !mode.extensions)
        GTEST_SKIP() << "the plain calls carry no block counts";
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    AgentProcess agent;
    std::vector<std::string> argv = {"xt.term"};
    if (mode.extensions)
        argv.push_back("-x");
    argv.insert(argv.end(), {"-d", "--"});
    ASSERT_TRUE(agent.Start(argv)) << agent.Stderr();
    std::string hostTree = "/host" + s.tree;
    Outcome through = Capture({HOSTRUN_PATH, "127.0.0.1:" + std::to_string(agent.port), "sh", "-c", row.command},
                          {"D=" + hostTree, "L=" + s.local, "LC_ALL=C"});
    Outcome direct = Capture({"sh", "-c", row.command}, {"D=" + s.tree, "L=" + s.local, "LC_ALL=C"});
    EXPECT_EQ(Replace(through.output, hostTree, s.tree), direct.output) << row.command;
    EXPECT_EQ(through.status, direct.status);
    // The agent ends cleanly when the last process holding the link is gone: no request was cut.
    EXPECT_EQ(agent.Wait(10), 0) << agent.Stderr();
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<Row, Mode>> &info)
{
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Programs, ThroughHostrun,
                         ::testing::Combine(::testing::ValuesIn(kRows),
                                            ::testing::Values(Mode{"plain", false}, Mode{"extensions", true})),
                         RowName);

// Four threads read host files at once over the one link; the reader checks every byte.
TEST(Hostrun, FourThreadsShareTheLink)
{
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-d", "--"})) << agent.Stderr();
    Outcome r = Capture({HOSTRUN_PATH, "127.0.0.1:" + std::to_string(agent.port), THREADS_PATH, "/host" + s.tree + "/deep/er/big.txt",
                     s.tree + "/deep/er/big.txt"},
                    {});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "4 threads read the same bytes as here\n");
    EXPECT_EQ(agent.Wait(10), 0) << agent.Stderr();
}

// Programs that no preloaded library can reach are refused before any connection is made.
TEST(Hostrun, RefusesWhatCannotBePreloaded)
{
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    std::string setuid = s.dir + "/setuid-true";
    ASSERT_EQ(Capture({"cp", "/bin/true", setuid}, {}).status, 0);
    chmod(setuid.c_str(), 04755);
    std::string script = s.dir + "/script";
    Write(script, std::string("#!") + STATIC_PATH + "\n");
    chmod(script.c_str(), 0755);
    const struct {
        std::string program;
        const char *why;
    } rows[] = {
        {STATIC_PATH, "is statically linked"},
        {setuid, "is set-user-ID or set-group-ID"},
        {script, "is a script for " STATIC_PATH ", which is statically linked"},
        {"/etc/hostname", "is neither an ELF program nor a script"},
    };
    for (const auto &row : rows) {
        Outcome r = Capture({HOSTRUN_PATH, "127.0.0.1:9", row.program}, {});
        EXPECT_EQ(r.status, 126) << row.program;
        EXPECT_NE(r.output.find(row.why), std::string::npos) << r.output;
    }
    EXPECT_EQ(Capture({HOSTRUN_PATH, "127.0.0.1:9", "no-such-program-here"}, {}).status, 127);
    EXPECT_EQ(Capture({HOSTRUN_PATH, "nothing", "true"}, {}).status, 2);
}

TEST(HostrunPaths, Classification)
{
    const struct {
        const char *prefix;
        const char *path;
        const char *host; // nullptr: local
    } rows[] = {
        {"/host", "/host", "/"},           {"/host", "/host/", "/"},
        {"/host", "/host/etc/passwd", "/etc/passwd"},
        {"/host", "/hostile", nullptr},    {"/host", "/etc/passwd", nullptr},
        {"/host", "/host/../etc", nullptr}, {"/host", "//host//a/./b/../c", "/a/c"},
        {"/host", "/host/a/", "/a/"},      {"/mnt/h/", "/mnt/h/x", "/x"},
        {"/", "/etc", "/etc"},             {"/", "/proc/self/fd", nullptr},
        {"/", "/dev/null", nullptr},       {"/", "/devices", "/devices"},
    };
    for (const auto &row : rows) {
        hostrun::PathMap map;
        map.prefix = row.prefix;
        map.all = std::string(row.prefix) == "/";
        auto got = hostrun::HostPathOf(map, row.path);
        if (row.host) {
            ASSERT_TRUE(got) << row.prefix << " " << row.path;
            EXPECT_EQ(*got, row.host);
            EXPECT_EQ(hostrun::HostPathOf(map, hostrun::DisplayPath(map, *got)), got);
        } else
            EXPECT_FALSE(got) << row.prefix << " " << row.path;
    }
    EXPECT_EQ(hostrun::JoinPath("/a/b", "../../../c"), "/c");
    EXPECT_EQ(hostrun::JoinPath("/a/b", "/x/./y"), "/x/y");
    EXPECT_EQ(hostrun::JoinPath("/", ""), "/");
}

TEST(HostrunPaths, PlaceholderRecords)
{
    hostrun::Placeholder p{"12345", 7, 4242, O_RDWR | O_APPEND, "/dir/with space\nand newline"};
    auto back = hostrun::DecodePlaceholder(hostrun::EncodePlaceholder(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->session, p.session);
    EXPECT_EQ(back->hostFd, 7);
    EXPECT_EQ(back->owner, 4242);
    EXPECT_EQ(back->flags, p.flags);
    EXPECT_EQ(back->path, p.path);
    for (const char *bad : {"", "hostrun1 ", "hostrun1 s 1 2\n/x", "hostrun1 s 1 2 3\nrelative", "hostrun2 s 1 2 3\n/x",
                            "hostrun1 s 1 x 3\n/x", "hostrun1 s 1 2 3 4\n/x"})
        EXPECT_FALSE(hostrun::DecodePlaceholder(bad)) << bad;
}

} // namespace
