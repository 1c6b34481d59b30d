// The real hostsh binary against a daemon-mode agent whose working directory is a scratch tree.
#include <poll.h>
#include <pty.h>

#include "tests/hostsh/fixture.h"

namespace {

TEST_F(Hostsh, OptionsWithoutAgent)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        const char *out, *err;
    } rows[] = {
        {{"--version"}, 0, "hostsh ", ""},
        {{"-h"}, 0, "usage: hostsh", ""},
        {{}, 2, "", "usage: hostsh"},
        {{"-x", "h:1"}, 2, "", "hostsh: unknown option -x"},
        {{"nohost"}, 2, "", "hostsh: nohost is not HOST:PORT"},
        {{"-peer", "99999"}, 2, "", "hostsh: bad port number 99999"},
        {{"-b"}, 2, "", "hostsh: -b needs"},
    };
    for (const Row &row : rows) {
        std::vector<std::string> argv = row.args;
        argv.insert(argv.begin(), HOSTSH_PATH);
        Result r = Run(argv, "");
        EXPECT_EQ(r.status, row.status) << argv.size();
        EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << r.out;
        EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << r.err;
    }
}

// Started as the agent's terminal client through the remote shell: with a batch it leaves the
// remote shell, connects back and runs it, its output in the log; with neither terminal nor batch
// it says so through the remote shell, and the agent serves no client that is not there.
TEST_F(Hostsh, LaunchedByTheAgent)
{
    std::string bin = root + "/bin", dir = host;
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(symlink(HOSTSH_PATH, (bin + "/hostsh").c_str()), 0);
    ASSERT_EQ(symlink(LOOPSH_PATH, (bin + "/loopsh").c_str()), 0);
    Write(root + "/script", "pwd\nrun echo from the host\n");
    Write(host + "/file", "");
    const char *path = getenv("PATH");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, log;
    } rows[] = {
        {{"-b", root + "/script"}, 0, "",
         "hostsh> pwd\nRemote working directory: " + host + "\nhostsh> run echo from the host\nfrom the host\n"},
        {{}, 1, "hostsh: no terminal here to work on: start it with -- -tty $(tty), or give commands with -b FILE\n", ""},
    };
    for (const auto &row : rows) {
        fs::remove(root + "/log");
        AgentProcess launcher;
        launcher.beforeExec = [dir] {
            if (chdir(dir.c_str()) != 0)
                _exit(126);
        };
        std::vector<std::string> argv = {"xt.hostsh", "-rloopsh", "-h127.0.0.1", "-nfs", "--"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ASSERT_TRUE(launcher.Start(argv, {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin"), "HOSTSH_LOG=" + root + "/log"},
                                   false));
        EXPECT_EQ(launcher.Wait(30), row.status) << launcher.Stderr();
        EXPECT_EQ(launcher.Stdout(), row.out);
        EXPECT_EQ(ReadFile(root + "/log"), row.log);
        EXPECT_EQ(fs::exists(root + "/log"), !row.log.empty());
    }
}

TEST_F(Hostsh, BatchTranscript)
{
    ASSERT_EQ(mkdir((host + "/docs").c_str(), 0755), 0);
    Write(host + "/docs/readme.txt", "hello\n");
    Write(host + "/docs/notes.md", "notes\n");
    Write(host + "/docs/b.txt", "bee\n");
    Write(local + "/up.txt", "from here\n");
    StartAgent();
    const std::pair<std::string, std::string> steps[] = { // a line typed, what it prints
        {"ls", "docs\n"}, {"cd docs", ""}, {"pwd", "Remote working directory: " + host + "/docs\n"},
        {"ls *.txt ../do*/*.md", "b.txt\nreadme.txt\n../docs/notes.md\n"}, {"cat readme.txt b.txt", "hello\nbee\n"},
        {"mkdir new", ""}, {"put up.txt new", ""}, {"ln -s up.txt new/link", ""}, {"readlink new/link", "up.txt\n"},
        {"ls new", "link\nup.txt\n"}, {"chmod 600 new/up.txt", ""}, {"-rmdir new", "rmdir: new: Directory not empty\n"},
        {"rm new/*", ""}, {"rmdir new", ""}, {"  # a comment", ""}, {"setenv GREETING='hi there'", ""},
        {"env GREETING", "hi there\n"}, {"-run sh -c 'echo to err >&2; exit 4'", "to err\nrun: sh: exit status 4\n"},
        {"echo \"status $?\"", "status 4\n"}, {"run echo a  'b  c'", "a b  c\n"}, {"get readme.txt got.txt", ""},
        {"lls", "got.txt\nup.txt\n"}, {"-frobnicate", "frobnicate: unknown command (type \"help\" for the list)\n"},
        {"-get /nonexistent", "get: /nonexistent: No such file or directory\n"},
        {"cat missing.txt", "cat: missing.txt: No such file or directory\n"},
    };
    std::string script, expected;
    for (const auto &[line, out] : steps)
        script += line + "\n", expected += "hostsh> " + line + "\n" + out;
    Result r = Run(Argv({"-b", "-"}), script + "echo not reached\n", true);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(local + "/got.txt"), "hello\n");
    EXPECT_FALSE(fs::exists(host + "/docs/new"));
    EXPECT_EQ(agent->Wait(10), 0);
}

