// hostrun's command line and its pure helpers.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "hostrun/options.h"

namespace {

using hostrun::Options;

struct ParseRow {
    std::vector<std::string> args;
    const char *error; // a part of the error, or nullptr when the line is good
    std::string prefix, endpoint;
    int peer;
    bool env, identity;
    std::string key;
    std::vector<std::string> program;
};

TEST(HostrunOptions, ParsesEveryFormAndRefusesTheWrongOnes)
{
    const ParseRow rows[] = {
        {{"h:1", "ls"}, nullptr, "/host", "h:1", -1, false, false, "", {"ls"}},
        {{"-p", "/x//y/", "-e", "-i", "h:1", "ls", "-l"}, nullptr, "/x/y", "h:1", -1, true, true, "", {"ls", "-l"}},
        {{"-p", "/", "-peer", "4000", "sh"}, nullptr, "/", "", 4000, false, false, "", {"sh"}},
        {{"--key", "k", "--", "[::1]:9", "-x"}, nullptr, "/host", "::1:9", -1, false, false, "k", {"-x"}},
        {{"-peer", "9", "--", "-p"}, nullptr, "/host", "", 9, false, false, "", {"-p"}},
        {{"h:1", "ls", "-e"}, nullptr, "/host", "h:1", -1, false, false, "", {"ls", "-e"}}, // options end at the endpoint
        {{}, "usage:", "", "", 0, false, false, "", {}},
        {{"h:1"}, "usage:", "", "", 0, false, false, "", {}},
        {{"-peer", "9"}, "usage:", "", "", 0, false, false, "", {}},
        {{"-q", "h:1", "ls"}, "usage:", "", "", 0, false, false, "", {}},
        {{"-peer", "0", "ls"}, "bad port", "", "", 0, false, false, "", {}},
        {{"-peer", "70000", "ls"}, "bad port", "", "", 0, false, false, "", {}},
        {{"-peer", "9", "h:1", "ls"}, nullptr, "/host", "", 9, false, false, "", {"h:1", "ls"}},
        {{"--key", "k"}, "usage:", "", "", 0, false, false, "", {}},
        {{"-p", "rel", "h:1", "ls"}, "absolute", "", "", 0, false, false, "", {}},
        {{"-p", "/a/../b", "h:1", "ls"}, "absolute", "", "", 0, false, false, "", {}},
        {{"nocolon", "ls"}, "not HOST:PORT", "", "", 0, false, false, "", {}},
    };
    for (const ParseRow &r : rows) {
        std::string line;
        for (const auto &a : r.args)
            line += a + " ";
        SCOPED_TRACE(line);
        std::string error;
        std::optional<Options> o = hostrun::ParseOptions(r.args, &error);
        if (r.error) {
            EXPECT_FALSE(o);
            EXPECT_NE(error.find(r.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(o) << error;
        EXPECT_EQ(o->prefix, r.prefix);
        EXPECT_EQ(o->client.peer ? "" : o->client.where.host + ":" + std::to_string(o->client.where.port), r.endpoint);
        EXPECT_EQ(o->client.peer ? o->client.where.port : -1, r.peer);
        EXPECT_EQ(o->hostEnv, r.env);
        EXPECT_EQ(o->identity, r.identity);
        EXPECT_EQ(o->client.keyFile, r.key);
        EXPECT_EQ(o->program, r.program);
    }
}

TEST(HostrunOptions, PrefixesAreCleanedAndSplit)
{
    EXPECT_EQ(hostrun::CleanPrefix("/"), "/");
    EXPECT_EQ(hostrun::CleanPrefix("//"), "/");
    EXPECT_EQ(hostrun::CleanPrefix("/./a/./b//"), "/a/b");
    EXPECT_EQ(hostrun::CleanPrefix("/a/.."), std::nullopt);
    EXPECT_EQ(hostrun::CleanPrefix(""), std::nullopt);
    EXPECT_EQ(hostrun::Components("/"), std::vector<std::string>{});
    EXPECT_EQ(hostrun::Components("/mnt/host"), (std::vector<std::string>{"mnt", "host"}));
}

TEST(HostrunOptions, StatusesAndEnvironment)
{
    EXPECT_EQ(hostrun::ExitStatusOf(3 << 8), 3);
    EXPECT_EQ(hostrun::ExitStatusOf(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(hostrun::MapLine(1000, 0), "1000 0 1\n");
    EXPECT_EQ(hostrun::ProgramEnvironment({"A=1", "USER=me", "LOGNAME=me"}, ""),
              (std::vector<std::string>{"A=1", "USER=me", "LOGNAME=me"}));
    EXPECT_EQ(hostrun::ProgramEnvironment({"A=1", "USER=me", "LOGNAME=me"}, "them"),
              (std::vector<std::string>{"A=1", "LOGNAME=them", "USER=them"}));
}

} // namespace
