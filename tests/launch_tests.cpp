// The launch: the search in process, the real agent with recorders for remote shells and
// host-based clients, loopsh on its own.
#include <filesystem>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "tests/harness.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string kMeta = "a b;c|d&e\"f'g";
const std::string kMetaEscaped = "a\\ b\\;c\\|d\\&e\\\"f\\'g";

// Directories outside, names inside; an element too long for the path buffer is skipped.
TEST(Launch, RemoteShellSearch)
{
    const Settings saved = settings; // settings and PATH come back at the end
    const std::string oldPath = getenv("PATH");
    Scratch box;
    std::string a = box / "a", b = box / "b", first = box / "c", here = fs::current_path();
    std::optional<std::string> unset;
    auto deep = [&](std::string p, size_t length) { // a directory whose path has length bytes
        for (size_t room; (room = length - p.size() - 1) < length;) // no part shorter than 2 bytes
            p += "/" + std::string(room > 200 ? (room < 202 ? 100 : 200) : room, 'd');
        return p;
    };
    std::string tooLong = deep(box / "long", REMOTE_SHELL_PATH_SIZE - 4); // with "/rsh" and NUL: 1025
    std::string fits = deep(box / "fits", REMOTE_SHELL_PATH_SIZE - 5);
    for (const std::string &p : {tooLong + "/rsh", fits + "/rsh", fits + "/longer", b + "/rsh", b + "/mysh", first + "/rsh", a + "/rsh"}) {
        fs::create_directories(fs::path(p).parent_path());
        WriteFile(p, "#!/bin/sh\n", p == a + "/rsh" ? 0644 : 0755); // a's is not executable
    }
    ASSERT_EQ(chdir(b.c_str()), 0);
    // PATH, the -r name, what is found: -r before rsh, no second slash, "" is ".", too long with -r
    // (rsh fits), earlier dirs first.
    for (auto [path, name, want] : std::vector<std::tuple<std::optional<std::string>, const char *, std::string>>{
             {a + ":" + b, "", b + "/rsh"}, {a + ":" + b, "mysh", b + "/mysh"}, {b + "/:" + a, "mysh", b + "/mysh"},
             {unset, "", "(none)"}, {a, "", "(none)"}, {"/nonexistent::" + a, "", "rsh"}, {tooLong + ":" + b, "", b + "/rsh"},
             {fits + ":" + b, "longer", fits + "/rsh"}, {first + ":" + b, "mysh", first + "/rsh"}}) {
        path ? setenv("PATH", path->c_str(), 1) : unsetenv("PATH");
        settings.remote_shell_commands[0] = name;
        char found[REMOTE_SHELL_PATH_SIZE];
        const char *r = FindRemoteShellCommand(found);
        EXPECT_EQ(r ? r : "(none)", want) << path.value_or("unset") << " -r" << name;
    }
    settings = saved;
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_EQ(chdir(here.c_str()), 0);
}

// bin/ holds remote shells, fallback/ host-based clients; both are recorders.
struct Sandbox {
    Scratch dir;
    std::string bin = dir / "bin", fallback = dir / "fallback";
    bool made = fs::create_directories(bin) && fs::create_directories(fallback);
    std::string Recorder(const std::string &path, const std::string &mode = "") const
    {
        fs::copy_file(RECORDER_PATH, path, fs::copy_options::overwrite_existing);
        WriteFile(path + ".mode", mode);
        return path;
    }
    std::string Rsh(const std::string &mode = "") const { return Recorder(bin + "/rsh", mode); }
    std::string Term() const { return Recorder(fallback + "/term", "exit 7\n"); } // the host-based client
    std::string Path() const { return "PATH=" + bin + ":/usr/bin:/bin"; }
};

// The argument vector a recorder was last started with; empty when it has not run since.
Strings Recorded(const std::string &program)
{
    std::string raw = ReadFile(program + ".args");
    fs::remove(program + ".args"); // the next run records afresh
    Strings out;
    for (size_t at = 0; at < raw.size(); at = raw.find('\0', at) + 1)
        out.push_back(raw.substr(at, raw.find('\0', at) - at));
    return out;
}

struct Outcome { int status; std::string out, err; };

Outcome RunAgent(const Strings &argv, const Strings &env)
{
    Agent a;
    a.Start(argv, env, false);
    int status = a.Wait(20);
    return {status, a.Out(), a.Err()};
}

bool IsPort(const std::string &s) { return std::regex_match(s, std::regex("[1-9][0-9]{0,4}")) && std::stoi(s) < 65536; }