// Trees with links, copied both ways whole, and every byte value in one file and in a tree.
TEST_F(Hostsh, RecursiveTreesWithLinksAndEveryByteValue)
{
    std::string data;
    for (int i = 0; data.size() < 3 * 65508 + 1001; i++)
        data += static_cast<char>((i * 7 + i / 256) & 0xff);
    std::string t = local + "/tree";
    for (const char *d : {"", "/sub", "/sub/deeper", "/empty-dir"})
        ASSERT_EQ(mkdir((t + d).c_str(), 0755), 0);
    Write(t + "/a.txt", "a\n");
    Write(t + "/empty", "");
    Write(t + "/sub/big", std::string(300000, 'x'));
    Write(t + "/sub/deeper/c", "c");
    Write(t + "/bytes", data);
    ASSERT_EQ(symlink("a.txt", (t + "/rel").c_str()), 0);
    ASSERT_EQ(symlink("../missing", (t + "/sub/dangling").c_str()), 0);
    ASSERT_EQ(symlink("sub", (t + "/dirlink").c_str()), 0);
    StartAgent();
    Result r = Run(Argv({"-q", "-b", "-"}), "put -r tree up\nget -r up back\nget -r up\nput tree/bytes one\nget one\nquit 3\n");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    for (const std::string &copy : {host + "/up", local + "/back", local + "/up"}) {
        std::string cmd = "diff -r --no-dereference " + t + " " + copy + " >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0) << copy;
    }
    EXPECT_TRUE(ReadFile(host + "/one") == data);
    EXPECT_TRUE(ReadFile(local + "/one") == data);
}

// A terminal session: the prompt, completion of a host path, and the progress line.
TEST_F(Hostsh, TerminalSession)
{
    ASSERT_EQ(mkdir((host + "/subdir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((host + "/subdir/sp ace").c_str(), 0755), 0);
    Write(host + "/subdir/big.bin", std::string(1 << 20, 'z'));
    StartAgent();
    std::vector<std::string> argv = Argv({});
    std::string state = root + "/state";
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("TERM", "dumb", 1);
        setenv("XDG_STATE_HOME", state.c_str(), 1);
        if (chdir(local.c_str()) != 0)
            _exit(125);
        execl(argv[0].c_str(), argv[0].c_str(), argv[1].c_str(), nullptr);
        _exit(127);
    }
    std::string seen;
    auto until = [&](const std::string &what) {
        return WaitUntil([&] {
            struct pollfd p = {master, POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 100) == 1 ? read(master, buf, sizeof buf) : 0;
            seen.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            return seen.find(what) != std::string::npos;
        }, 20);
    };
    auto type = [&](const std::string &keys) { ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size())); };
    EXPECT_TRUE(until("hostsh> ")) << seen;
    struct Step {
        bool fresh; // forget what was seen before
        const char *keys, *wait;
    } steps[] = {
        {false, "cd sub\t", "subdir/"}, {false, "\n", "hostsh> "},
        {true, "get big\t", "big.bin"}, {true, "\n", "100%"}, {false, "", "hostsh> "}, {false, "", "\rbig.bin"},
        // A name with a blank is inserted quoted, and the command takes it whole.
        {true, "cd sp\t", "sp\\ ace/"}, {false, "\npwd\n", "/sp ace\r\n"},
    };
    for (const Step &step : steps) {
        if (step.fresh)
            seen.clear();
        type(step.keys);
        EXPECT_TRUE(until(step.wait)) << step.keys << ": " << seen;
    }
    // run reads the terminal until its end (Ctrl-D), then the prompt is back.
    seen.clear();
    type("run tr a-z A-Z\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    type("typed line\n\x04");
    EXPECT_TRUE(until("TYPED LINE")) << seen;
    EXPECT_TRUE(until("hostsh> ")) << seen;
    type("quit\n");
    EXPECT_EQ(WaitFor(pid, 20), 0);
    close(master);
    EXPECT_EQ(ReadFile(local + "/big.bin").size(), 1u << 20);
    EXPECT_NE(ReadFile(state + "/hostsh/history").find("big.bin"), std::string::npos);
}

TEST_F(Hostsh, LostAgentMidTransfer)
{
    ASSERT_EQ(mkfifo((host + "/pipe").c_str(), 0600), 0);
    StartAgent();
    pid_t pid = Spawn(Argv({"-q", "-b", "-"}), "get pipe\necho not reached\n", false);
    // The agent has opened the pipe once a writer can open it.
    int w = -1;
    for (auto deadline = Clock::now() + std::chrono::seconds(20); w < 0 && Clock::now() < deadline;) {
        w = open((host + "/pipe").c_str(), O_WRONLY | O_NONBLOCK);
        if (w < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(w, 0);
    std::string chunk(100000, 'p');
    EXPECT_GT(write(w, chunk.data(), chunk.size()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_GT(agent->pid, 0);
    kill(agent->pid, SIGKILL);
    EXPECT_EQ(WaitFor(pid, 20), 2);
    close(w);
    std::string err = ReadFile(root + "/err");
    EXPECT_EQ(err.rfind("hostsh: lost the connection to the host agent", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(ReadFile(root + "/out"), "");
}

TEST_F(Hostsh, LongListingAndGetWaitAHandfulOfTimes)
{
    ASSERT_EQ(mkdir((host + "/many").c_str(), 0755), 0);
    for (int i = 0; i < 3000; i++)
        Write(host + "/many/f" + std::to_string(i), i ? "" : "data");
    StartAgent();
    Result r = Run(Argv({"-q", "-b", "-"}), "ls -l many\nget many/f0 one\n", false, {"HOSTSH_STATS=1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3000);
    EXPECT_EQ(ReadFile(local + "/one"), "data");
    int waits = -1, getWaits = -1;
    ASSERT_EQ(sscanf(r.err.c_str(), "hostsh: %d round trips\nhostsh: %d round trips", &waits, &getWaits), 2) << r.err;
    EXPECT_LE(waits, 6);
    EXPECT_EQ(getWaits, 1); // opened with its status, its close not waited for
}

} // namespace
