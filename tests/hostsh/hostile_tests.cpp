// hostsh against an agent that lies: it lists names that would lead out of the folder a copy
// goes to, and names full of terminal control bytes. Nothing may land outside the destination,
// and nothing raw may reach the output.
#include <algorithm>
#include <map>
#include <memory>

#include "tests/hostsh/fixture.h"
#include "tests/lib/fake_agent.h"

namespace {

// A reply padded to whole words, as the agent sends it.
std::string Reply(int call, std::initializer_list<int32_t> words, std::string data = "")
{
    data.resize((data.size() + 3) / 4 * 4, '\0');
    return FakeReply(call, words, data);
}

// A script for a fake agent answering from a made-up directory "d" whose listing holds the
// names given; every other path is a regular file holding "hello".
FakeAgent::Script Lying(std::vector<std::string> names)
{
    struct State {
        std::vector<std::string> names;
        size_t next = 0;
        std::map<int32_t, int> reads; // per descriptor
        int32_t nextFd = 5;
    };
    auto st = std::make_shared<State>();
    st->names = std::move(names);
    return [st](int n, const std::string &req) -> std::string {
        if (n == 0)
            return FakeHello(req);
        int call = static_cast<unsigned char>(req[2]);
        std::string path = req.size() > 4 ? std::string(req.c_str() + 4) : "";
        switch (call) {
        case 11: return Reply(11, {0});                                // getenv: empty
        case 13: return Reply(13, {0});                                // getuid
        case 27: return Reply(27, {}, std::string(64, '\0'));          // getlogin: none
        case 18:
        case 32: return Reply(call, {0, 0, path == "d" ? 040755 : 0100644, 1, 1, 1, 0, 0, 5, 0, 0, 0});
        case 7: st->next = 0; return Reply(7, {1, 0});
        case 8:
            return st->next < st->names.size() ? Reply(8, {0, 0}, st->names[st->next++] + '\0')
                                               : Reply(8, {-1, 22});
        case 1: return Reply(1, {st->nextFd++, 0});
        case 2: {
            int32_t fd;
            memcpy(&fd, req.data() + 4, 4);
            return st->reads[fd]++ ? Reply(2, {0, 0}) : Reply(2, {5, 0}, "hello");
        }
        case 6:
        case 10: return Reply(call, {0, 0});
        default: return Reply(call, {-1, 1}); // EPERM for anything else
        }
    };
}

TEST_F(Hostsh, NamesFromTheAgentAreData)
{
    struct Row {
        const char *script;
        std::string out;
        int status;
    } rows[] = {
        {"get -r d\n",
         "hostsh> get -r d\n"
         "get: d: the host lists an entry named \"../escape\"; skipped\n"
         "get: d: the host lists an entry named \"sub/../../x\"; skipped\n",
         1},
        {"ls d\n", "hostsh> ls d\n\\x1b[2J\\x1b]0;t\\x07\n\\x1b]0;t\\x07\nok\nsub/../../x\n", 0},
    };
    for (const Row &row : rows) {
        FakeAgent lying(Lying({".", "..", "../escape", "sub/../../x", "ok", "\x1b[2J\x1b]0;t\x07", "\x1b]0;t\x07"}));
        Result r = Run({HOSTSH_PATH, "-b", "-", "127.0.0.1:" + std::to_string(lying.port)}, row.script, true);
        EXPECT_EQ(r.out, row.out) << row.script;
        EXPECT_EQ(r.status, row.status) << row.script;
    }
    // Only the plain names were written, and inside the destination.
    EXPECT_FALSE(fs::exists(root + "/escape"));
    EXPECT_FALSE(fs::exists(local + "/escape"));
    EXPECT_FALSE(fs::exists(root + "/x"));
    EXPECT_FALSE(fs::exists(local + "/x"));
    std::vector<std::string> made;
    for (const auto &e : fs::recursive_directory_iterator(local))
        made.push_back(e.path().lexically_relative(local).string());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"d", "d/\x1b[2J\x1b]0;t\x07", "d/\x1b]0;t\x07", "d/ok"}));
    EXPECT_EQ(ReadFile(local + "/d/ok"), "hello");
}

} // namespace