// The command line: run-as name, terminal, command, peer port and escaped arguments; then terminal and
// command from the name, options and DISPLAY, where an unnamable terminal ends it with 1.
TEST(RemoteShell, CommandLineFromTheAgentsNameOptionsAndDisplay)
{
    Sandbox box;
    std::string rsh = box.Rsh(), term = box.Term();
    // The remote shell exits 0 and nobody connects: a wait of 0 seconds ends in the fall-back.
    const std::string odd = "$HOME`x`\\<>()*?~#caf\xc3\xa9", blanks = "\t\n\v\f\r" + std::string(600, ' ');
    Outcome first = RunAgent({"/my dir/xt.term", "-t0", "-p" + box.fallback, "-h127.0.0.1", "--", "a", kMeta, "", odd, blanks},
                         {box.Path()});
    EXPECT_EQ(first.status, 7) << first.err;
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(first.err, "Timedout attempting to connect to /my dir/xt.term on 127.0.0.1.\n");
    Strings line = Recorded(rsh), escaped = {"a", kMetaEscaped, "", odd, "\\\t\\\n\\\v\\\f\\\r"};
    for (int i = 0; i < 600; i++)
        escaped.back() += "\\ ";
    ASSERT_EQ(line.size(), 10u);
    EXPECT_TRUE(IsPort(line[4])) << line[4];
    EXPECT_EQ(line, Strings({"rsh", "127.0.0.1", "term", "-peer", line[4]}) + escaped);
    // The host-based client gets the prepared block: -peer and the closed listener's port.
    EXPECT_EQ(Recorded(term), Strings({"term", "-peer", line[4]}) + escaped);
    // Without a separator every argument is the client's: -d does not make a daemon.
    const std::string longLabel(70, 'q'), noDisplay = "Unknown terminal, setup DISPLAY environment variable.\n";
    EXPECT_EQ(RunAgent({"xt.term", "-v", "-d"}, {}).err, noDisplay);
    box.Rsh("exit 1\n");
    // argv, DISPLAY, the terminal and the command; no command: refused, with the terminal's place the message.
    for (auto [argv, display, terminal, command] : std::vector<std::tuple<Strings, std::string, std::string, std::string>>{
             {{"vkxt.term", "-hlocalhost", "--"}, "DISPLAY", "localhost", "term"},
             {{"xt.xt.term", "--"}, "DISPLAY=localhost:0:1", "localhost", "xt.term"},
             {{"/some/dir/term", "--"}, "DISPLAY=127.0.0.1:10", "127.0.0.1", "term"},
             {{"xt.other", "-c/opt/bin/xt.term", "--", "-display", "localhost:1", "-display", "127.0.0.1:3", "-display"},
              "DISPLAY=localhost:0", "127.0.0.1", "/opt/bin/xt.term"}, // the last -display wins
             {{"xt.term", "-hlocalhost", "--", "-display", "127.0.0.1:3"}, "DISPLAY", "localhost", "term"},
             {{"xt.term", "-v", "--", "a"}, "DISPLAY=localhost", noDisplay, ""},
             {{"xt.term", "-v", "--", "a"}, "DISPLAY=:0", "Unknown terminal name .\n", ""},
             {{"xt.term", "-h" + longLabel + ".example", "--", "a"}, "DISPLAY=localhost:0",
              "Unknown terminal name " + longLabel + ".example.\n", ""},
         }) {
        SCOPED_TRACE(argv[0] + " " + argv[1] + " " + display);
        argv.insert(argv.begin() + 1, "-p" + box.fallback);
        Outcome o = RunAgent(argv, {box.Path(), display});
        Strings shell = Recorded(rsh), fell = Recorded(term);
        if (command.empty()) {
            EXPECT_EQ(std::make_tuple(o.status, o.err, o.out), std::make_tuple(1, terminal, std::string()));
            EXPECT_TRUE(shell.empty() && fell.empty());
            continue;
        }
        EXPECT_EQ(o.status, 7) << o.err;
        ASSERT_GE(shell.size(), 5u);
        ASSERT_GE(fell.size(), 3u);
        EXPECT_EQ(std::make_pair(shell[1], shell[2]), std::make_pair(terminal, command));
        // The fall-back drops one more prefix, and -c's directories.
        EXPECT_EQ(std::make_pair(fell[0], fell[2]), std::make_pair(std::string("term"), shell[4]));
    }
}

