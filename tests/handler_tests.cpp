// The handlers in this process: rows of requests through ProcessRequest in either byte order.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netdb.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/environ.h"
#include "service/files.h"
#include "service/protocol.h"
#include "tests/harness.h"

extern char **environ;
namespace fs = std::filesystem;

namespace {

constexpr int32_t ANY = INT32_MIN, NONNEG = INT32_MIN + 1;

struct Row {
    Msg req;
    int len;
    int32_t result = ANY, error = ANY;
    std::string trace = {}, data = {}; // {r} in trace stands for the result word; data: the reply from byte at on
    int at = 12;
    std::vector<int32_t> more = {}; // words 3 on
};

std::string Expand(const std::string &t, int32_t result) { return std::regex_replace(t, std::regex("\\{r\\}"), std::to_string(result)); }
std::string Pad(std::string s) { return s.resize((s.size() + 3) & ~size_t{3}, '\0'), s; }

std::vector<int32_t> StatWords(const std::string &path, bool link = false)
{
    struct stat st;
    EXPECT_EQ(link ? lstat(path.c_str(), &st) : ::stat(path.c_str(), &st), 0);
    std::vector<int64_t> all = {st.st_mode, static_cast<int64_t>(st.st_ino), static_cast<int64_t>(st.st_dev),
                                static_cast<int64_t>(st.st_nlink), st.st_uid, st.st_gid, st.st_size, st.st_atime,
                                st.st_mtime, st.st_ctime};
    return std::vector<int32_t>(all.begin(), all.end()); // the low 32 bits
}

class Handlers : public testing::TestWithParam<bool> {
protected:
    Scratch dir;
    std::string home = fs::current_path();
    int conn = -1; // the agent's end of a loopback connection to client
    Link client;
    std::vector<int> opened;

    void SetUp() override
    {
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        int port = 0, listener = Listen(&port);
        client = Link::connect("127.0.0.1", port);
        conn = AcceptWithin(listener, 5000);
        close(listener);
        ASSERT_GE(conn, 0);
    }
    void TearDown() override
    {
        CloseDirectoryHandles();
        for (int fd : opened)
            close(fd);
        close(conn);
        settings.verbose = settings.swaprequest = settings.extensions = 0;
        EXPECT_EQ(chdir(home.c_str()), 0);
    }

    Reply Run(const Msg &m, std::string *trace = nullptr)
    {
        bool swapped = GetParam();
        std::string raw = m.Bytes(swapped);
        memcpy(requestbuf, raw.data(), raw.size()); // what lies behind it stays, as on the wire
        memset(replybuf, 0xee, sizeof replybuf); // every byte sent, pad bytes included, must be written
        if (swapped)
            SwapRequest(requestbuf);
        settings.verbose = 1;
        settings.swaprequest = swapped;
        char *reply = nullptr;
        std::string ignored;
        (trace ? *trace : ignored) = CaptureStderr([&] { reply = ProcessRequest(conn, requestbuf); });
        int len = MsgLength(reply);
        if (swapped)
            SwapReply(reply);
        return Reply{std::string(reply, static_cast<size_t>(len)), swapped};
    }

