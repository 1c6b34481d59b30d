// The helpers: listing with status, whole files both ways, host programs, endpoints; the
// examples as programs; the terminal client's log.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <hostlink/hostlink.h>

#include "tests/agent_process.h"
#include "tests/lib/fake_agent.h"

namespace fs = std::filesystem;

namespace {

// Runs a program to its end (killed after 30 s) with its output in a file; its exit status.
int RunProgram(const std::vector<std::string> &argv, const std::string &outPath, const std::vector<std::string> &env = {})
{
    std::string line = "timeout -s KILL 30 env";
    for (const std::string &word : env)
        line += " '" + word + "'";
    for (const std::string &word : argv)
        line += " '" + word + "'";
    int status = system((line + " > '" + outPath + "' 2>&1 < /dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Tools, ListsADirectoryWithEachEntrysStatus)
{
    Scratch s;
    for (int i = 0; i < 300; i++)
        std::ofstream(s / "f" + std::to_string(i)) << std::string(static_cast<size_t>(i), 'x');
    fs::create_directory(s / "sub");
    fs::create_symlink("nowhere", s / "dangling");
    Daemon d;
    hostlink::Link link = d.Open();
    std::vector<hostlink::DirEntry> entries;
    ASSERT_EQ(hostlink::listDirectory(link, s.path(), &entries), 0);
    ASSERT_EQ(entries.size(), 302u);
    for (const auto &e : entries) {
        ASSERT_EQ(e.error, 0) << e.name;
        if (e.name == "sub")
            EXPECT_TRUE(S_ISDIR(static_cast<mode_t>(e.status.mode)));
        else if (e.name == "dangling")
            EXPECT_TRUE(S_ISLNK(static_cast<mode_t>(e.status.mode)));
        else
            EXPECT_EQ(e.status.size, std::stoi(e.name.substr(1))) << e.name;
    }
    hostlink::ListOptions dots;
    dots.includeDots = true;
    dots.readdirWindow = 1;
    ASSERT_EQ(hostlink::listDirectory(link, s / "sub", &entries, dots), 0);
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(hostlink::listDirectory(link, s / "none", &entries), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Tools, WholeFilesBothWaysWithProgress)
{
    Scratch s;
    std::string data(3 * hostlink::kMaxData + 1234, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 7 % 253);
    Daemon d;
    hostlink::Link link = d.Open(true);
    for (size_t chunk : {static_cast<size_t>(hostlink::kMaxData), size_t{1000}}) {
        hostlink::TransferOptions o;
        o.chunk = chunk;
        o.window = 4;
        std::vector<int64_t> seen;
        o.progress = [&](int64_t done, int64_t) { seen.push_back(done); };
        ASSERT_EQ(hostlink::writeFile(link, s / "f", data, 0600, o), static_cast<int64_t>(data.size()));
        EXPECT_TRUE(ReadFile(s / "f") == data);
        EXPECT_EQ(fs::status(s / "f").permissions(), fs::perms::owner_read | fs::perms::owner_write);
        std::string back;
        seen.clear();
        ASSERT_EQ(hostlink::readFile(link, s / "f", &back, o), static_cast<int64_t>(data.size()));
        EXPECT_TRUE(back == data);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), static_cast<int64_t>(data.size()));
    }
    std::string none;
    EXPECT_EQ(hostlink::readFile(link, s / "none", &none), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(hostlink::writeFile(link, s / "none/f", "x"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(hostlink::getpid(link) > 0, true); // the link is in step
}

// A host program with its output captured or written to local descriptors, input from one,
// its exit status, and the typed failures.
TEST(Tools, RunsAHostProgramCapturedOrIntoDescriptors)
{
    Scratch s;
    std::string in = s.Put("in", std::string(200000, 'i')); // more than a socket buffer holds at once
    Daemon d;
    hostlink::Link link = d.Open();
    int32_t agent = hostlink::getpid(link);
    using F = hostlink::RunFailure;
    struct Row {
        std::vector<std::string> argv;
        bool feed;
        double timeout;
        sig_atomic_t stop;
        F failure;
        int status;
        std::string out, err; // err: a part of it
    };
    const std::vector<Row> rows = {
        {{"wc", "-c"}, true, 20, 0, F::None, 0, "200000\n", ""},
        {{"wc", "-c"}, false, 20, 0, F::None, 0, "0\n", ""},
        {{"sh", "-c", "head -c 3; echo; echo e >&2; exit 4"}, true, 20, 0, F::None, 4, "iii\n", "e\n"},
        {{"echo", "a b", "c;d"}, false, 20, 0, F::None, 0, "a b c;d\n", ""},
        {{"sh", "-c", "kill -9 $$"}, false, 20, 0, F::None, 137, "", "Killed"},
        {{"no-such-program-anywhere"}, false, 20, 0, F::None, 127, "", "not found"},
        {{"sleep", "5"}, false, 0.3, 0, F::TimedOut, -1, "", ""},
        {{"sleep", "5"}, false, 20, 1, F::Interrupted, -1, "", ""},
    };
    auto trimmed = [](const std::string &t) { return t.substr(std::min(t.find_first_not_of(' '), t.size())); };
    auto holds = [](const std::string &t, const std::string &part) { return part.empty() ? t.empty() : t.find(part) != std::string::npos; };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.argv.back());
        volatile sig_atomic_t stop = row.stop;
        hostlink::RunOptions o;
        o.inFd = row.feed ? open(in.c_str(), O_RDONLY) : -1;
        o.timeoutSeconds = row.timeout;
        o.stop = &stop;
        hostlink::RunResult r = hostlink::runCapture(link, row.argv[0], row.argv, o);
        EXPECT_EQ(r.failure, row.failure) << r.message();
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(trimmed(r.out), row.out);
        EXPECT_TRUE(holds(r.err, row.err)) << r.err;
        EXPECT_EQ(hostlink::getpid(link), agent); // the agent serves again
        if (o.inFd >= 0)
            close(o.inFd);
        if (row.failure != F::None)
            continue;
        o.inFd = row.feed ? open(in.c_str(), O_RDONLY) : -1;
        o.outFd = open((s / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        o.errFd = open((s / "err").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(hostlink::runProgram(link, row.argv[0], row.argv, o), row.status) << strerror(errno);
        for (int fd : {o.inFd, o.outFd, o.errFd})
            if (fd >= 0)
                close(fd);
        EXPECT_EQ(trimmed(ReadFile(s / "out")), row.out);
        EXPECT_TRUE(holds(ReadFile(s / "err"), row.err)) << ReadFile(s / "err");
        EXPECT_EQ(hostlink::getpid(link), agent);
    }
}

TEST(Tools, HostProgramMessagesBecomeErrnoValues)
{
    const std::vector<std::pair<const char *, int>> rows = {
        {"mv: cannot move 'a' to 'b/a': Permission denied", EACCES},
        {"rmdir: failed to remove 'd': Directory not empty", ENOTEMPTY},
        {"mv: cannot stat 'x': No such file or directory", ENOENT},
        {"mv: cannot overwrite directory 'd' with non-directory", EISDIR},
        {"mv: cannot move 'd' to a subdirectory of itself, 'd/e'", EINVAL},
        {"truncate: cannot open 'f' for writing: Read-only file system", EROFS},
        {"touch: setting times of 'f': Operation not permitted", EPERM},
        {"mv: inter-device move failed: Invalid cross-device link", EXDEV},
        {"something else went wrong", EIO},
    };
    for (const auto &[text, error] : rows)
        EXPECT_EQ(hostlink::errnoFromMessage(text), error) << text;
}

// Where the agent is (the endpoints themselves: ClientArgs rows); a key without libsodium.
TEST(Tools, TheAgentsHost)
{
    {
        EnvVar ssh("SSH_CONNECTION", "127.0.0.5 4000 127.0.0.1 22"), host("HOSTAGENT_HOST", "127.0.0.6");
        EXPECT_EQ(hostlink::agentHost(), "127.0.0.5");
        unsetenv("SSH_CONNECTION");
        EXPECT_EQ(hostlink::agentHost(), "127.0.0.6");
        unsetenv("HOSTAGENT_HOST");
        EXPECT_EQ(hostlink::agentHost(), "127.0.0.1");
    }
    hostlink::ConnectOptions keyed;
    keyed.key = "secret";
    Daemon d;
    if (!hostlink::authenticationAvailable()) {
        EXPECT_THROW(hostlink::connectTo({"127.0.0.1", d.port}, keyed), hostlink::LinkError);
    }
}

// The examples on the one connect: plain and extension agents, with a key file; a size beyond
// 32 bits shows only where the agent offers the 64-bit status.
TEST(Examples, ListAndFetchAgainstAnAgent)
{
    Scratch s;
    std::string big(200000, 'b'), key = s.Put("key", std::string(64, 'a'));
    s.Put("small", "hello");
    s.Put("big", big);
    ASSERT_EQ(truncate(s.Put("huge", "").c_str(), int64_t(5) << 30), 0);
    for (bool keyed : {false, true})
        for (const char *example : {LIST_PATH, FETCH_PATH}) {
            AgentProcess agent;
            ASSERT_TRUE(keyed ? agent.Start({"xt.term", "-d", "-x", "-k" + key, "--"}) : agent.Start({"xt.term", "-d", "--"}));
            bool list = example == std::string(LIST_PATH);
            std::vector<std::string> run = {example, "--key", key, "127.0.0.1:" + std::to_string(agent.port)};
            if (!keyed)
                run.erase(run.begin() + 1, run.begin() + 3);
            if (list)
                run.push_back(s.path());
            else
                run.insert(run.end(), {s / "big", s / "copy"});
            EXPECT_EQ(RunProgram(run, s / "out"), 0) << example << ReadFile(s / "out");
            std::string out = ReadFile(s / "out");
            if (!list) {
                EXPECT_TRUE(ReadFile(s / "copy") == big);
                EXPECT_NE(out.find("fetched 200000 bytes"), std::string::npos) << out;
                continue;
            }
            for (const char *line : {"           5 small\n", "      200000 big\n", keyed ? "  5368709120 huge\n" : "           ? huge\n"})
                EXPECT_NE(out.find(line), std::string::npos) << out;
        }
    EXPECT_EQ(RunProgram({LIST_PATH, "nowhere", s.path()}, s / "usage"), 2);
}

// The terminal client's log never goes through a link planted in its place, and lands in a
// fresh private directory when the usual one is not this user's own.
TEST(TermClient, LogIsNeverOpenedThroughAPlantedLink)
{
    Scratch s;
    std::string victim = s / "victim";
    std::ofstream(victim) << "precious";
    int port;
    {
        Daemon d; // a port given back: the client's connect fails after it has started its log
        port = d.port;
    }
    std::string tc = TERMCLIENT_PATH, p = std::to_string(port);
    // An explicit log that is a link: refused before anything is written.
    fs::create_symlink(victim, s / "log");
    EXPECT_EQ(RunProgram({tc, "-peer", p}, s / "out", {"HOSTAGENT_LOG=" + (s / "log")}), 1);
    fs::create_directory(s / "elsewhere");
    struct Row {
        const char *runtime;
        std::function<void(const std::string &dir)> plant; // makes RUNTIME/hostagent
        bool fresh; // the log goes to a fresh RUNTIME/hostagent.XXXXXX
    };
    const std::vector<Row> rows = {
        {"run1", [&](const std::string &d) { fs::create_directory_symlink(s / "elsewhere", d); }, true},
        {"run2", [](const std::string &d) { fs::create_directory(d), chmod(d.c_str(), 0777); }, true},
        {"run3", [](const std::string &d) { fs::create_directory(d), chmod(d.c_str(), 0700), chown(d.c_str(), 65534, 65534); },
         true},
        {"run4", [](const std::string &d) { fs::create_directory(d), chmod(d.c_str(), 0700); }, false},
    };
    for (const Row &row : rows) {
        std::string runtime = (s / "") + row.runtime, usual = runtime + "/hostagent";
        fs::create_directory(runtime);
        row.plant(usual);
        // In a private directory a planted link is replaced, not followed.
        if (!row.fresh)
            fs::create_symlink(victim, usual + "/termclient-" + p + ".log");
        EXPECT_EQ(RunProgram({tc, "-peer", p}, s / "out", {"XDG_RUNTIME_DIR=" + runtime}), 0) << row.runtime;
        std::string dir = usual;
        WaitUntil([&] {
            for (const auto &e : fs::directory_iterator(runtime))
                if (e.path().filename().string().rfind("hostagent.", 0) == 0)
                    dir = e.path().string();
            return !row.fresh || dir != usual;
        }, 5);
        ASSERT_EQ(dir != usual, row.fresh) << row.runtime;
        std::string log = dir + "/termclient-" + p + ".log";
        WaitUntil([&] { return ReadFile(log).find("nothing is listening") != std::string::npos; }, 5);
        EXPECT_FALSE(fs::is_symlink(log)) << row.runtime;
        EXPECT_NE(ReadFile(log).find("started as"), std::string::npos) << row.runtime;
        EXPECT_EQ(fs::status(log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << row.runtime;
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_TRUE(fs::is_empty(s / "elsewhere"));
}
