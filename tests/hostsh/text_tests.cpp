// The pure functions of hostsh: command lines, glob patterns, listings and the progress line.
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>

#include "hostsh/text.h"

using namespace hostsh;

namespace {

std::string Words(std::string_view line, int status = 0)
{
    std::string error;
    auto c = Tokenize(line, status, &error);
    if (!c)
        return "error: " + error;
    std::string out = c->ignoreFailure ? "-" : "";
    for (const Word &w : c->words)
        out += "[" + w.text + (w.glob ? "|" + w.pattern : "") + "]";
    return out;
}

} // namespace

TEST(Tokenize, Table)
{
    struct Row {
        const char *line, *want;
    } rows[] = {
        {"  ls   -l  a ", "[ls][-l][a]"},
        {"get 'a b' \"c d\" e\\ f", "[get][a b][c d][e f]"},
        {"echo 'it''s' \"q\\\"x\\\\\" a\\'b", "[echo][its][q\"x\\][a'b]"},
        {"echo \"\\n\" '\\n'", "[echo][\\n][\\n]"},
        {"-rm x", "-[rm][x]"},
        {"  - rm x", "-[rm][x]"},
        {"ls *.c 'a*' \\*b", "[ls][*.c|*.c][a*][*b]"},
        {"ls a[bc] x[", "[ls][a[bc]|a[bc]][x[]"},
        {"ls '*'x?", "[ls][*x?|\\*x?]"},
        {"echo $? \"$?\" '$?' \\$?", "[echo][7][7][$?][$?|$?]"},
        {"ls # comment", "[ls]"},
        {"# all comment", ""},
        {"a''b \"\"", "[ab][]"},
        {"echo 'open", "error: unterminated quote"},
        {"echo \"open", "error: unterminated quote"},
        {"echo x\\", "error: backslash at the end of the line"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(Words(r.line, 7), r.want) << r.line;
}

TEST(Glob, Table)
{
    struct Row {
        const char *pattern, *name;
        bool match;
    } rows[] = {
        {"*", "abc", true},         {"*", ".hidden", false},    {".*", ".hidden", true},
        {"a*c", "abbbc", true},     {"a*c", "abcd", false},     {"*.txt", "x.txt.gz", false},
        {"?", "a", true},           {"?", "", false},           {"??", "a", false},
        {"[abc]x", "bx", true},     {"[abc]x", "dx", false},    {"[a-c]", "b", true},
        {"[!a-c]", "b", false},     {"[^a-c]", "z", true},      {"[]]", "]", true},
        {"[a-]", "-", true},        {"\\*", "*", true},         {"\\*", "a", false},
        {"*a*b*", "xaybz", true},   {"*a*b*", "xbya", false},   {"[.]x", ".x", false},
        {"a\\[b", "a[b", true},     {"*[0-9]", "file7", true},  {"", "", true},
    };
    for (const Row &r : rows)
        EXPECT_EQ(GlobMatch(r.pattern, r.name), r.match) << r.pattern << " " << r.name;
    EXPECT_TRUE(HasGlob("a*"));
    EXPECT_FALSE(HasGlob("a\\*"));
    EXPECT_FALSE(HasGlob("a["));
    EXPECT_EQ(Unescape("a\\*b\\\\"), "a*b\\");
}

TEST(Listing, ModesAndColumns)
{
    struct Row {
        uint32_t mode;
        const char *want;
    } rows[] = {
        {0100644, "-rw-r--r--"}, {040755, "drwxr-xr-x"}, {0120777, "lrwxrwxrwx"}, {0104755, "-rwsr-xr-x"},
        {0102644, "-rw-r-Sr--"}, {041777, "drwxrwxrwt"}, {041776, "drwxrwxrwT"}, {020620, "crw--w----"},
        {060660, "brw-rw----"},  {010600, "prw-------"}, {0140755, "srwxr-xr-x"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(ModeString(r.mode), r.want) << std::oct << r.mode;

    std::vector<LongRow> long_rows = {{"-rw-r--r--", "1", "root", "0", "5", "Jan  1 10:00", "a"},
                                      {"drwxr-xr-x", "12", "1000", "100", "4096", "Feb 10  2020", "dir"}};
    EXPECT_EQ(FormatLong(long_rows), "-rw-r--r--  1 root 0      5 Jan  1 10:00 a\n"
                                     "drwxr-xr-x 12 1000 100 4096 Feb 10  2020 dir\n");
    EXPECT_EQ(FormatColumns({"a", "bb", "c", "d", "e"}, 0), "a\nbb\nc\nd\ne\n");
    EXPECT_EQ(FormatColumns({"a", "bb", "c", "d", "e"}, 9), "a   d\nbb  e\nc\n");

    setenv("TZ", "UTC", 1);
    tzset();
    int64_t now = 1700000000; // 2023-11-14 22:13:20
    EXPECT_EQ(ListTime(now - 3600, now), "Nov 14 21:13");
    EXPECT_EQ(ListTime(now - 400LL * 86400, now), "Oct 10  2022");
    EXPECT_EQ(ListTime(now + 86400, now), "Nov 15  2023"); // in the future
}

TEST(Progress, LineHoldsEverythingWithinWidth)
{
    std::string line = ProgressLine("big.bin", 256 << 20, 512 << 20, 2.0, false, 80);
    EXPECT_EQ(line.size(), 80u);
    EXPECT_EQ(line.rfind("big.bin", 0), 0u);
    for (const char *part : {" 50% ", "256M", "128M/s", "00:02 ETA"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    std::string done = ProgressLine("a-very-long-file-name-that-does-not-fit-anywhere", 1536, 1536, 61.0, true, 40);
    EXPECT_EQ(done.size(), 40u);
    EXPECT_NE(done.find("100%"), std::string::npos) << done;
    EXPECT_NE(done.find("01:01"), std::string::npos) << done;
    EXPECT_NE(ProgressLine("x", 0, -1, 0, false, 60).find("--:-- ETA"), std::string::npos);
    EXPECT_EQ(HumanSize(1023), "1023B");
    EXPECT_EQ(HumanSize(1536), "1.5K");
    EXPECT_EQ(HumanSize(3.0 * (1 << 30)), "3.0G");
}

TEST(Messages, PathsAndReasons)
{
    EXPECT_EQ(Message("get", "/etc/shadow", EACCES), "get: /etc/shadow: Permission denied");
    EXPECT_EQ(Message("pwd", "", ENOENT), "pwd: No such file or directory");
    EXPECT_EQ(JoinPath(".", "a"), "a");
    EXPECT_EQ(JoinPath("d/", "a"), "d/a");
    EXPECT_EQ(JoinPath("d", "/abs"), "/abs");
    EXPECT_EQ(BaseName("/x/y/"), "y");
    EXPECT_EQ(BaseName("/"), "");
}
