// Launching the client on a terminal through a remote shell, against the real agent over
// loopback: the terminal lookup, the remote shell's command line, the search for the remote
// shell, every way the launch can fail and the fall-back that follows, the timed wait, the peer
// check, and whole launches through loopsh and through a real sshd. Terminal names are loopback
// addresses, localhost, or names the resolver refuses without asking a name server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "tests/agent_process.h"

namespace fs = std::filesystem;

namespace {

// The metacharacters that the agent escapes, in one argument.
const std::string kMetaArg = "a b;c|d&e\"f'g";
const std::string kMetaEscaped = "a\\ b\\;c\\|d\\&e\\\"f\\'g";

std::string Dir(const char *path) { return fs::path(path).parent_path().string(); }

void WriteFile(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

// A temporary tree: bin/ for remote shells, fallback/ for host-based clients.
struct Sandbox {
    std::string dir = TempDir();
    std::string bin = dir + "/bin";
    std::string fallback = dir + "/fallback";
    Sandbox()
    {
        fs::create_directories(bin);
        fs::create_directories(fallback);
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // Places a recorder at path; mode holds its instructions (see launch_recorder.cpp).
    std::string Recorder(const std::string &path, const std::string &mode = "") const
    {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(RECORDER_PATH, path, fs::copy_options::overwrite_existing);
        chmod(path.c_str(), 0755);
        if (!mode.empty())
            WriteFile(path + ".mode", mode);
        return path;
    }
    std::string Rsh(const std::string &mode = "") const { return Recorder(bin + "/rsh", mode); }
    // The host-based client of an agent named xt.term; it exits with status 7.
    std::string Term() const { return Recorder(fallback + "/term", "exit 7\n"); }
};

// The argument vector a recorder was started with; empty when it never ran.
std::vector<std::string> Recorded(const std::string &program)
{
    std::string raw = ReadFile(program + ".args");
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\0') {
            out.push_back(raw.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

using Strings = std::vector<std::string>;

struct Outcome {
    int status = -1; // exit status, 256 + signal, or -1 when it had to be killed
    std::string out, err;
};

// Runs the agent under argv[0] = argv.front(), with the test's environment changed by env
// (a value of nullopt removes the variable); DISPLAY and SSH_CONNECTION are removed unless
// env sets them. Bounded: an agent still running after limit seconds is killed and reported.
Outcome RunAgent(const Strings &argv, const std::vector<std::pair<std::string, std::optional<std::string>>> &env,
                 const std::string &cwd = "", double limit = 20)
{
    std::string dir = TempDir();
    std::string outPath = dir + "/stdout", errPath = dir + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        unsetenv("DISPLAY");
        unsetenv("SSH_CONNECTION");
        for (const auto &[name, value] : env) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(AGENT_PATH, args.data());
        _exit(127);
    }
    Outcome o;
    if (pid < 0)
        return o;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    o.out = ReadFile(outPath);
    o.err = ReadFile(errPath);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return o;
}

// Waits, bounded, until the file holds text; the detached terminal client writes its log
// while the agent may already have ended.
std::string AwaitInFile(const std::string &path, const std::string &text, double seconds = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string content;
    do {
        content = ReadFile(path);
        if (content.find(text) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return content;
}

bool IsPort(const std::string &s)
{
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int v = std::stoi(s);
    return v > 0 && v < 65536 && std::to_string(v) == s;
}

// Options and settings changed by a unit test come back afterwards.
struct SettingsGuard {
    Settings saved = settings;
    std::optional<std::string> path, display;
    SettingsGuard()
    {
        if (const char *p = getenv("PATH"))
            path = p;
        if (const char *d = getenv("DISPLAY"))
            display = d;
    }
    ~SettingsGuard()
    {
        settings = saved;
        path ? setenv("PATH", path->c_str(), 1) : unsetenv("PATH");
        display ? setenv("DISPLAY", display->c_str(), 1) : unsetenv("DISPLAY");
    }
};

// ---- Pure functions -------------------------------------------------------------------------

TEST(CommandName, OnePrefixDroppedFromTheLastComponentUnlessGivenWithMinusC)
{
    SettingsGuard guard;
    settings.termCmd = nullptr;
    EXPECT_STREQ(mapCmd("vkxt.term"), "term");
    EXPECT_STREQ(mapCmd("xt.term"), "term");
    EXPECT_STREQ(mapCmd("apt.term"), "term");
    EXPECT_STREQ(mapCmd("/usr/local/bin/xt.term"), "term");
    EXPECT_STREQ(mapCmd("xt.xt.term"), "xt.term");
    EXPECT_STREQ(mapCmd("xt.apt.term"), "apt.term");
    EXPECT_STREQ(mapCmd("dir/term"), "term");
    EXPECT_STREQ(mapCmd("term"), "term");
    EXPECT_STREQ(mapCmd("xt."), "");
    EXPECT_STREQ(mapCmd("xtterm"), "xtterm");
    settings.termCmd = "/opt/xt.other";
    EXPECT_STREQ(mapCmd("xt.term"), "/opt/xt.other");
}

TEST(CommandLineForTheTerminal, NamePeerAndPortBeforeTheClientArguments)
{
    SettingsGuard guard;
    settings.termCmd = nullptr;
    std::string name = "/bin/xt.term", a = "a", b = "b\\ c";
    int count = 3;
    auto **block = static_cast<char **>(calloc(4, sizeof(char *)));
    block[0] = name.data();
    block[1] = a.data();
    block[2] = b.data();
    BuildCommandLine(&count, &block, 4000);
    ASSERT_EQ(count, 5);
    EXPECT_STREQ(block[0], "term");
    EXPECT_STREQ(block[1], "-peer");
    EXPECT_STREQ(block[2], "4000");
    EXPECT_EQ(block[3], a.data());
    EXPECT_EQ(block[4], b.data());
    EXPECT_EQ(block[5], nullptr);
    free(block);

    // The client's name alone.
    count = 1;
    block = static_cast<char **>(calloc(2, sizeof(char *)));
    block[0] = name.data();
    BuildCommandLine(&count, &block, 65535);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(block[2], "65535");
    EXPECT_EQ(block[3], nullptr);
    free(block);
}

struct SearchTree : ::testing::Test {
    SettingsGuard guard;
    Sandbox box;
    std::string a = box.dir + "/a", b = box.dir + "/b";
    char found[REMOTE_SHELL_PATH_SIZE];
    void SetUp() override
    {
        fs::create_directories(a);
        fs::create_directories(b);
        settings.remote_shell_commands[0] = "";
    }
    static void Exe(const std::string &path) { WriteFile(path, "#!/bin/sh\n", 0755); }
    std::string Find()
    {
        const char *r = FindRemoteShellCommand(found);
        return r ? r : "(none)";
    }
};

TEST_F(SearchTree, DirectoriesOutsideNamesInside)
{
    Exe(b + "/rsh");
    Exe(b + "/mysh");
    setenv("PATH", (a + ":" + b).c_str(), 1);
    EXPECT_EQ(Find(), b + "/rsh");
    settings.remote_shell_commands[0] = "mysh";
    EXPECT_EQ(Find(), b + "/mysh"); // the -r name before rsh in one directory
    Exe(a + "/rsh");
    EXPECT_EQ(Find(), a + "/rsh"); // the earlier directory wins, whichever name it holds
    setenv("PATH", (b + "/:" + a).c_str(), 1);
    EXPECT_EQ(Find(), b + "/mysh"); // an element ending in a slash gets no second one
}

TEST_F(SearchTree, NotExecutableUnsetAndEmptyPath)
{
    WriteFile(a + "/rsh", "#!/bin/sh\n", 0644);
    setenv("PATH", a.c_str(), 1);
    EXPECT_EQ(Find(), "(none)");
    Exe(b + "/rsh");
    setenv("PATH", (a + ":" + b).c_str(), 1);
    EXPECT_EQ(Find(), b + "/rsh");
    unsetenv("PATH");
    EXPECT_EQ(Find(), "(none)");
}

TEST_F(SearchTree, EmptyElementMeansTheCurrentDirectory)
{
    Exe(a + "/rsh");
    Exe(b + "/rsh");
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(chdir(a.c_str()), 0);
    setenv("PATH", (":" + b).c_str(), 1);
    std::string leading = Find();
    setenv("PATH", (b + ":").c_str(), 1);
    std::string trailing = Find();
    setenv("PATH", ("/nonexistent::" + b).c_str(), 1);
    std::string middle = Find();
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(leading, "rsh");
    EXPECT_EQ(trailing, b + "/rsh");
    EXPECT_EQ(middle, "rsh");
}

// A directory below the sandbox whose path is exactly length bytes long.
std::string DeepDirectory(const std::string &base, size_t length)
{
    std::string path = base;
    while (path.size() < length) {
        size_t room = length - path.size() - 1; // less the slash
        size_t part = room > 200 ? 200 : room;
        if (room > 200 && room - 200 < 2)
            part = 100; // leave room for a last component of at least one character
        path += "/" + std::string(part, 'd');
    }
    fs::create_directories(path);
    return path;
}

TEST_F(SearchTree, ElementTooLongForTheBufferIsSkipped)
{
    Exe(b + "/rsh");
    // Element, slash, "rsh" and NUL: 1025 bytes do not fit the buffer, so that element is
    // skipped although it holds a remote shell; 1024 bytes fit exactly.
    std::string tooLong = DeepDirectory(box.dir + "/long", REMOTE_SHELL_PATH_SIZE - 4);
    ASSERT_EQ(tooLong.size(), static_cast<size_t>(REMOTE_SHELL_PATH_SIZE - 4));
    Exe(tooLong + "/rsh");
    setenv("PATH", (tooLong + ":" + b).c_str(), 1);
    EXPECT_EQ(Find(), b + "/rsh");
    std::string fits = DeepDirectory(box.dir + "/fits", REMOTE_SHELL_PATH_SIZE - 5);
    ASSERT_EQ(fits.size(), static_cast<size_t>(REMOTE_SHELL_PATH_SIZE - 5));
    Exe(fits + "/rsh");
    setenv("PATH", (fits + ":" + b).c_str(), 1);
    EXPECT_EQ(Find(), fits + "/rsh");
    EXPECT_EQ(strlen(found), static_cast<size_t>(REMOTE_SHELL_PATH_SIZE - 1));
    // A -r name that makes the candidate too long is skipped; rsh in the same element is not.
    Exe(fits + "/longer");
    settings.remote_shell_commands[0] = "longer";
    EXPECT_EQ(Find(), fits + "/rsh");
}

// GetTerminal's result as a string; the copy it makes of DISPLAY's host part is given back.
std::string TerminalNameNow()
{
    char *name = GetTerminal();
    if (!name)
        return "(none)";
    std::string result = name;
    if (name != settings.terminalName)
        free(name);
    return result;
}

TEST(TerminalName, MinusHBeforeDisplayAndTheHostPartOfDisplay)
{
    SettingsGuard guard;
    settings.terminalName = nullptr;
    unsetenv("DISPLAY");
    EXPECT_EQ(TerminalNameNow(), "(none)");
    setenv("DISPLAY", "localhost", 1);
    EXPECT_EQ(TerminalNameNow(), "(none)");
    setenv("DISPLAY", "localhost:0.0", 1);
    EXPECT_EQ(TerminalNameNow(), "localhost");
    setenv("DISPLAY", "a:b:c", 1);
    EXPECT_EQ(TerminalNameNow(), "a");
    setenv("DISPLAY", ":0", 1);
    EXPECT_EQ(TerminalNameNow(), "");
    settings.terminalName = "127.0.0.1";
    EXPECT_EQ(TerminalNameNow(), "127.0.0.1");
    settings.terminalName = "";
    EXPECT_EQ(TerminalNameNow(), "");
}

TEST(PeerCheck, HostEntryAddressesOrTheDottedAddress)
{
    in_addr one{}, two{}, three{};
    inet_pton(AF_INET, "127.0.0.1", &one);
    inet_pton(AF_INET, "127.0.0.2", &two);
    inet_pton(AF_INET, "127.0.0.3", &three);
    char *list[] = {reinterpret_cast<char *>(&one), reinterpret_cast<char *>(&two), nullptr};
    char *aliases[] = {nullptr};
    char name[] = "term";
    hostent entry{name, aliases, AF_INET, 4, list};
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    Terminal withEntry{"term", &entry, INADDR_NONE};
    peer.sin_addr = two;
    EXPECT_TRUE(PeerIsTerminal(&withEntry, &peer));
    peer.sin_addr = three;
    EXPECT_FALSE(PeerIsTerminal(&withEntry, &peer));
    Terminal dotted{"127.0.0.3", nullptr, three.s_addr};
    EXPECT_TRUE(PeerIsTerminal(&dotted, &peer));
    peer.sin_addr = one;
    EXPECT_FALSE(PeerIsTerminal(&dotted, &peer));
}

// ---- The remote shell's command line --------------------------------------------------------

TEST(RemoteShell, RunAsNameTerminalCommandPeerPortAndEscapedArguments)
{
    Sandbox box;
    std::string rsh = box.Rsh();
    std::string term = box.Term();
    // The remote shell exits 0 and nobody connects: a wait of 0 seconds ends in the fall-back.
    Outcome o = RunAgent({"xt.term", "-t0", "-p" + box.fallback, "-h127.0.0.1", "--", "a", kMetaArg, ""},
                         {{"PATH", box.bin + ":/usr/bin:/bin"}});
    EXPECT_EQ(o.status, 7) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Timedout attempting to connect to xt.term on 127.0.0.1.\n");
    Strings shell = Recorded(rsh);
    ASSERT_EQ(shell.size(), 8u);
    EXPECT_EQ(shell[0], "rsh");
    EXPECT_EQ(shell[1], "127.0.0.1");
    EXPECT_EQ(shell[2], "term");
    EXPECT_EQ(shell[3], "-peer");
    EXPECT_TRUE(IsPort(shell[4])) << shell[4];
    EXPECT_EQ(Strings(shell.begin() + 5, shell.end()), (Strings{"a", kMetaEscaped, ""}));
    // The host-based client gets the prepared block: -peer and the closed listener's port.
    EXPECT_EQ(Recorded(term), (Strings{"term", "-peer", shell[4], "a", kMetaEscaped, ""}));
}

TEST(RemoteShell, CommandNameFromTheAgentsNameOrMinusC)
{
    Sandbox box;
    std::string rsh = box.Rsh("exit 1\n");
    std::string term = box.Term();
    struct Case {
        Strings argv;
        std::string command;
        std::string fallback; // the program the fall-back looks for
    };
    for (const Case &c : std::vector<Case>{
             {{"vkxt.term"}, "term", "term"},
             {{"apt.term"}, "term", "term"},
             {{"/some/dir/xt.term"}, "term", "term"},
             {{"xt.xt.term"}, "xt.term", "term"},
             {{"term"}, "term", "term"},
             {{"xt.other", "-c/opt/bin/xt.term"}, "/opt/bin/xt.term", "term"},
             {{"xt.other", "-cxt.term"}, "xt.term", "term"},
         }) {
        fs::remove(rsh + ".args");
        fs::remove(term + ".args");
        Strings argv = c.argv;
        argv.insert(argv.end(), {"-p" + box.fallback, "-hlocalhost", "--", "x"});
        Outcome o = RunAgent(argv, {{"PATH", box.bin + ":/usr/bin:/bin"}});
        EXPECT_EQ(o.status, 7) << c.argv[0] << o.err;
        Strings shell = Recorded(rsh);
        ASSERT_EQ(shell.size(), 6u) << c.argv[0];
        EXPECT_EQ(shell[1], "localhost");
        EXPECT_EQ(shell[2], c.command) << c.argv[0];
        EXPECT_EQ(Recorded(term), (Strings{c.fallback, "-peer", shell[4], "x"})) << c.argv[0];
    }
}

TEST(RemoteShell, TerminalFromMinusHBeforeDisplay)
{
    Sandbox box;
    std::string rsh = box.Rsh("exit 1\n");
    struct Case {
        Strings args;
        std::optional<std::string> display;
        std::string terminal;
    };
    for (const Case &c : std::vector<Case>{
             {{"-h127.0.0.1", "--"}, "localhost:0", "127.0.0.1"},
             {{"--"}, "localhost:0.0", "localhost"},
             {{"--"}, "127.0.0.1:10", "127.0.0.1"},
             {{"--", "-display", "127.0.0.1:3"}, "localhost:0", "127.0.0.1"},
             {{"-hlocalhost", "--", "-display", "127.0.0.1:3"}, std::nullopt, "localhost"},
         }) {
        fs::remove(rsh + ".args");
        Strings argv = {"xt.term", "-nfs"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome o = RunAgent(argv, {{"PATH", box.bin + ":/usr/bin:/bin"}, {"DISPLAY", c.display}});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, "");
        Strings shell = Recorded(rsh);
        ASSERT_GE(shell.size(), 2u);
        EXPECT_EQ(shell[1], c.terminal) << c.args.front();
    }
}

TEST(RemoteShell, SearchedOnPathDirectoriesFirstThenNames)
{
    Sandbox box;
    std::string first = box.Recorder(box.dir + "/one/rsh", "exit 1\n");
    std::string mine = box.Recorder(box.dir + "/two/mysh", "exit 1\n");
    std::string second = box.Recorder(box.dir + "/two/rsh", "exit 1\n");
    std::string here = box.Recorder(box.dir + "/cwd/rsh", "exit 1\n");
    auto ran = [&](const Strings &opts, const std::string &path) {
        for (const auto &p : {first, mine, second, here})
            fs::remove(p + ".args");
        Strings argv = {"xt.term", "-nfs", "-h127.0.0.1"};
        argv.insert(argv.end(), opts.begin(), opts.end());
        argv.push_back("--");
        RunAgent(argv, {{"PATH", path}}, box.dir + "/cwd");
        std::string which;
        for (const auto &p : {first, mine, second, here}) {
            Strings r = Recorded(p);
            if (!r.empty())
                which += (which.empty() ? "" : "+") + p.substr(box.dir.size() + 1) + "(" + r[0] + ")";
        }
        return which;
    };
    EXPECT_EQ(ran({"-rmysh"}, box.dir + "/two"), "two/mysh(mysh)");
    EXPECT_EQ(ran({}, box.dir + "/two"), "two/rsh(rsh)");
    EXPECT_EQ(ran({"-rmysh"}, box.dir + "/one:" + box.dir + "/two"), "one/rsh(rsh)");
    EXPECT_EQ(ran({"-rmysh"}, ":" + box.dir + "/one"), "cwd/rsh(rsh)");
    EXPECT_EQ(ran({"-r"}, box.dir + "/nothing:" + box.dir + "/two"), "two/rsh(rsh)");
}

// ---- Failures of the launch -----------------------------------------------------------------

TEST(LaunchFailure, TerminalLookupFailuresEndWithStatusOneAndNoFallBack)
{
    Sandbox box;
    std::string rsh = box.Rsh();
    std::string term = box.Term();
    struct Case {
        Strings own;
        std::optional<std::string> display;
        std::string message;
    };
    const std::string longLabel(70, 'q');
    for (const Case &c : std::vector<Case>{
             {{}, std::nullopt, "Unknown terminal, setup DISPLAY environment variable.\n"},
             {{}, "localhost", "Unknown terminal, setup DISPLAY environment variable.\n"},
             {{}, longLabel + ":0", "Unknown terminal name " + longLabel + ".\n"},
             {{"-hbad_name!"}, "localhost:0", "Unknown terminal name bad_name!.\n"},
             {{"-h" + longLabel + ".example"}, std::nullopt, "Unknown terminal name " + longLabel + ".example.\n"},
         }) {
        Strings argv = {"xt.term", "-p" + box.fallback};
        argv.insert(argv.end(), c.own.begin(), c.own.end());
        argv.insert(argv.end(), {"--", "a"});
        Outcome o = RunAgent(argv, {{"PATH", box.bin + ":/usr/bin:/bin"}, {"DISPLAY", c.display}});
        EXPECT_EQ(o.status, 1) << c.message;
        EXPECT_EQ(o.err, c.message);
        EXPECT_EQ(o.out, "");
        EXPECT_TRUE(Recorded(rsh).empty()) << c.message;
        EXPECT_TRUE(Recorded(term).empty()) << c.message;
    }
}

TEST(LaunchFailure, EveryFailureOfTheRemoteShellFallsBackWithThePreparedBlock)
{
    struct Case {
        const char *what;
        std::string rshMode;      // recorder instructions; "" for no remote shell at all
        std::string rshContent;   // or the remote shell's file content when it is no recorder
        bool unsetPath = false;
        std::string out;          // the agent's standard output: the remote shell's output
        std::string errPrefix;    // the agent's standard error, up to a system message
    };
    for (const Case &c : std::vector<Case>{
             {"no remote shell on PATH", "", "", false, "", "sending command: "},
             {"PATH unset", "", "", true, "", "sending command: "},
             {"prints and exits 0", "say hello from the terminal\nexit 0\n", "", false,
              "hello from the terminal\n", ""},
             {"prints one byte", "say \n", "", false, "\n", ""},
             {"exits 1", "exit 1\n", "", false, "", ""},
             {"killed by a signal", "signal 9\n", "", false, "", ""},
             {"cannot be executed", "", "not a program\n", false, "", ""},
         }) {
        for (bool failsafe : {true, false}) {
            Sandbox box;
            std::string rsh = box.bin + "/rsh";
            if (!c.rshMode.empty())
                box.Rsh(c.rshMode);
            if (!c.rshContent.empty())
                WriteFile(rsh, c.rshContent, 0755);
            std::string term = box.Term();
            Strings argv = {"xt.term", "-v", failsafe ? "-fs" : "-nfs", "-p" + box.fallback, "-h127.0.0.1", "--",
                            kMetaArg};
            std::optional<std::string> path;
            if (!c.unsetPath)
                path = box.bin + ":/usr/bin:/bin";
            Outcome o = RunAgent(argv, {{"PATH", path}});
            std::string what = std::string(c.what) + (failsafe ? " -fs" : " -nfs");
            std::string expectedOut = c.out;
            if (!c.rshContent.empty())
                expectedOut = "Cannot execute the remote shell " + rsh + " for terminal 127.0.0.1: " +
                              strerror(ENOEXEC) + "\n";
            EXPECT_EQ(o.out, expectedOut) << what;
            EXPECT_EQ(o.err.substr(0, c.errPrefix.size()), c.errPrefix) << what << ": " << o.err;
            Strings fell = Recorded(term);
            if (!failsafe) {
                EXPECT_EQ(o.status, 1) << what;
                EXPECT_TRUE(fell.empty()) << what;
                EXPECT_EQ(o.err.find("Attemting"), std::string::npos) << what;
                continue;
            }
            EXPECT_EQ(o.status, 7) << what << ": " << o.err;
            ASSERT_EQ(fell.size(), 4u) << what;
            EXPECT_EQ(fell[0], "term");
            EXPECT_EQ(fell[1], "-peer");
            EXPECT_TRUE(IsPort(fell[2])) << fell[2];
            EXPECT_EQ(fell[3], kMetaEscaped);
            EXPECT_NE(o.err.find("Attemting to start host based term\n"), std::string::npos) << what;
            if (!c.rshMode.empty()) {
                Strings shell = Recorded(rsh);
                ASSERT_EQ(shell.size(), 6u) << what;
                EXPECT_EQ(shell[4], fell[2]) << what;
            }
        }
    }
}

TEST(LaunchFailure, FallBackThatCannotRunEndsWithStatusOne)
{
    Sandbox box;
    box.Rsh("exit 1\n");
    Outcome o = RunAgent({"xt.term", "-v", "-h127.0.0.1", "--"}, {{"PATH", box.bin}});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Attemting to start host based term\n  it also failed.\n");
}

// ---- The wait and the peer check ------------------------------------------------------------

TEST(Connection, ZeroSecondWaitAcceptsAQueuedConnection)
{
    Sandbox box;
    box.Rsh("connect 127.0.0.1\n");
    std::string term = box.Term();
    Outcome o = RunAgent({"xt.term", "-v", "-t0", "-p" + box.fallback, "-h127.0.0.1", "--"},
                         {{"PATH", box.bin + ":/usr/bin:/bin"}});
    // The connection closed before sending anything: served, then the agent ends with 0.
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "Accepted connection from peer.\nEOF\n");
    EXPECT_TRUE(Recorded(term).empty());
}

TEST(Connection, PeerMustBeTheTerminal)
{
    struct Case {
        std::string terminal, source;
        bool accepted;
    };
    for (const Case &c : std::vector<Case>{
             {"127.0.0.2", "127.0.0.1", false},
             {"127.0.0.1", "127.0.0.2", false},
             {"127.0.0.2", "127.0.0.2", true},
             {"localhost", "127.0.0.1", true},
             {"localhost", "127.0.0.3", false},
         }) {
        Sandbox box;
        box.Rsh("connect " + c.source + "\n");
        std::string term = box.Term();
        Outcome o = RunAgent({"xt.term", "-t10", "-p" + box.fallback, "-h" + c.terminal, "--"},
                             {{"PATH", box.bin + ":/usr/bin:/bin"}});
        std::string what = c.terminal + " from " + c.source;
        EXPECT_EQ(o.status, c.accepted ? 0 : 1) << what << ": " << o.err;
        EXPECT_EQ(o.err, c.accepted ? "" : "Response from unexpected host.\n") << what;
        EXPECT_TRUE(Recorded(term).empty()) << what; // no second wait, no fall-back
    }
}

// ---- Whole launches ---------------------------------------------------------------------------

// The log of a terminal client that was launched and served.
void ExpectServedClient(const std::string &log, const std::string &host)
{
    EXPECT_NE(log.find("termclient with 2 argument(s)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\narg 1: " + kMetaArg + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\narg 2: plain\n"), std::string::npos) << log;
    EXPECT_NE(log.find("connected to the host agent at " + host + ":"), std::string::npos) << log;
    EXPECT_NE(log.find("handshake: nonce 41 answered with 42\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nhost: "), std::string::npos) << log;
    EXPECT_NE(log.find("\nconnection closed\n"), std::string::npos) << log;
}

TEST(WholeLaunch, ThroughLoopshTheTerminalClientIsStartedAndServed)
{
    Sandbox box;
    for (const std::string terminal : {"127.0.0.1", "localhost"}) {
        std::string log = box.dir + "/client-" + terminal + ".log";
        Outcome o = RunAgent({"xt.termclient", "-v", "-rloopsh", "-h" + terminal, "-t10", "--", kMetaArg, "plain"},
                             {{"PATH", Dir(LOOPSH_PATH) + ":" + Dir(TERMCLIENT_PATH) + ":/usr/bin:/bin"},
                              {"HOSTAGENT_LOG", log}});
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, ""); // the client left the remote shell silently
        EXPECT_NE(o.err.find("Accepted connection from peer.\n"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find(" Request: Connection\n"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("EOF\n"), std::string::npos) << o.err;
        ExpectServedClient(AwaitInFile(log, "connection closed\n"), "127.0.0.1");
    }
}

TEST(WholeLaunch, LoopshRefusesOtherHostsAndPassesTheStatusOn)
{
    auto run = [](const Strings &args) {
        std::string dir = TempDir();
        std::string cmd = std::string(LOOPSH_PATH);
        for (const auto &a : args)
            cmd += " '" + a + "'";
        cmd += " >" + dir + "/out 2>&1";
        int status = system(cmd.c_str());
        std::string out = ReadFile(dir + "/out");
        fs::remove_all(dir);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, out);
    };
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(run({"127.0.0.1", "echo", "a\\ \\;b", "c"}), std::make_pair(0, std::string("a ;b c\n")));
    EXPECT_EQ(run({"127.1.2.3", "exit", "3"}), std::make_pair(3, std::string()));
    EXPECT_EQ(run({"localhost", "echo", "x", ">&2"}), std::make_pair(0, std::string("x\n")));
    EXPECT_EQ(run({host, "true"}).first, 0);
    auto refused = run({"192.0.2.1", "true"});
    EXPECT_EQ(refused.first, 1);
    EXPECT_NE(refused.second.find("192.0.2.1 is not this machine"), std::string::npos) << refused.second;
    EXPECT_EQ(run({"localhost"}).first, 1);
}

// An sshd of the test's own on a loopback port, with its own keys and configuration.
struct Sshd {
    std::string dir = TempDir();
    std::string why; // empty once the daemon listens
    pid_t pid = -1;
    int port = -1;
    std::string sshPath;

    static std::string Which(const std::string &name, const std::vector<std::string> &fallbacks)
    {
        std::string out = TempDir();
        std::string cmd = "command -v " + name + " >" + out + "/which 2>/dev/null";
        std::string found;
        if (system(cmd.c_str()) == 0)
            found = ReadFile(out + "/which");
        fs::remove_all(out);
        while (!found.empty() && (found.back() == '\n' || found.back() == ' '))
            found.pop_back();
        if (!found.empty() && found[0] == '/')
            return found;
        for (const auto &f : fallbacks)
            if (access(f.c_str(), X_OK) == 0)
                return f;
        return "";
    }
    static int FreePort()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        socklen_t len = sizeof a;
        int p = -1;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            p = ntohs(a.sin_port);
        close(fd);
        return p;
    }
    static bool Listening(int p)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(p));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        return ok;
    }

    Sshd()
    {
        std::string sshd = Which("sshd", {"/usr/sbin/sshd", "/usr/local/sbin/sshd"});
        std::string keygen = Which("ssh-keygen", {"/usr/bin/ssh-keygen"});
        sshPath = Which("ssh", {"/usr/bin/ssh"});
        if (sshd.empty() || keygen.empty() || sshPath.empty()) {
            why = "sshd, ssh or ssh-keygen is not installed (packages openssh-server, openssh-client)";
            return;
        }
        for (const char *key : {"host_key", "client_key"}) {
            std::string cmd = keygen + " -q -t ed25519 -N '' -f " + dir + "/" + key + " </dev/null >/dev/null 2>&1";
            if (system(cmd.c_str()) != 0) {
                why = "ssh-keygen could not make " + std::string(key);
                return;
            }
        }
        fs::copy_file(dir + "/client_key.pub", dir + "/authorized_keys");
        // As root, sshd insists on its privilege separation directory; when the system has
        // none, the daemon gets one on a private /run of its own mount namespace, so that
        // nothing of the machine's own set-up changes.
        bool privateRun = getuid() == 0 && access("/run/sshd", F_OK) != 0;
        std::string unshare = privateRun ? Which("unshare", {"/usr/bin/unshare"}) : "";
        if (privateRun && unshare.empty()) {
            why = "sshd needs /run/sshd, and unshare (util-linux) is missing to give it a private one";
            return;
        }
        for (int attempt = 0; attempt < 3 && pid < 0; attempt++) {
            port = FreePort();
            WriteFile(dir + "/sshd_config",
                      "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " + dir +
                          "/host_key\nPidFile " + dir + "/sshd.pid\nAuthorizedKeysFile " + dir +
                          "/authorized_keys\nStrictModes no\nUsePAM no\nPermitRootLogin prohibit-password\n"
                          "PubkeyAuthentication yes\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                          "PermitUserRC no\nPrintMotd no\nPrintLastLog no\nAcceptEnv HOSTAGENT_LOG\n"
                          "KexAlgorithms curve25519-sha256\nLogLevel ERROR\n");
            pid_t child = fork();
            if (child == 0) {
                int err = open((dir + "/sshd.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
                int in = open("/dev/null", O_RDONLY);
                dup2(in, 0);
                dup2(err, 1);
                dup2(err, 2);
                std::string run = sshd + " -D -e -f " + dir + "/sshd_config";
                if (privateRun) {
                    std::string script = "mount -t tmpfs tmpfs /run && mkdir -m 755 /run/sshd && exec " + run;
                    execl(unshare.c_str(), "unshare", "-m", "/bin/sh", "-c", script.c_str(),
                          static_cast<char *>(nullptr));
                } else {
                    execl(sshd.c_str(), "sshd", "-D", "-e", "-f", (dir + "/sshd_config").c_str(),
                          static_cast<char *>(nullptr));
                }
                _exit(127);
            }
            if (child < 0)
                break;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            bool up = false;
            while (std::chrono::steady_clock::now() < deadline) {
                if (Listening(port)) {
                    up = true;
                    break;
                }
                if (waitpid(child, nullptr, WNOHANG) == child) {
                    child = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (up)
                pid = child;
            else if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
        if (pid < 0) {
            why = "sshd did not start: " + ReadFile(dir + "/sshd.err");
            return;
        }
        std::string hostKey = ReadFile(dir + "/host_key.pub");
        WriteFile(dir + "/known_hosts", "[127.0.0.1]:" + std::to_string(port) + " " + hostKey);
        WriteFile(dir + "/ssh_config",
                  "Host *\n  Port " + std::to_string(port) + "\n  User root\n  IdentityFile " + dir +
                      "/client_key\n  IdentitiesOnly yes\n  IdentityAgent none\n  UserKnownHostsFile " + dir +
                      "/known_hosts\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n"
                      "  BatchMode yes\n  LogLevel ERROR\n  SendEnv HOSTAGENT_LOG\n"
                      "  KexAlgorithms curve25519-sha256\n");
    }
    ~Sshd()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (waitpid(pid, nullptr, WNOHANG) != pid) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

TEST(WholeLaunch, ThroughARealSshdTheTerminalClientIsStartedAndServed)
{
    if (getuid() != 0)
        GTEST_SKIP() << "logs in as root through its own sshd; run as root (as CI does)";
    Sshd sshd;
    ASSERT_EQ(sshd.why, "") << "the test could not start its own sshd";
    Sandbox box;
    // The remote shell the agent runs: ssh with the test's own configuration only.
    WriteFile(box.bin + "/sshloop", "#!/bin/sh\nexec " + sshd.sshPath + " -F " + sshd.dir + "/ssh_config \"$@\"\n",
              0755);
    std::string log = box.dir + "/client.log";
    Outcome o = RunAgent({"xt.termclient", "-v", "-rsshloop", "-h127.0.0.1", "-t20", std::string("-c") + TERMCLIENT_PATH,
                          "--", kMetaArg, "plain"},
                         {{"PATH", box.bin + ":/usr/bin:/bin"}, {"HOSTAGENT_LOG", log}}, "", 40);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("Accepted connection from peer.\n"), std::string::npos) << o.err;
    // The client found the agent's host in SSH_CONNECTION.
    ExpectServedClient(AwaitInFile(log, "connection closed\n"), "127.0.0.1");
}

} // namespace
