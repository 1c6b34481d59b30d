// hostrun's command line and its pure helpers.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "hostrun/options.h"

namespace {

using hostrun::Options;

// A parsed command line in one line: prefix, agent, -e, -i, key file, then the program.
std::string Describe(const Options &o)
{
    std::string d = o.prefix + " " + (o.client.peer ? "peer" : o.client.where.host) + ":" +
                    std::to_string(o.client.where.port) + (o.hostEnv ? " -e" : "") + (o.identity ? " -i" : "") +
                    (o.client.keyFile.empty() ? "" : " key=" + o.client.keyFile) + " |";
    for (const auto &a : o.program)
        d += " " + a;
    return d;
}

TEST(HostrunOptions, ParsesEveryFormAndRefusesTheWrongOnes)
{
    const struct {
        std::vector<std::string> args;
        std::string expected; // Describe's line, or a part of the error
    } rows[] = {
        {{"-p", "/", "-peer", "4000", "sh"}, "/ peer:4000 | sh"},
        {{"--key", "k", "--", "[::1]:9", "-x"}, "/host ::1:9 key=k | -x"},
        {{"-peer", "9", "--", "-p"}, "/host peer:9 | -p"},
        {{"-peer", "9", "h:1", "ls"}, "/host peer:9 | h:1 ls"},
        {{"h:1", "ls", "-e"}, "/host h:1 | ls -e"}, // options end at the endpoint
        {{}, "usage:"},
        {{"h:1"}, "usage:"},
        {{"-q", "h:1", "ls"}, "usage:"},
        {{"-peer", "70000", "ls"}, "bad port"},
        {{"-p", "rel", "h:1", "ls"}, "absolute"},
        {{"-p", "/a/../b", "h:1", "ls"}, "absolute"},
    };
    for (const auto &r : rows) {
        std::string error;
        std::optional<Options> o = hostrun::ParseOptions(r.args, &error);
        EXPECT_EQ(bool(o), r.expected.find(" | ") != std::string::npos) << error;
        if (o)
            EXPECT_EQ(Describe(*o), r.expected);
        else
            EXPECT_NE(error.find(r.expected), std::string::npos) << error;
    }
}

// (A plain command line, -e, -i, an exit status and the id maps: hostrun's own rows in run_tests.)
TEST(HostrunOptions, PrefixesStatusesAndEnvironment)
{
    EXPECT_EQ(hostrun::CleanPrefix("//"), "/");
    EXPECT_EQ(hostrun::CleanPrefix("/./a/./b//"), "/a/b");
    EXPECT_EQ(hostrun::CleanPrefix("/a/.."), std::nullopt);
    EXPECT_EQ(hostrun::CleanPrefix(""), std::nullopt);
    EXPECT_EQ(hostrun::Components("/"), std::vector<std::string>{});
    EXPECT_EQ(hostrun::Components("/mnt/host"), (std::vector<std::string>{"mnt", "host"}));
    EXPECT_EQ(hostrun::ExitStatusOf(SIGKILL), 128 + SIGKILL);
    std::vector<std::string> env = {"A=1", "USER=me", "LOGNAME=me"};
    EXPECT_EQ(hostrun::ProgramEnvironment(env, ""), env);
    EXPECT_EQ(hostrun::ProgramEnvironment(env, "them"), (std::vector<std::string>{"A=1", "LOGNAME=them", "USER=them"}));
}

} // namespace