TEST(LaunchFailure, EveryFailureOfTheRemoteShellFallsBackWithThePreparedBlock)
{
    // The remote shell ("" none, "=TEXT" a file of TEXT), PATH set or not, stdout, stderr's start.
    const std::string noexec = std::string("Cannot execute the remote shell RSH for terminal 127.0.0.1: ") +
                               strerror(ENOEXEC) + "\n";
    std::string lines; // about 4 MB, relayed as it comes, in chunks
    for (int i = 1; i <= 600000; i++)
        lines += std::to_string(i) + "\n";
    for (auto [rshMode, path, out, err] : std::vector<std::tuple<std::string, bool, std::string, std::string>>{
             {"", true, "", "sending command: "}, {"", false, "", "sending command: "},
             {"say hello from the terminal\nexit 0\n", true, "hello from the terminal\n", ""}, {"say \n", true, "\n", ""},
             {"exit 1\n", true, "", ""}, {"signal 9\n", true, "", ""}, {"=not a program\n", true, noexec, ""},
             {"=#!/bin/sh\nexec seq 600000\n", true, lines, ""}}) {
        for (bool failsafe : {true, false}) {
            SCOPED_TRACE(rshMode + (path ? "" : " (PATH unset)") + (failsafe ? " -fs" : " -nfs"));
            Sandbox box;
            std::string rsh = box.bin + "/rsh", term = box.Term();
            if (rshMode[0] == '=')
                WriteFile(rsh, rshMode.substr(1), 0755);
            else if (!rshMode.empty())
                box.Rsh(rshMode);
            Outcome o = RunAgent({"xt.term", "-v", failsafe ? "-nfs" : "-fs", failsafe ? "-fs" : "-nfs", // the last wins
                                  "-p" + box.fallback, "-h127.0.0.1", "--", kMeta},
                                 {path ? box.Path() : "PATH"});
            std::string want = out;
            EXPECT_TRUE(o.out == (want.find("RSH") == std::string::npos ? want : want.replace(want.find("RSH"), 3, rsh)))
                << o.out.size() << " bytes of " << want.size() << ":\n" << o.out.substr(0, 200);
            EXPECT_EQ(o.err.substr(0, err.size()), err) << o.err;
            Strings fell = Recorded(term);
            EXPECT_EQ(o.status, failsafe ? 7 : 1) << o.err;
            EXPECT_EQ(o.err.find("Attemting to start host based term\n") != std::string::npos, failsafe);
            if (!failsafe) {
                EXPECT_TRUE(fell.empty());
                continue;
            }
            ASSERT_EQ(fell.size(), 4u);
            EXPECT_TRUE(IsPort(fell[2])) << fell[2];
            EXPECT_EQ(fell, (Strings{"term", "-peer", fell[2], kMetaEscaped}));
            EXPECT_TRUE(rshMode.empty() || rshMode[0] == '=' || Recorded(rsh).at(4) == fell[2]);
        }
    }
    Sandbox box; // a fall-back that cannot run
    box.Rsh("exit 1\n");
    Outcome o = RunAgent({"xt.term", "-v", "-h127.0.0.1", "--"}, {"PATH=" + box.bin});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Attemting to start host based term\n  it also failed.\n");
}

// The connection may arrive while the remote shell still runs; it must come from the terminal.
TEST(Connection, QueuedConnectionsAndThePeerCheck)
{
    for (auto [terminal, source, timeout, accepted] : std::vector<std::tuple<std::string, std::string, std::string, bool>>{
             {"127.0.0.1", "127.0.0.1", "-t0", true}, {"127.0.0.2", "127.0.0.1", "-t10s", false},
             {"127.0.0.1", "127.0.0.2", "-t10", false}, {"127.0.0.2", "127.0.0.2", "-t10", true},
             {"localhost", "127.0.0.1", "-t10", true}, {"localhost", "127.0.0.3", "-t10", false}}) {
        SCOPED_TRACE(terminal + " from " + source);
        Sandbox box;
        box.Rsh("connect " + source + "\n");
        std::string term = box.Term();
        Outcome o = RunAgent({"xt.term", "-v", timeout, "-p" + box.fallback, "-h" + terminal, "--"}, {box.Path()});
        EXPECT_EQ(o.status, accepted ? 0 : 1) << o.err;
        EXPECT_EQ(o.err, accepted ? "Accepted connection from peer.\nEOF\n" : "Response from unexpected host.\n");
        EXPECT_TRUE(Recorded(term).empty()); // no second wait, no fall-back
    }
}

TEST(WholeLaunch, LoopshRefusesOtherHostsAndPassesTheStatusOn)
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (auto [args, status, out] : std::vector<std::tuple<Strings, int, std::string>>{
             {{"127.0.0.1", "echo", "a\\ \\;b", "c"}, 0, "a ;b c\n"}, {{"127.1.2.3", "exit", "3"}, 3, ""},
             {{"localhost", "echo", "x", ">&2"}, 0, "x\n"}, {{host, "true"}, 0, ""},
             {{"192.0.2.1", "true"}, 1, "192.0.2.1 is not this machine"}, {{"localhost"}, 1, "usage: "}}) {
        Scratch dir;
        std::string cmd = LOOPSH_PATH;
        for (const auto &a : args)
            cmd += " '" + a + "'";
        int st = system((cmd + " >" + (dir / "out") + " 2>&1").c_str());
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, status) << cmd;
        std::string got = ReadFile(dir / "out");
        EXPECT_TRUE(status == 1 ? got.find(out) != std::string::npos : got == out) << cmd << ": " << got;
    }
}

} // namespace
