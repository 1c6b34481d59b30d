// Pure functions of the agent: command line, escaping, byte swaps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "service/protocol.h"

namespace {

struct Argv {
    std::vector<std::string> store;
    std::vector<char *> own, client;
    explicit Argv(std::vector<std::string> args) : store(std::move(args))
    {
        for (auto &s : store)
            own.push_back(s.data());
        own.push_back(nullptr);
        client.resize(own.size() + 1);
    }
    int argc() const { return static_cast<int>(store.size()); }
};

std::vector<std::string> Strings(char **v, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.emplace_back(v[i]);
    return out;
}

TEST(SplitArgs, NoSeparatorGivesEverythingToTheClient)
{
    Argv a({"xt.term", "-v", "-d"});
    int argc = a.argc(), cc = 0;
    SplitArgs(&argc, a.own.data(), &cc, a.client.data());
    EXPECT_EQ(argc, 1);
    EXPECT_EQ(a.own[1], nullptr);
    EXPECT_EQ(Strings(a.client.data(), cc), (std::vector<std::string>{"xt.term", "-v", "-d"}));
    EXPECT_EQ(a.client[3], nullptr);
}

TEST(SplitArgs, LastSeparatorSplits)
{
    Argv a({"xt.term", "-v", "--", "-d", "--", "a", "b"});
    int argc = a.argc(), cc = 0;
    SplitArgs(&argc, a.own.data(), &cc, a.client.data());
    EXPECT_EQ(argc, 4);
    EXPECT_EQ(a.own[4], nullptr);
    EXPECT_EQ(Strings(a.client.data(), cc), (std::vector<std::string>{"xt.term", "a", "b"}));

    Argv b({"xt.term", "-v", "--"});
    argc = b.argc();
    SplitArgs(&argc, b.own.data(), &cc, b.client.data());
    EXPECT_EQ(argc, 2);
    EXPECT_EQ(cc, 1);
    EXPECT_EQ(b.client[1], nullptr);
}

TEST(ProcessClientArgs, LastDisplayWinsAndTrailingOneIsIgnored)
{
    unsetenv("DISPLAY");
    Argv a({"xt.term", "-display", "one:0", "-display", "two:1", "-display"});
    ProcessClientArgs(a.argc(), a.own.data());
    ASSERT_NE(getenv("DISPLAY"), nullptr);
    EXPECT_STREQ(getenv("DISPLAY"), "two:1");
    Argv b({"-display", "zero:0"}); // entry 0 is never examined
    setenv("DISPLAY", "kept:0", 1);
    ProcessClientArgs(b.argc(), b.own.data());
    EXPECT_STREQ(getenv("DISPLAY"), "kept:0");
}

TEST(Escape, MetacharactersGetABackslash)
{
    char *e = EscapeArg("a b;c|d&e\"f'g\th");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "a\\ b\\;c\\|d\\&e\\\"f\\'g\\\th");
    free(e);
    EXPECT_EQ(EscapeArg("$HOME`x`\\<>()*?~#"), nullptr);
    EXPECT_EQ(EscapeArg(""), nullptr);
    EXPECT_EQ(EscapeArg("caf\xc3\xa9"), nullptr);
}

