// The command table and the pure helpers of safety: options as sftp and the shell take them,
// what completion offers where, names shown and typed safely.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

#include "hostsh/options.h"
#include "hostsh/text.h"

using namespace hostsh;

namespace {

// "flags|arg|arg" or "error: ..." for a command line.
std::string Parse(const std::string &line)
{
    std::string error;
    auto words = Tokenize(line, 0, &error);
    const CommandRow *row = FindCommand(words->words[0].text);
    if (!row)
        return "no command";
    auto p = ParseArgs(*row, std::vector<Word>(words->words.begin() + 1, words->words.end()), &error);
    if (!p)
        return "error: " + error;
    std::string out = p->flags;
    for (const Word &w : p->args)
        out += "|" + w.text;
    return out;
}

} // namespace

TEST(ParseArgs, Table)
{
    struct Row {
        const char *line, *want;
    } rows[] = {
        {"mkdir -p a/b", "p|a/b"},
        {"mkdir -- -p", "|-p"},
        {"rm -rf x y", "rf|x|y"},
        {"rm -r -f -r x", "rf|x"},
        {"rm -- -f", "|-f"},
        {"rm x -f", "|x|-f"},       // options come first, as getopt takes them
        {"get -afpR a b", "afpR|a|b"},
        {"put - dest", "|-|dest"},   // a lone dash is an argument
        {"ls -1aSt", "1aSt"},
        {"ls", ""},
        {"? get", "|get"},
        {"ls -z", "error: ls: unknown option -z\nusage: ls [-1afhlnrSt] [PATH...]"},
        {"get -x a", "error: get: unknown option -x\nusage: get [-afpr] REMOTE [LOCAL]"},
        {"get a b c", "error: usage: get [-afpr] REMOTE [LOCAL]"},
        {"rename a", "error: usage: rename OLD NEW"},
        {"pwd -x", "error: usage: pwd"},
        {"frob", "no command"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(Parse(r.line), r.want) << r.line;
}

TEST(KindAt, Table)
{
    struct Row {
        const char *cmd;
        std::vector<std::string> before;
        ArgKind want;
    } rows[] = {
        {"get", {}, ArgKind::Host},
        {"get", {"-r", "dir"}, ArgKind::Local},
        {"get", {"a", "b"}, ArgKind::None},
        {"put", {"-p"}, ArgKind::Local},
        {"put", {"x"}, ArgKind::Host},
        {"rm", {"-rf", "a", "b"}, ArgKind::Host},
        {"rm", {"--", "-x"}, ArgKind::Host},
        {"chmod", {}, ArgKind::Other},
        {"chmod", {"644"}, ArgKind::Host},
        {"lcd", {}, ArgKind::Local},
        {"help", {}, ArgKind::Command},
        {"pwd", {}, ArgKind::None},
    };
    for (const Row &r : rows)
        EXPECT_EQ(static_cast<int>(KindAt(*FindCommand(r.cmd), r.before)), static_cast<int>(r.want)) << r.cmd;
}

TEST(ShowText, Table)
{
    struct Row {
        std::string in, want;
    } rows[] = {
        {"plain name", "plain name"},
        {"new\nline", "new\\nline"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"tab\tcr\r", "tab\\tcr\\r"},
        {"del\x7f", "del\\x7f"},
        {"caf\xc3\xa9 \\", "caf\xc3\xa9 \\"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(ShowText(r.in), r.want);
    EXPECT_EQ(Message("get", "a\nb", ENOENT), "get: a\\nb: No such file or directory");
    EXPECT_EQ(Reason(EOVERFLOW), "too large for this agent (start it with -x for files of 2 GiB and more)");
}

TEST(SafeName, Table)
{
    for (const char *good : {"a", "...", ".hidden", "a b", "-p", "x\\y"})
        EXPECT_TRUE(SafeName(good)) << good;
    for (const std::string &bad : std::vector<std::string>{"", ".", "..", "../x", "a/b", "/", std::string("a\0b", 3)})
        EXPECT_FALSE(SafeName(bad)) << bad;
}

// What completion inserts comes back whole through the tokenizer, and the word being typed is
// read as the tokenizer would read it.
TEST(QuoteWord, RoundTrips)
{
    for (std::string name : {"sp ace/", "it's", "a\"b", "back\\slash", "$HOME", "*?[x]", "#not", "tab\there",
                             "new\nline", "plain"}) {
        std::string quoted = QuoteWord(name), error;
        auto t = Tokenize("get " + quoted, 0, &error);
        ASSERT_TRUE(t) << quoted << ": " << error;
        ASSERT_EQ(t->words.size(), 2u) << quoted;
        EXPECT_EQ(t->words[1].text, name);
        EXPECT_FALSE(t->words[1].glob) << quoted;
        size_t start = 0;
        EXPECT_EQ(WordAt("get " + quoted, 4 + quoted.size(), &start), name);
        EXPECT_EQ(start, 4u);
    }
    struct Row {
        const char *line;
        size_t start;
        const char *word;
    } rows[] = {
        {"cd ", 3, ""},
        {"get 'sp a", 4, "sp a"},
        {"get \"a\\\"b", 4, "a\"b"},
        {"ls a b\\ c", 5, "b c"},
    };
    for (const Row &r : rows) {
        size_t start = 99;
        EXPECT_EQ(WordAt(r.line, strlen(r.line), &start), r.word) << r.line;
        EXPECT_EQ(start, r.start) << r.line;
    }
}

TEST(DfReport, Table)
{
    FsFigures f;
    f.frsize = 4096, f.blocks = 1000, f.bfree = 250, f.bavail = 200;
    f.files = 100, f.ffree = 40, f.favail = 30;
    EXPECT_EQ(DfReport(f, false, false), "        Size         Used        Avail       (root)    %Capacity\n"
                                         "        4000         3000          800         1000          75%\n");
    EXPECT_EQ(DfReport(f, false, true), "     Inodes        Used       Avail      (root)    %Capacity\n"
                                        "        100          60          30          40          60%\n");
    EXPECT_EQ(DfReport(f, true, false), "    Size     Used    Avail   (root)    %Capacity\n"
                                        "    3.9M     2.9M     800K    1000K          75%\n");
    std::string empty = DfReport(FsFigures{}, false, false);
    EXPECT_EQ(empty.substr(empty.find('\n') + 1), "           0            0            0            0           0%\n");
}

// Every command of the table has its usage and help, and hostsh(1) names it with every flag.
TEST(Commands, EveryOneHasUsageHelpAndItsManual)
{
    std::ifstream in(HOSTSH_MAN);
    std::string man((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(man.empty());
    std::string all = HelpAll();
    for (const CommandRow &c : Commands()) {
        EXPECT_EQ(std::string(c.usage).rfind(c.name, 0), 0u) << c.name;
        EXPECT_NE(all.find(c.usage), std::string::npos) << c.name;
        for (const Flag &f : c.flags)
            EXPECT_NE(HelpFor(c).find(std::string("  -") + f.letter + "  "), std::string::npos) << c.name;
        std::string name = c.name == std::string("!") ? "\\&!" : c.name;
        // On an item line: ".It Ic NAME ..." or "..., Ic NAME".
        size_t at = std::string::npos;
        for (size_t p = man.find("\n.It "); p != std::string::npos && at == std::string::npos;
             p = man.find("\n.It ", p + 1)) {
            std::string item = man.substr(p + 1, man.find('\n', p + 1) - p - 1) + " ";
            size_t k = item.find("Ic " + name);
            if (k != std::string::npos && std::string(" ,\n").find(item[k + 3 + name.size()]) != std::string::npos)
                at = p + 1 + k;
        }
        ASSERT_NE(at, std::string::npos) << c.name;
        std::string line = man.substr(at, man.find('\n', at) - at);
        for (const Flag &f : c.flags)
            if (f.letter != 'R') { // as -r, named in the text
                EXPECT_NE(line.find(f.letter), std::string::npos) << c.name << " -" << f.letter << ": " << line;
            }
    }
}