    void Check(const std::vector<Row> &rows)
    {
        for (const Row &row : rows) {
            SCOPED_TRACE(row.trace);
            std::string trace;
            Reply r = Run(row.req, &trace);
            EXPECT_EQ(std::make_pair(r.length(), r.raw.size()), std::make_pair(row.len, static_cast<size_t>(row.len)));
            int32_t result = r.raw.size() >= 8 ? r.word(1) : 0;
            EXPECT_TRUE(row.result == ANY || (row.result == NONNEG ? result >= 0 : result == row.result)) << result;
            EXPECT_TRUE(row.error == ANY || r.word(2) == row.error) << r.word(2);
            for (size_t i = 0; i < row.more.size(); i++)
                EXPECT_TRUE(row.more[i] == ANY || r.word(3 + static_cast<int>(i)) == row.more[i]) << "word " << 3 + i;
            EXPECT_TRUE(row.data.empty() || r.raw.substr(static_cast<size_t>(row.at)) == row.data) << r.raw.substr(12, 40);
            EXPECT_TRUE(row.trace.empty() || trace == Expand(row.trace, result)) << trace;
            if ((row.req.call == CALL_OPEN || row.req.call == CALL_OPENREAD) && result >= 0)
                opened.push_back(result);
        }
    }
};

Msg Path(int call, std::string_view p) { return Msg(call).s(p); }
Msg Word(int call, int32_t w) { return Msg(call).w(w); }
Msg Open(std::string_view p, int32_t flags, int32_t mode = 0644) { return Msg(CALL_OPEN).w(flags).w(mode).s(p); }
Msg Read(int32_t fd, int32_t n) { return Msg(CALL_READ).w(fd).w(n); }
Msg Write(int32_t fd, int32_t n, std::string_view data) { return Msg(CALL_WRITE).w(fd).w(n).b(data); }
Msg Lseek(int32_t fd, int32_t off, int32_t whence) { return Msg(CALL_LSEEK).w(fd).w(off).w(whence); }

TEST_P(Handlers, DescriptorCalls)
{
    WriteFile("w", "");
    int w = ::open("w", O_WRONLY), r = ::open("w", O_RDONLY);
    opened = {w};
    const std::string block(MAX_DATA, 'x');
    const int32_t end = 11 + 2 * MAX_DATA;
    Check({
        {Write(w, 11, "hello world"), 12, 11, ANY, Fmt("Request: 11 = write(%d,...,11)\n", w)},
        // Never more than the request carries, whatever older bytes lie behind it.
        {Write(w, 20, "0123456789"), 12, -1, 22}, {Write(w, -1, "short"), 12, -1, 22}, {Write(w, -1, block), 12, MAX_DATA},
        {Write(w, 70000, block), 12, MAX_DATA}, {Read(w, 4), 12, -1, 9}, {Write(r, 3, "abc"), 12, -1, 9},
        {Read(r, 5), 20, 5, ANY, Fmt("Request: 5 = read(%d,...,5)\n", r), std::string("hello\0\0\0", 8)}, {Read(r, 0), 12, 0},
        {Read(r, -1), MAX_MESSAGE, MAX_DATA, ANY, "", " world" + block.substr(6)},
        {Read(r, 70000), MAX_MESSAGE, MAX_DATA, ANY, "", block},
        {Read(r, 100), 20, 6, ANY, "", std::string("xxxxxx\0\0", 8)}, {Read(r, 100), 12, 0},
        {Lseek(r, 6, 0), 12, 6, ANY, Fmt("Request: 6 = lseek(%d,6,0)\n", r)},
        {Read(r, 5), 20, 5, ANY, "", std::string("world\0\0\0", 8)}, {Lseek(r, -6, 1), 12, 5},
        {Lseek(r, -1, 2), 12, end - 1}, {Lseek(r, -1, 0), 12, -1, 22}, {Lseek(r, 0, 1), 12, end - 1},
    });
    Check({
        {Word(CALL_FSTAT, r), 52, 0, ANY, Fmt("Request: 0 = fstat(%d,...)\n", r), "", 52, StatWords("w")},
        {Word(CALL_CLOSE, r), 12, 0, ANY, Fmt("Request: 0 = close(%d)\n", r)}, {Word(CALL_CLOSE, r), 12, -1, 9},
        {Word(CALL_FSTAT, r), 52, -1, 9, "", std::string(40, '\0')}, {Lseek(r, 0, 0), 12, -1, 9},
    });
    // Requests cut short are refused, before a descriptor is found to be the agent's own.
    Check({
        {Msg(CALL_READ).w(w), 12, -1, 22}, {Msg(CALL_WRITE).w(w), 12, -1, 22}, {Msg(CALL_LSEEK).w(w).w(0), 12, -1, 22},
        {Msg(CALL_CLOSE), 12, -1, 22}, {Msg(CALL_FSTAT), 52, -1, 22, "", std::string(40, '\0')},
        {Msg(CALL_READ).w(conn), 12, -1, 22}, {Msg(CALL_WRITE).w(conn).w(5).b("x"), 12, -1, 22},
        {Msg(CALL_LSEEK).w(conn).w(0), 12, -1, 22}, {Msg(CALL_DUP2).w(conn), 12, -1, 22},
        {Msg(CALL_PEERPIPE), 12, -1, 22}, {Msg(CALL_SETPGID).w(0), 12, -1, 22},
    });
    // Sizes and offsets beyond the signed 32-bit word are refused, and leave the offset alone.
    for (auto [name, size] : {std::pair{"big", 5LL << 30}, {"edge", static_cast<long long>(INT32_MAX)}}) {
        WriteFile(name, "");
        ASSERT_EQ(truncate(name, size), 0);
    }
    int big = ::open("big", O_RDONLY);
    opened.push_back(big);
    Check({
        {Path(CALL_STAT, "big"), 52, -1, 22, "Request: -1 = stat(big,...)\n"}, {Word(CALL_FSTAT, big), 52, -1, 22},
        {Path(CALL_STAT, "edge"), 52, 0, ANY, "", "", 52, StatWords("edge")},
        {Lseek(big, INT32_MAX, 0), 12, INT32_MAX}, {Lseek(big, 1, 1), 12, -1, 22}, {Lseek(big, 0, 1), 12, INT32_MAX},
        {Lseek(big, 0, 2), 12, -1, 22}, {Lseek(big, 0, 1), 12, INT32_MAX},
        {Read(big, 4), 16, 4, ANY, "", std::string(4, '\0')}, // reading on past the edge works
        {Lseek(big, 0, 1), 12, -1, 22}, {Lseek(big, -4, 1), 12, INT32_MAX},
    });
}

TEST_P(Handlers, OpenFlagsAndModes)
{
    WriteFile("f", "0123456789");
    WriteFile("t", "gone");
    settings.extensions = 1;
    auto openread = [](int32_t count) { return Msg(CALL_OPENREAD).w(WIRE_O_RDONLY).w(0).w(count); };
    Check({
        {Open("f", WIRE_O_ACCMODE), 12, NONNEG, ANY, Fmt("Request: {r} = open(f,0x%x,0x1a4)\n", O_RDWR)},
        {Open("f", WIRE_O_APPEND | WIRE_O_WRONLY), 12, NONNEG},
        // Bits the wire does not define are dropped.
        {Open("f", -1), 12, -1, 17,
         Fmt("Request: -1 = open(f,0x%x,0x1a4)\n", O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK | O_TRUNC)},
        {Open("t", WIRE_O_TRUNC | WIRE_O_WRONLY), 12, NONNEG}, {Open("missing", WIRE_O_WRONLY), 12, -1, 2},
        {Open("new", WIRE_O_CREAT | WIRE_O_EXCL | WIRE_O_RDWR, 0600), 12, NONNEG},
        // Open and first read in one reply: descriptor, error word, bytes read, data from byte 16.
        {openread(-1).s("t"), 16, NONNEG, 0, Fmt("Request: {r} = openread(t,0x0,0x0,...,%d): 0\n", MAX_MESSAGE - 16), "", 16, {0}},
        {openread(2).s("f"), 20, NONNEG, 0, "", Pad("01"), 16, {2}},
        {Msg(CALL_OPENREAD).w(0).w(0), 16, -1, 22, "Request: -1 = openread(?,0x0,0x0,...,0): -1\n", "", 16, {-1}},
        {openread(4).b("f"), 16, -1, 22, "", "", 16, {-1}},
    });
    int rw = opened.at(0), app = opened.at(1);
    Check({{Write(rw, 2, "ab"), 12, 2}, {Write(app, 1, "Z"), 12, 1}});
    EXPECT_EQ(ReadFile("f"), "ab23456789Z");
    EXPECT_EQ(fs::file_size("t"), 0u);
    EXPECT_EQ(fs::status("new").permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_P(Handlers, PathCalls)
{
    mode_t mask = umask(022);
    for (auto [name, mode] : {std::pair{"plain", 0644}, {"exec", 0755}, {"file", 0644}, {"keep", 0644}})
        WriteFile(name, "x", static_cast<mode_t>(mode));
    std::string deep = std::string(1023 - 9, '/') + "/nonexist"; // 1023 bytes, the most readlink takes
    Check({
        {Msg(CALL_ACCESS).w(WIRE_F_OK).s("missing"), 12, -1, 2},
        {Msg(CALL_ACCESS).w(WIRE_R_OK | WIRE_X_OK).s("plain"), 12, -1, 13, Fmt("Request: -1 = access(plain,0x%x)\n", R_OK | X_OK)},
        {Msg(CALL_ACCESS).w(WIRE_R_OK | WIRE_X_OK).s("exec"), 12, 0},
        {Msg(CALL_ACCESS).w(WIRE_W_OK | 0x100).s("plain"), 12, 0, ANY, Fmt("Request: 0 = access(plain,0x%x)\n", W_OK)},
        // Bits 16 to 31 of a mode are not the host's; the trace shows the whole word.
        {Msg(CALL_MKDIR).w(0x10000 | 0755).s("sub"), 12, 0, ANY, "Request: 0 = mkdir(sub,0x101ed)\n"},
        {Msg(CALL_MKDIR).w(0755).s("sub"), 12, -1, 17}, {Msg(CALL_CHMOD).w(0x7fff0000 | 0751).s("file"), 12, 0},
        {Open("sub/inside", WIRE_O_CREAT | WIRE_O_WRONLY), 12, NONNEG},
        {Path(CALL_RMDIR, "sub"), 12, -1, 66, "Request: -1 = rmdir(sub)\n"}, {Path(CALL_RMDIR, "file"), 12, -1, 20},
        {Path(CALL_UNLINK, "sub/inside"), 12, 0, ANY, "Request: 0 = unlink(sub/inside)\n"}, {Path(CALL_RMDIR, "sub"), 12, 0},
        {Msg(CALL_LINK).s("file").s("hard"), 12, 0, ANY, "Request: 0 = link(file,hard)\n"},
        {Msg(CALL_LINK).s("file").s("hard"), 12, -1, 17},
        {Msg(CALL_SYMLINK).s("12345678").s("eight"), 12, 0, ANY, "Request: 0 = symlink(12345678,eight)\n"},
        {Msg(CALL_SYMLINK).s("abcde").s("five"), 12, 0},
        // The NUL behind a link text lies outside the reply when the text fills its last word.
        {Path(CALL_READLINK, "eight"), 20, 8, ANY, "Request: \"12345678\" = readlink(eight,...)\n", "12345678"},
        {Path(CALL_READLINK, "five"), 20, 5, ANY, "", std::string("abcde\0\0\0", 8)},
        {Path(CALL_READLINK, "file"), 12, -1, 22}, {Path(CALL_READLINK, deep), 12, -1, 2},
        {Path(CALL_READLINK, "/" + deep), 12, -1, 63}, {Path(CALL_STAT, "plain/below"), 52, -1, 20},
        {Path(CALL_LSTAT, "missing"), 52, -1, 2, "Request: -1 = lstat(missing,...)\n", std::string(40, '\0')},
    });
    EXPECT_EQ(fs::status("file").permissions() & fs::perms::mask, static_cast<fs::perms>(0751));
    umask(mask);
    ASSERT_EQ(symlink("file", "sym"), 0);
    Check({
        {Path(CALL_STAT, "sym"), 52, 0, ANY, "Request: 0 = stat(sym,...)\n", "", 52, StatWords("file")},
        {Path(CALL_LSTAT, "sym"), 52, 0, ANY, "", "", 52, StatWords("sym", true)},
    });
    // A string without its NUL in the request is refused, though a NUL lies right behind it.
    fs::create_directory("dir");
    std::vector<Row> rows;
    for (Row cut : std::vector<Row>{
             {Msg(CALL_UNLINK).b("keep"), 12, -1, 22, "Request: -1 = unlink(?)\n"}, {Msg(CALL_RMDIR).b("keep"), 12, -1, 22},
             {Msg(CALL_STAT).b("keep"), 52, -1, 22, "Request: -1 = stat(?,...)\n"}, {Msg(CALL_LSTAT).b("keep"), 52, -1, 22},
             {Msg(CALL_READLINK).b("keep"), 12, -1, 22}, {Msg(CALL_OPENDIR).b("dir"), 12, 0, 22, "Request: 0x0 = opendir(?)\n"},
             {Msg(CALL_CHDIR).b("dir"), 12, -1, 22}, {Msg(CALL_OPEN).w(0x201).w(0644).b("victim"), 12, -1, 22},
             {Msg(CALL_MKDIR).w(0755).b("victim"), 12, -1, 22}, {Msg(CALL_CHMOD).w(0).b("keep"), 12, -1, 22},
             {Msg(CALL_ACCESS).w(0).b("keep"), 12, -1, 22}, {Msg(CALL_ACCESS).b("ab"), 12, -1, 22},
             {Msg(CALL_LINK).s("keep").b("victim"), 12, -1, 22, "Request: -1 = link(keep,?)\n"},
             {Msg(CALL_SYMLINK).s("keep").b("victim"), 12, -1, 22},
             {Msg(CALL_SYMLINK).b("keep"), 12, -1, 22, "Request: -1 = symlink(?,?)\n"}}) {
        // First a NUL just behind where the cut request ends, from a stat of a missing name.
        rows.push_back({Path(CALL_STAT, std::string(cut.req.Bytes(false).size() - 4, 'x')), 52, -1, 2});
        rows.push_back(cut);
    }
    Check(rows);
    EXPECT_TRUE(fs::exists("keep"));
    EXPECT_FALSE(fs::exists("victim"));
    EXPECT_EQ(fs::status("keep").permissions() & fs::perms::mask, static_cast<fs::perms>(0644));
    // The working directory, and getcwd once it is gone.
    std::string here = fs::current_path();
    fs::create_directory("gone");
    Check({
        {Msg(CALL_GETCWD), static_cast<int>(Pad(here + '\0').size()) + 12, 1, ANY,
         "Request: \"" + here + "\" = getcwd(...,65508)\n", Pad(here + '\0')},
        {Path(CALL_CHDIR, "missing"), 12, -1, 2}, {Path(CALL_CHDIR, "gone"), 12, 0, ANY, "Request: 0 = chdir(gone)\n"},
    });
    fs::remove(here + "/gone");
    Check({{Msg(CALL_GETCWD), 12, 0, 2, "Request: NULL = getcwd(...,65508)\n"}});
}

TEST_P(Handlers, DirectoryStreams)
{
    fs::create_directory("d");
    for (const char *n : {"a", "bb", "ccc"})
        WriteFile(std::string("d/") + n, "");
    std::string trace;
    int32_t h = Run(Path(CALL_OPENDIR, "d"), &trace).word(1);
    ASSERT_NE(h, 0);
    EXPECT_EQ(trace, Fmt("Request: 0x%x = opendir(d)\n", h));
    std::set<std::string> names;
    for (Reply r; names.size() < 10 && (r = Run(Word(CALL_READDIR, h), &trace)).word(1) == 0;) {
        std::string name(r.data(12).substr(0, r.data(12).find('\0')));
        EXPECT_EQ(r.data(12), Pad(name + '\0'));
        EXPECT_EQ(trace, Fmt("Request: %s = readdir(0x%x);\n", name.c_str(), h));
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "bb", "ccc"}));
    // The end of a directory sets no error; a closed handle, one never given out and 0 are refused.
    Check({
        {Word(CALL_READDIR, h), 12, -1, 22, Fmt("Request: -1 = readdir(0x%x);\n", h)},
        {Word(CALL_REWINDDIR, h), 12, 0, ANY, Fmt("Request: rewinddir(0x%x)\n", h)},
    });
    EXPECT_EQ(Run(Word(CALL_READDIR, h)).word(1), 0);
    Check({
        {Word(CALL_CLOSEDIR, h), 12, 0, ANY, Fmt("Request: 0 = closedir(0x%x)\n", h)}, {Word(CALL_READDIR, h), 12, -1, 9},
        {Word(CALL_CLOSEDIR, h), 12, -1, 9}, {Word(CALL_REWINDDIR, h), 12, 0}, {Word(CALL_READDIR, 0), 12, -1, 9},
        {Word(CALL_READDIR, 0x12345), 12, -1, 9}, {Msg(CALL_READDIR), 12, -1, 22}, {Msg(CALL_CLOSEDIR), 12, -1, 22},
        {Msg(CALL_REWINDDIR), 12, 0}, {Path(CALL_OPENDIR, "missing"), 12, 0, 2, "Request: 0x0 = opendir(missing)\n"},
        {Path(CALL_OPENDIR, "d/a"), 12, 0, 20},
    });
    // The table of streams is bounded; handles are distinct, and a freed slot's new handle is new.
    std::vector<int32_t> handles;
    for (int32_t n; handles.size() < 300 && (n = Run(Path(CALL_OPENDIR, "d")).word(1)) != 0;)
        handles.push_back(n);
    ASSERT_EQ(handles.size(), 256u);
    EXPECT_EQ(std::set<int32_t>(handles.begin(), handles.end()).size(), 256u);
    EXPECT_EQ(std::count(handles.begin(), handles.end(), h), 0);
    Check({{Path(CALL_OPENDIR, "d"), 12, 0, 24}, {Word(CALL_CLOSEDIR, handles[17]), 12, 0}});
    int32_t again = Run(Path(CALL_OPENDIR, "d")).word(1);
    EXPECT_TRUE(again != 0 && again != handles[17]) << again;
    Check({{Word(CALL_READDIR, handles[17]), 12, -1, 9}});
}

// The environment of this process, replaced for the test and put back afterwards.
struct Environment {
    char **saved = environ;
    std::vector<std::string> strings;
    std::vector<char *> list;
    explicit Environment(std::vector<std::string> env) : strings(std::move(env))
    {
        std::transform(strings.begin(), strings.end(), std::back_inserter(list), [](std::string &e) { return e.data(); });
        environ = (list.push_back(nullptr), list.data());
    }
    ~Environment() { environ = saved; }
};

Row Getenv(const std::vector<std::string> &env)
{
    std::string s;
    for (const auto &e : env)
        s.append(e).push_back('\0');
    return {Msg(CALL_GETENV), static_cast<int>(Pad(s).size()) + 8, static_cast<int32_t>(s.size()), ANY,
            "Request: getenv(....)\n", Pad(s), 8};
}

TEST_P(Handlers, GetenvAndSetenv)
{
    // Sixteen strings of 4000 bytes each, NULs included, take 64000 of the 65512 bytes of room.
    std::vector<std::string> big;
    for (int i = 0; i < 16; i++)
        big.push_back(Fmt("V%d=", 100 + i) + std::string(4000 - 6, static_cast<char>('a' + i)));
    for (size_t last : {1512u, 1513u}) { // exactly the room left, and one byte too many
        std::vector<std::string> env = big;
        env.push_back("W=" + std::string(last - 3, 'w'));
        env.push_back("Z=1"); // would fit, but comes after
        Environment e(env);
        env.resize(last == 1512 ? 17 : 16);
        Check({Getenv(env)});
    }
    Environment e({"A=1", "B=2", "KEEP=same", "EMPTY="});
    auto set = [](std::string_view strings, int32_t count = ANY) {
        return Msg(CALL_SETENV).w(count == ANY ? static_cast<int32_t>(strings.size()) : count).b(strings);
    };
    Check({
        // The last string is empty: it has no '=' either.
        {set(std::string("A=one\0NEW=v\0B=\0\0", 16)), 4, ANY, ANY,
         "Request: setenv(....)\nputenv(A=one)\nputenv(NEW=v)\nputenv(B=)\n"},
        // No '=', unchanged values, an empty value already empty, an empty name: skipped.
        {set(std::string("NOEQUALS\0KEEP=same\0EMPTY=\0=nameless\0AFTER=x\0", 44)), 4, ANY, ANY,
         "Request: setenv(....)\nputenv(AFTER=x)\n"},
        // The count claims 100 bytes and the request ends in "SB=z": older bytes do not make it "SB=zy".
        {set(std::string("SB=xy\0", 6)), 4},
        {set(std::string("SA=3\0SB=z", 9), 100), 4, ANY, ANY, "Request: setenv(....)\nputenv(SA=3)\n"},
        // A count that ends inside the first string: that string counts, the next does not.
        {set(std::string("SC=77\0SD=8\0", 11), 4), 4, ANY, ANY, "Request: setenv(....)\nputenv(SC=77)\n"},
        {set(std::string("SE=1\0", 5), 0), 4}, {set(std::string("SF=1\0", 5), -5), 4}, {Msg(CALL_SETENV), 4},
        {Getenv({"A=one", "B=", "KEEP=same", "EMPTY=", "NEW=v", "AFTER=x", "SB=xy", "SA=3", "SC=77"})},
    });
    // Each setenv gives back the copy it displaces (else the sanitizer build's leak check fails).
    for (int i = 0; i < 200; i++)
        Run(set("BIG=" + std::string(1000, static_cast<char>('a' + i % 26)) + std::to_string(i) + '\0'));
    EXPECT_STREQ(getenv("BIG"), (std::string(1000, 'a' + 199 % 26) + "199").c_str());
}

std::string HostBytes(const struct hostent *e, int *aliases, int *addresses)
{
    std::string b = std::string(e->h_name) + '\0';
    for (*aliases = 0; e->h_aliases[*aliases]; ++*aliases)
        b.append(e->h_aliases[*aliases]).push_back('\0');
    for (*addresses = 0; e->h_addr_list[*addresses]; ++*addresses)
        b.append(e->h_addr_list[*addresses], static_cast<size_t>(e->h_length));
    return b;
}

TEST_P(Handlers, IdentityClockAndNameService)
{
    char host[64] = {}, field[65] = {};
    gethostname(host, sizeof host);
    const char *login = getlogin();
    strncpy(field, login ? login : "", 64);
    Check({
        {Msg(CALL_GETUID), 8, static_cast<int32_t>(getuid()), ANY, Fmt("Request: %d = getuid()\n", getuid())},
        {Msg(CALL_GETGID), 8, static_cast<int32_t>(getgid())}, {Msg(CALL_GETEUID), 8, static_cast<int32_t>(geteuid())},
        {Msg(CALL_GETEGID), 8, static_cast<int32_t>(getegid())},
        {Msg(CALL_GETLOGIN), 68, ANY, ANY, Fmt("Request: \"%s\" = getlogin()\n", login ? login : ""), std::string(field, 64), 4},
        {Msg(CALL_GETHOSTNAME), 68, ANY, ANY, "", std::string(host, 64), 4},
    });
    std::string trace;
    struct timeval before;
    struct timezone tz;
    gettimeofday(&before, &tz);
    Reply r = Run(Msg(CALL_GETTIMEOFDAY), &trace);
    ASSERT_EQ(std::make_tuple(r.raw.size(), r.length(), r.word(1)), std::make_tuple(28u, 28, 0));
    EXPECT_LE(std::llabs(static_cast<uint32_t>(r.word(3)) - static_cast<int64_t>(before.tv_sec)), 5);
    EXPECT_TRUE(r.word(4) >= 0 && r.word(4) < 1000000) << r.word(4);
    EXPECT_EQ(std::make_pair(r.word(5), r.word(6)), std::make_pair(tz.tz_minuteswest, tz.tz_dsttime));
    EXPECT_EQ(trace, "Request: gettimeofday()\n");
    // The requests read by each lookup: found, not found, and cut short behind a whole one.
    const std::string loopback("\x7f\0\0\x01", 4);
    int aliases = 0, addresses = 0;
    std::string byName = HostBytes(gethostbyname("localhost"), &aliases, &addresses);
    Row name{Msg(CALL_GETHOSTBYNAME).s("localhost"), 24 + static_cast<int>(Pad(byName).size()), 0, aliases,
             "Request: gethostbyname(\"localhost\")\n", Pad(byName), 24, {addresses, 4, AF_INET}};
    std::string byAddr = HostBytes(gethostbyaddr(loopback.data(), 4, AF_INET), &aliases, &addresses);
    Msg addr = Msg(CALL_GETHOSTBYADDR).w(AF_INET).w(4).b(loopback);
    Row address{addr, 24 + static_cast<int>(Pad(byAddr).size()), 0, aliases, "", Pad(byAddr), 24, {addresses, 4, AF_INET}};
    struct servent *telnet = getservbyname("telnet", "tcp");
    if (!telnet)
        GTEST_SKIP() << "telnet/tcp is not in this machine's service database";
    std::string bytes = std::string(telnet->s_name) + '\0' + telnet->s_proto + '\0';
    for (aliases = 0; telnet->s_aliases[aliases]; aliases++)
        bytes.append(telnet->s_aliases[aliases]).push_back('\0');
    Row service{Msg(CALL_GETSERVBYNAME).s("telnet").s("tcp"), 20 + static_cast<int>(Pad(bytes).size()), 23, aliases, "",
                Pad(bytes), 20, {0}};
    auto none = [](Msg m, int size, std::vector<int32_t> more = {}) { return Row{std::move(m), size, -1, ANY, "", "", 24, more}; };
    auto noService = [](Msg m, int32_t error) { return Row{std::move(m), 20, ANY, ANY, "", "", 20, {-1, error}}; };
    const std::string longLabel = std::string(70, 'q') + ".invalid"; // refused without asking a name server
    Check({
        name, none(Msg(CALL_GETHOSTBYNAME).s(longLabel), 24), none(Msg(CALL_GETHOSTBYNAME).s("bad_name!"), 24), name,
        none(Msg(CALL_GETHOSTBYNAME).b("localhost"), 24), none(Msg(CALL_GETHOSTBYNAME), 24), address,
        none(Msg(CALL_GETHOSTBYADDR).w(AF_INET).w(4).b(loopback.substr(0, 2)), 24),
        none(Msg(CALL_GETHOSTBYADDR).w(AF_INET).w(-1).b(loopback), 24),
        none(Msg(CALL_GETHOSTBYADDR).w(12345).w(4).b(loopback), 24), none(Msg(CALL_GETHOSTBYADDR).w(AF_INET), 24), service,
        noService(Msg(CALL_GETSERVBYNAME).s("no-such-service-here").s("tcp"), ANY),
        noService(Msg(CALL_GETSERVBYNAME).s("telnet").s(""), ANY), service,
        noService(Msg(CALL_GETSERVBYNAME).s("telnet").b("tc"), 22), service,
        noService(Msg(CALL_GETSERVBYNAME).b("telnet"), 22), noService(Msg(CALL_GETSERVBYNAME), 22),
    });
}

BOTH_ORDERS(Handlers);

// Entries larger than one message are cut so that the counts describe exactly the bytes sent.
TEST(NameReplies, EntriesLargerThanAMessage)
{
    std::vector<std::string> strings;
    std::vector<char *> aliases, addresses;
    for (int i = 0; i < 20000; i++) { // aliases of 11 bytes, addresses of 4
        uint32_t a = htonl(0x0a000000u + static_cast<uint32_t>(i));
        strings.push_back("alias" + std::to_string(10000 + i));
        strings.emplace_back(reinterpret_cast<const char *>(&a), 4);
    }
    auto list = [&](std::vector<char *> &v, int first, int n) {
        v.clear();
        for (int i = 0; i < n; i++)
            v.push_back(strings[static_cast<size_t>(first + 2 * i)].data());
        v.push_back(nullptr);
        return v.data();
    };
    for (auto [name, nAliases, nAddresses] : std::vector<std::tuple<std::string, int, int>>{
             {"big.example", 10000, 3}, {"big.example", 1, 20000}, {std::string(MAX_MESSAGE, 'n'), 0, 1}}) {
        struct hostent entry = {name.data(), list(aliases, 0, nAliases), AF_INET, 4, list(addresses, 1, nAddresses)};
        memset(replybuf, 0xee, sizeof replybuf); // pad bytes too must be written
        const char *reply = HostReply(&entry);
        std::string sent(reply, static_cast<size_t>(MsgLength(reply)));
        int nSent[2] = {GetWord(reply, 2), GetWord(reply, 3)}; // aliases, addresses
        if (name.size() >= MAX_MESSAGE) { // no room for the name: not found
            EXPECT_EQ(std::make_tuple(sent.size(), GetWord(reply, 1)), std::make_tuple(24u, -1));
            continue;
        }
        EXPECT_EQ(nSent[1], std::min(nAddresses, (MAX_MESSAGE - 24 - 12) / 4)); // addresses come first
        EXPECT_EQ(nSent[0], std::min(nAliases, (MAX_MESSAGE - 24 - 12 - 4 * nSent[1]) / 11));
        aliases[static_cast<size_t>(nSent[0])] = addresses[static_cast<size_t>(nSent[1])] = nullptr; // the entry as sent
        EXPECT_EQ(sent.substr(24), Pad(HostBytes(&entry, &nSent[0], &nSent[1])));
    }
    std::string svc = "svc", proto = "tcp";
    struct servent entry = {svc.data(), list(aliases, 0, 10000), htons(23), proto.data()};
    memset(replybuf, 0xee, sizeof replybuf);
    const char *reply = ServiceReply(&entry, 0);
    int count = (MAX_MESSAGE - 20 - 8) / 11;
    EXPECT_EQ(std::make_tuple(GetWord(reply, 1), GetWord(reply, 2)), std::make_tuple(23, count));
    EXPECT_EQ(MsgLength(reply), (20 + 8 + 11 * count + 3) & ~3);
    size_t last = static_cast<size_t>(28 + 11 * (count - 1)), pad = static_cast<size_t>(MsgLength(reply)) - last - 11;
    EXPECT_EQ(std::string(reply + last, 11 + pad), aliases[static_cast<size_t>(count - 1)] + std::string(1 + pad, '\0'));
}


} // namespace