TEST(Escape, LongArgumentsAreEscapedWhole)
{
    std::string arg(600, ' ');
    char *e = EscapeArg(arg.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(strlen(e), 1200u);
    free(e);

    std::vector<std::string> store = {"/opt/my dir/xt.term", "$x", "a b"};
    std::vector<char *> v = {store[0].data(), store[1].data(), store[2].data(), nullptr};
    char *dollar = v[1];
    EscapeMetaChars(3, v.data());
    EXPECT_STREQ(v[0], "/opt/my\\ dir/xt.term");
    EXPECT_EQ(v[1], dollar);
    EXPECT_STREQ(v[2], "a\\ b");
    free(v[0]);
    free(v[2]);
}

TEST(Prefix, OneClientPrefixIsDropped)
{
    EXPECT_STREQ(StripClientPrefix("/usr/bin/xt.term"), "term");
    EXPECT_STREQ(StripClientPrefix("vkxt.term"), "term");
    EXPECT_STREQ(StripClientPrefix("apt.term"), "term");
    EXPECT_STREQ(StripClientPrefix("xt.apt.term"), "apt.term");
    EXPECT_STREQ(StripClientPrefix("a/b/plain"), "plain");
    EXPECT_STREQ(StripClientPrefix("xt."), "");
}

TEST(Swap, PrimitivesReverseBytes)
{
    EXPECT_EQ(swaps(0x1234), 0x3412);
    EXPECT_EQ(swaps(0x7fff1234), 0x3412);
    EXPECT_EQ(swapl(PROTOCOL_MAGIC), 0x196dd72eu);
    EXPECT_EQ(swapl(swapl(0xdeadbeef)), 0xdeadbeefu);
}

std::vector<uint32_t> Words(const char *m, int n)
{
    std::vector<uint32_t> w;
    for (int i = 0; i < n; i++)
        w.push_back(static_cast<uint32_t>(GetWord(m, i)));
    return w;
}

// Fills a message with distinct words, swaps it, and returns which words changed.
std::vector<int> Converted(int call, bool reply)
{
    static char msg[MAX_MESSAGE];
    for (int i = 0; i < 16; i++)
        PutWord(msg, i, static_cast<int32_t>(0x01020304u + static_cast<uint32_t>(i) * 0x10101010u));
    SetLength(msg, 52);
    msg[2] = static_cast<char>(call);
    msg[3] = 0;
    std::vector<uint32_t> before = Words(msg, 16);
    if (reply)
        SwapReply(msg);
    else
        SwapRequest(msg);
    std::vector<int> changed;
    EXPECT_EQ(MsgLength(msg), swaps(52));
    EXPECT_EQ(MsgCall(msg), call);
    for (int i = 1; i < 16; i++) {
        uint32_t w = static_cast<uint32_t>(GetWord(msg, i));
        if (w != before[static_cast<size_t>(i)]) {
            EXPECT_EQ(w, swapl(before[static_cast<size_t>(i)]));
            changed.push_back(i);
        }
    }
    return changed;
}

TEST(Swap, RequestTable)
{
    using V = std::vector<int>;
    EXPECT_EQ(Converted(0, false), (V{1, 2, 3}));
    EXPECT_EQ(Converted(5, false), (V{1, 2, 3}));
    EXPECT_EQ(Converted(6, false), (V{1}));
    EXPECT_EQ(Converted(30, false), (V{1, 2}));
    EXPECT_EQ(Converted(37, false), (V{1, 2}));
    EXPECT_EQ(Converted(39, false), (V{1}));
    EXPECT_EQ(Converted(43, false), (V{1, 2}));
    EXPECT_EQ(Converted(48, false), (V{1}));
    for (int call : {4, 7, 11, 12, 18, 29, 36, 41, 44, 47, 49, 255})
        EXPECT_EQ(Converted(call, false), V{}) << call;
}

TEST(Swap, ReplyTable)
{
    using V = std::vector<int>;
    EXPECT_EQ(Converted(0, true), (V{1, 2, 3}));
    EXPECT_EQ(Converted(1, true), (V{1, 2}));
    EXPECT_EQ(Converted(11, true), (V{1}));
    EXPECT_EQ(Converted(48, true), (V{1, 2}));
    EXPECT_EQ(Converted(12, true), (V{1, 3, 4, 5, 6}));
    EXPECT_EQ(Converted(15, true), (V{1}));
    EXPECT_EQ(Converted(18, true), (V{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(Converted(27, true), V{});
    EXPECT_EQ(Converted(35, true), V{});
    EXPECT_EQ(Converted(29, true), (V{1, 2, 3, 4, 5}));
    EXPECT_EQ(Converted(41, true), (V{1, 2, 3, 4}));
    EXPECT_EQ(Converted(47, true), (V{1, 2}));
}

TEST(SwapDeathTest, ReplyOfUnknownCallEndsTheProcess)
{
    static char msg[16] = {16, 0, 64, 0};
    EXPECT_EXIT(SwapReply(msg), testing::ExitedWithCode(1), "internal error, Unknown function call 64\n");
}

TEST(RequestFields, BoundsAreChecked)
{
    static char req[MAX_MESSAGE];
    memset(req, 'x', sizeof req);
    SetLength(req, 10);
    int32_t w = 0;
    EXPECT_TRUE(ReqWord(req, 1, &w));
    EXPECT_FALSE(ReqWord(req, 2, &w));
    EXPECT_EQ(ReqString(req, 4, nullptr), nullptr); // no NUL inside 10 bytes
    req[9] = '\0';
    int next = 0;
    EXPECT_EQ(ReqString(req, 4, &next), req + 4);
    EXPECT_EQ(next, 10);
    EXPECT_EQ(ReqString(req, 10, &next), nullptr);
    SetLength(req, 65535);
    EXPECT_EQ(RequestSize(req), MAX_MESSAGE);
}

// A recording program stands in for the host-based client.
std::string MakeRecorder(const std::string &dir, const std::string &name)
{
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "w");
    fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$0\" \"$@\" \"$PATH\" > \"%s/record\"\n", dir.c_str());
    fclose(f);
    chmod(path.c_str(), 0755);
    return path;
}

std::string Slurp(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

TEST(FallBackDeathTest, RebuildsPathAndRunsTheHostClient)
{
    char tmpl[] = "/tmp/fallback-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    MakeRecorder(dir, "term");
    std::vector<std::string> store = {"xt.term", "-peer", "4000", "a\\ b"};
    std::vector<char *> v = {store[0].data(), store[1].data(), store[2].data(), store[3].data(), nullptr};
    settings.failsafe = 1;
    settings.addToPath[0] = dir.c_str();

    unsetenv("PATH");
    EXPECT_EXIT(StartBackupClient(4, v.data()), testing::ExitedWithCode(0), "");
    std::string record = Slurp(dir + "/record");
    EXPECT_EQ(record.substr(0, record.find('\n')), dir + "/term"); // found on the added directory
    EXPECT_EQ(record.substr(record.find('\n') + 1), "-peer\n4000\na\\ b\n/usr/bin:/bin:" + dir + "\n");

    setenv("PATH", "", 1);
    EXPECT_EXIT(StartBackupClient(4, v.data()), testing::ExitedWithCode(0), "");
    EXPECT_EQ(Slurp(dir + "/record").substr(Slurp(dir + "/record").rfind("4000")), "4000\na\\ b\n:" + dir + "\n");

    settings.verbose = 1;
    setenv("PATH", "/nonexistent", 1);
    settings.addToPath[0] = "";
    EXPECT_EXIT(StartBackupClient(4, v.data()), testing::ExitedWithCode(1),
                "^Attemting to start host based term\n  it also failed.\n$");
    settings.failsafe = 0;
    EXPECT_EXIT(StartBackupClient(4, v.data()), testing::ExitedWithCode(1), "^$");
    settings.verbose = 0;
    settings.failsafe = 1;
    setenv("PATH", "/usr/bin:/bin", 1);    std::filesystem::remove_all(dir);
}

TEST(ProcessArgs, OptionsSetTheSettings)
{
    std::vector<std::string> store = {"xt.term", "-v", "-nfs", "-fs", "-t30s", "-rssh", "-p/opt", "-c", "-help"};
    std::vector<char *> v;
    for (auto &s : store)
        v.push_back(s.data());
    v.push_back(nullptr);
    Settings saved = settings;
    ProcessArgs(static_cast<int>(store.size()), v.data());
    EXPECT_EQ(settings.verbose, 1);
    EXPECT_EQ(settings.failsafe, 1);
    EXPECT_EQ(settings.timeout, 30);
    EXPECT_STREQ(settings.remote_shell_commands[0], "ssh");
    EXPECT_STREQ(settings.remote_shell_commands[1], "rsh");
    EXPECT_STREQ(settings.addToPath[0], "/opt");
    EXPECT_STREQ(settings.termCmd, "");
    EXPECT_STREQ(settings.terminalName, "elp");
    char neg[] = "-t-5";
    char *v2[] = {store[0].data(), neg, nullptr};
    ProcessArgs(2, v2);
    EXPECT_EQ(settings.timeout, -5);
    settings = saved;
}

} // namespace

#include <cerrno>
#include "service/errnomap.h"

namespace {

TEST(ErrnoMap, HostErrorsGetWireNumbers)
{
    EXPECT_EQ(maperrno(0), 22);
    EXPECT_EQ(maperrno(EINVAL), 22);
    EXPECT_EQ(maperrno(EOVERFLOW), 22);
    EXPECT_EQ(maperrno(ESTALE), 22);
    EXPECT_EQ(maperrno(EAGAIN), 11);
    EXPECT_EQ(maperrno(EWOULDBLOCK), 11);
    EXPECT_EQ(maperrno(EDEADLK), 35);
    EXPECT_EQ(maperrno(ENOTEMPTY), 66);
    EXPECT_EQ(maperrno(EINPROGRESS), 36);
    EXPECT_EQ(maperrno(ECONNREFUSED), 61);
    EXPECT_EQ(maperrno(ENAMETOOLONG), 63);
    EXPECT_EQ(maperrno(-1), 22);
    EXPECT_EQ(maperrno(100000), 22);
    for (int e = -5; e < 300; e++) {
        int w = maperrno(e);
        EXPECT_TRUE(w > 0 && w != 67 && w <= 73) << e;
    }
}

} // namespace

#include <fcntl.h>
#include <unistd.h>
#include "service/files.h"

namespace {

TEST(FileTranslations, OpenFlagsBitByBit)
{
    EXPECT_EQ(HostOpenFlags(0), O_RDONLY);
    EXPECT_EQ(HostOpenFlags(1), O_WRONLY);
    EXPECT_EQ(HostOpenFlags(2), O_RDWR);
    EXPECT_EQ(HostOpenFlags(3), O_RDWR);
    EXPECT_EQ(HostOpenFlags(0x1000 | 1), O_WRONLY | O_APPEND);
    EXPECT_EQ(HostOpenFlags(0x200 | 0x800 | 2), O_RDWR | O_CREAT | O_EXCL);
    EXPECT_EQ(HostOpenFlags(0x2000), O_NONBLOCK);
    EXPECT_EQ(HostOpenFlags(0x400 | 1), O_WRONLY | O_TRUNC);
    // Bits the wire does not define are dropped.
    EXPECT_EQ(HostOpenFlags(static_cast<int32_t>(0xffff0000u | 0x1ff) & ~3), O_RDONLY);
    EXPECT_EQ(HostOpenFlags(-1), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK | O_TRUNC);
}

TEST(FileTranslations, AccessModeBitByBit)
{
    EXPECT_EQ(HostAccessMode(0), F_OK);
    EXPECT_EQ(HostAccessMode(1), R_OK);
    EXPECT_EQ(HostAccessMode(2), W_OK);
    EXPECT_EQ(HostAccessMode(4), X_OK);
    EXPECT_EQ(HostAccessMode(5), R_OK | X_OK);
    EXPECT_EQ(HostAccessMode(0x7ffffff8), F_OK);
    EXPECT_EQ(HostAccessMode(-1), R_OK | W_OK | X_OK);
}

} // namespace
