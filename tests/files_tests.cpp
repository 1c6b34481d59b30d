// File and directory calls, against the real agent over loopback.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/files_api.h"
#include "tests/agent_process.h"

using hostlink::Link;
using hostlink::Reply;
using hostlink::Request;
namespace fs = std::filesystem;

namespace {

constexpr int kMaxData = 65508;

std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *format, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

int RoundUp4(int n) { return (n + 3) & ~3; }

#define EXPECT_REPLY(reply, len, res)                                                                                  \
    do {                                                                                                               \
        const Reply &rep_ = (reply);                                                                                   \
        EXPECT_EQ(rep_.length(), (len));                                                                               \
        EXPECT_EQ(rep_.word(1), (res));                                                                                \
    } while (0)
#define EXPECT_FAILURE(reply, len, res, wire)                                                                          \
    do {                                                                                                               \
        const Reply &fail_ = (reply);                                                                                  \
        EXPECT_REPLY(fail_, len, res);                                                                                 \
        EXPECT_EQ(fail_.word(2), (wire));                                                                              \
    } while (0)

// One verbose agent, one link in the byte order of the parameter, one scratch directory.
class Files : public testing::TestWithParam<bool> {
protected:
    Daemon d{true};
    Link link = d.Open(GetParam());
    std::string dir = TempDir();

    ~Files() override { fs::remove_all(dir); }

    Reply Call(const Request &req) { return link.call(req); }
    Reply Path(int call, const std::string &path) { return Call(Request(call).str(path)); }
    Reply Word(int call, int32_t w) { return Call(Request(call).word(w)); }
    Reply Open(const std::string &path, int32_t flags, int32_t mode = 0644)
    {
        return Call(Request(1).word(flags).word(mode).str(path));
    }
    Reply Read(int32_t fd, int32_t count) { return Call(Request(2).word(fd).word(count)); }
    Reply Write(int32_t fd, int32_t count, const std::string &data)
    {
        return Call(Request(3).word(fd).word(count).bytes(data));
    }
    Reply Lseek(int32_t fd, int32_t offset, int32_t whence) { return Call(Request(5).word(fd).word(offset).word(whence)); }

    // Ends the service and gives the agent's trace.
    std::string Trace()
    {
        link.close();
        EXPECT_EQ(d.agent.Wait(), 0);
        return d.agent.Stderr();
    }
};

#define EXPECT_TRACE(trace, line) EXPECT_NE((trace).find(line), std::string::npos) << "missing: " << (line)

TEST_P(Files, DescriptorCalls)
{
    std::string path = dir + "/f";
    Reply r = Open(path, 0x200 | 1);
    EXPECT_EQ(r.length(), 12);
    int wfd = r.word(1);
    ASSERT_GE(wfd, 0);
    int fd = wfd;

    EXPECT_REPLY(Write(fd, 11, "hello world"), 12, 11);
    EXPECT_REPLY(Write(fd, 0, "ignored"), 12, 0);
    // A count beyond the bytes carried writes nothing, whatever the buffer still holds.
    EXPECT_FAILURE(Write(fd, 20, "0123456789"), 12, -1, 22);
    EXPECT_FAILURE(Write(fd, -1, "short"), 12, -1, 22);
    EXPECT_EQ(fs::file_size(path), 11u);
    std::string block(kMaxData, 'x');
    EXPECT_REPLY(Write(fd, -1, block), 12, kMaxData);   // negative: MAX_DATA
    EXPECT_REPLY(Write(fd, 70000, block), 12, kMaxData); // above the limit: MAX_DATA
    EXPECT_EQ(fs::file_size(path), 11u + 2 * kMaxData);
    EXPECT_FAILURE(Read(fd, 4), 12, -1, 9); // opened for writing only
    EXPECT_REPLY(Word(6, fd), 12, 0);
    EXPECT_FAILURE(Word(6, fd), 12, -1, 9);
    EXPECT_FAILURE(Read(fd, 4), 12, -1, 9);

    fd = Open(path, 0).word(1);
    ASSERT_GE(fd, 0);
    r = Read(fd, 5);
    EXPECT_REPLY(r, 20, 5);
    EXPECT_EQ(r.data(12), std::string("hello\0\0\0", 8)); // pad bytes are cleared
    EXPECT_REPLY(Read(fd, 0), 12, 0);
    r = Read(fd, -1);
    EXPECT_REPLY(r, 65520, kMaxData);
    EXPECT_EQ(r.data(12).substr(0, 6), " world");
    EXPECT_REPLY(Read(fd, 70000), 65520, kMaxData);
    r = Read(fd, 100);
    int rest = 11 + 2 * kMaxData - 5 - 2 * kMaxData;
    EXPECT_REPLY(r, RoundUp4(12 + rest), rest);
    EXPECT_EQ(r.data(12).substr(0, static_cast<size_t>(rest)), block.substr(0, static_cast<size_t>(rest)));
    EXPECT_REPLY(Read(fd, 100), 12, 0); // end of file
    EXPECT_FAILURE(Write(fd, 3, "abc"), 12, -1, 9);

    EXPECT_REPLY(Lseek(fd, 6, 0), 12, 6);
    EXPECT_EQ(Read(fd, 5).data(12).substr(0, 5), "world");
    EXPECT_REPLY(Lseek(fd, -6, 1), 12, 5);
    EXPECT_REPLY(Lseek(fd, -1, 2), 12, 10 + 2 * kMaxData);
    EXPECT_FAILURE(Lseek(fd, -1, 0), 12, -1, 22);
    EXPECT_REPLY(Lseek(fd, 0, 1), 12, 10 + 2 * kMaxData);

    r = Word(34, fd);
    EXPECT_REPLY(r, 52, 0);
    EXPECT_EQ(r.word(9), 11 + 2 * kMaxData);
    EXPECT_REPLY(Word(6, fd), 12, 0);
    EXPECT_FAILURE(Word(34, fd), 52, -1, 9);
    EXPECT_FAILURE(Lseek(fd, 0, 0), 12, -1, 9);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: %d = open(%s,0x%x,0x1a4)\n", wfd, path.c_str(), O_WRONLY | O_CREAT));
    EXPECT_TRACE(t, Fmt("Request: %d = open(%s,0x%x,0x1a4)\n", fd, path.c_str(), O_RDONLY));
    EXPECT_TRACE(t, Fmt("Request: 11 = write(%d,...,11)\n", wfd));
    EXPECT_TRACE(t, Fmt("Request: 0 = write(%d,...,0)\n", wfd));
    EXPECT_TRACE(t, Fmt("Request: -1 = write(%d,...,20)\n", wfd));
    EXPECT_TRACE(t, Fmt("Request: 65508 = write(%d,...,65508)\n", wfd));
    EXPECT_TRACE(t, Fmt("Request: 5 = read(%d,...,5)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: 65508 = read(%d,...,65508)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: %d = read(%d,...,100)\n", rest, fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = read(%d,...,4)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: 6 = lseek(%d,6,0)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = lseek(%d,-1,0)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: 0 = close(%d)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = close(%d)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: 0 = fstat(%d,...)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = fstat(%d,...)\n", fd));
}

TEST_P(Files, OpenFlagsReachTheHost)
{
    std::string path = dir + "/g";
    WriteFile(path, "0123456789");
    int fd = Open(path, 3).word(1); // 3 reads and writes
    ASSERT_GE(fd, 0);
    EXPECT_REPLY(Write(fd, 2, "ab"), 12, 2);
    EXPECT_REPLY(Lseek(fd, 0, 0), 12, 0);
    EXPECT_EQ(Read(fd, 4).data(12).substr(0, 4), "ab23");
    Word(6, fd);

    fd = Open(path, 0x1000 | 1).word(1); // append
    EXPECT_REPLY(Write(fd, 1, "Z"), 12, 1);
    Word(6, fd);
    EXPECT_EQ(ReadFile(path), "ab23456789Z");

    EXPECT_FAILURE(Open(path, 0x200 | 0x800 | 1), 12, -1, 17); // exclusive creation of an existing file
    fd = Open(path, 0x400 | 1).word(1);                        // truncate
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs::file_size(path), 0u);
    Word(6, fd);
    EXPECT_FAILURE(Open(dir + "/missing", 0), 12, -1, 2);
    EXPECT_FAILURE(Open(dir + "/missing", 1), 12, -1, 2); // no creation without 0x200
    fd = Open(dir + "/new", 0x200 | 0x800 | 2, 0600).word(1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs::status(dir + "/new").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("= open(%s,0x%x,0x1a4)\n", path.c_str(), O_RDWR));
    EXPECT_TRACE(t, Fmt("= open(%s,0x%x,0x1a4)\n", path.c_str(), O_WRONLY | O_APPEND));
    EXPECT_TRACE(t, Fmt("Request: -1 = open(%s,0x%x,0x1a4)\n", path.c_str(), O_WRONLY | O_CREAT | O_EXCL));
    EXPECT_TRACE(t, Fmt("= open(%s,0x%x,0x1a4)\n", path.c_str(), O_WRONLY | O_TRUNC));
    EXPECT_TRACE(t, Fmt("= open(%s/new,0x%x,0x180)\n", dir.c_str(), O_RDWR | O_CREAT | O_EXCL));
}

TEST_P(Files, AccessModes)
{
    std::string plain = dir + "/plain", exec = dir + "/exec";
    WriteFile(plain, "x");
    WriteFile(exec, "x");
    chmod(plain.c_str(), 0644);
    chmod(exec.c_str(), 0755);
    auto acc = [&](const std::string &p, int32_t mode) { return Call(Request(17).word(mode).str(p)); };
    EXPECT_REPLY(acc(plain, 0), 12, 0);
    EXPECT_FAILURE(acc(dir + "/missing", 0), 12, -1, 2);
    EXPECT_FAILURE(acc(plain, 5), 12, -1, 13); // read and execute
    EXPECT_REPLY(acc(exec, 5), 12, 0);
    EXPECT_REPLY(acc(plain, 1), 12, 0);
    EXPECT_REPLY(acc(plain, 2 | 0x100), 12, 0); // other bits ignored
    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: 0 = access(%s,0x0)\n", plain.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = access(%s,0x%x)\n", plain.c_str(), R_OK | X_OK));
    EXPECT_TRACE(t, Fmt("Request: 0 = access(%s,0x%x)\n", exec.c_str(), R_OK | X_OK));
    EXPECT_TRACE(t, Fmt("Request: 0 = access(%s,0x%x)\n", plain.c_str(), R_OK));
    EXPECT_TRACE(t, Fmt("Request: 0 = access(%s,0x%x)\n", plain.c_str(), W_OK));
}

void ExpectStatus(const Reply &r, const struct stat &st)
{
    auto low = [](long long v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); };
    EXPECT_REPLY(r, 52, 0);
    EXPECT_EQ(r.word(3), low(st.st_mode));
    EXPECT_EQ(r.word(4), low(static_cast<long long>(st.st_ino)));
    EXPECT_EQ(r.word(5), low(static_cast<long long>(st.st_dev)));
    EXPECT_EQ(r.word(6), low(static_cast<long long>(st.st_nlink)));
    EXPECT_EQ(r.word(7), low(st.st_uid));
    EXPECT_EQ(r.word(8), low(st.st_gid));
    EXPECT_EQ(r.word(9), low(st.st_size));
    EXPECT_EQ(r.word(10), low(st.st_atime));
    EXPECT_EQ(r.word(11), low(st.st_mtime));
    EXPECT_EQ(r.word(12), low(st.st_ctime));
}

TEST_P(Files, StatFamily)
{
    std::string file = dir + "/file", sym = dir + "/sym";
    WriteFile(file, "twelve bytes");
    ASSERT_EQ(symlink(file.c_str(), sym.c_str()), 0);
    struct stat st, lst;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    ASSERT_EQ(::lstat(sym.c_str(), &lst), 0);

    ExpectStatus(Path(18, file), st);
    ExpectStatus(Path(18, sym), st);
    ExpectStatus(Path(32, sym), lst);
    EXPECT_TRUE(S_ISLNK(Path(32, sym).word(3)));
    int fd = Open(file, 0).word(1);
    ExpectStatus(Word(34, fd), st);
    EXPECT_FAILURE(Path(18, dir + "/missing"), 52, -1, 2);
    EXPECT_FAILURE(Path(32, dir + "/missing"), 52, -1, 2);
    EXPECT_FAILURE(Path(18, file + "/below"), 52, -1, 20);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: 0 = stat(%s,...)\n", file.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = lstat(%s,...)\n", sym.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = fstat(%d,...)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = stat(%s/missing,...)\n", dir.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = lstat(%s/missing,...)\n", dir.c_str()));
}

TEST_P(Files, DirectoryStreams)
{
    std::string sub = dir + "/d";
    fs::create_directory(sub);
    for (const char *n : {"a", "bb", "ccc", "dddd"})
        WriteFile(sub + "/" + n, "");
    Reply r = Path(7, sub);
    EXPECT_EQ(r.length(), 12);
    uint32_t h = static_cast<uint32_t>(r.word(1));
    ASSERT_NE(h, 0u);

    std::set<std::string> names;
    for (int i = 0; i < 10; i++) {
        r = Word(8, static_cast<int32_t>(h));
        if (r.word(1) != 0)
            break;
        std::string name(r.data(12).substr(0, r.data(12).find('\0')));
        EXPECT_EQ(r.length(), RoundUp4(12 + static_cast<int>(name.size()) + 1)) << name;
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "bb", "ccc", "dddd"}));
    EXPECT_FAILURE(r, 12, -1, 22); // the end of the directory sets no error
    EXPECT_FAILURE(Word(8, static_cast<int32_t>(h)), 12, -1, 22);
    EXPECT_FAILURE(Word(8, static_cast<int32_t>(h)), 12, -1, 22);

    EXPECT_REPLY(Word(9, static_cast<int32_t>(h)), 12, 0);
    r = Word(8, static_cast<int32_t>(h));
    EXPECT_REPLY(r, r.length(), 0);
    EXPECT_TRUE(names.count(std::string(r.data(12).substr(0, r.data(12).find('\0')))));
    std::string first(r.data(12).substr(0, r.data(12).find('\0')));
    EXPECT_REPLY(Word(10, static_cast<int32_t>(h)), 12, 0);

    // A closed handle, one never given out, and 0 are refused; rewinddir still answers 0.
    EXPECT_FAILURE(Word(8, static_cast<int32_t>(h)), 12, -1, 9);
    EXPECT_FAILURE(Word(10, static_cast<int32_t>(h)), 12, -1, 9);
    EXPECT_REPLY(Word(9, static_cast<int32_t>(h)), 12, 0);
    EXPECT_FAILURE(Word(8, 0), 12, -1, 9);
    EXPECT_FAILURE(Word(8, 0x12345), 12, -1, 9);
    EXPECT_FAILURE(Word(10, 0), 12, -1, 9);

    // The next stream gets a new handle; the old one stays void.
    uint32_t h2 = static_cast<uint32_t>(Path(7, sub).word(1));
    EXPECT_NE(h2, 0u);
    EXPECT_NE(h2, h);
    EXPECT_FAILURE(Word(8, static_cast<int32_t>(h)), 12, -1, 9);
    EXPECT_EQ(Word(8, static_cast<int32_t>(h2)).word(1), 0);
    EXPECT_REPLY(Word(10, static_cast<int32_t>(h2)), 12, 0);

    EXPECT_FAILURE(Path(7, dir + "/missing"), 12, 0, 2);
    EXPECT_FAILURE(Path(7, sub + "/a"), 12, 0, 20);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: 0x%x = opendir(%s)\n", h, sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: ccc = readdir(0x%x);\n", h));
    EXPECT_TRACE(t, Fmt("Request: %s = readdir(0x%x);\n", first.c_str(), h));
    EXPECT_TRACE(t, Fmt("Request: -1 = readdir(0x%x);\n", h));
    EXPECT_TRACE(t, Fmt("Request: rewinddir(0x%x)\n", h));
    EXPECT_TRACE(t, Fmt("Request: 0 = closedir(0x%x)\n", h));
    EXPECT_TRACE(t, Fmt("Request: -1 = closedir(0x%x)\n", h));
    EXPECT_TRACE(t, Fmt("Request: -1 = readdir(0x0);\n"));
    EXPECT_TRACE(t, Fmt("Request: 0x0 = opendir(%s/missing)\n", dir.c_str()));
}

TEST_P(Files, PathCalls)
{
    mode_t mask = umask(0);
    umask(mask);
    std::string sub = dir + "/sub", file = dir + "/file";
    WriteFile(file, "data");
    auto withMode = [&](int call, int32_t mode, const std::string &p) { return Call(Request(call).word(mode).str(p)); };

    // Bits 16 to 31 of the mode are not the host's; the trace shows the whole word.
    EXPECT_REPLY(withMode(21, 0x10000 | 0755, sub), 12, 0);
    EXPECT_EQ(fs::status(sub).permissions() & fs::perms::mask, static_cast<fs::perms>(0755 & ~mask));
    EXPECT_FAILURE(withMode(21, 0755, sub), 12, -1, 17);
    EXPECT_REPLY(withMode(24, 0x7fff0000 | 0751, file), 12, 0);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, static_cast<fs::perms>(0751));
    EXPECT_FAILURE(withMode(24, 0644, dir + "/missing"), 12, -1, 2);

    WriteFile(sub + "/inside", "");
    EXPECT_FAILURE(Path(22, sub), 12, -1, 66); // not empty
    EXPECT_FAILURE(Path(22, file), 12, -1, 20);
    EXPECT_REPLY(Path(20, sub + "/inside"), 12, 0);
    EXPECT_FAILURE(Path(20, sub + "/inside"), 12, -1, 2);
    EXPECT_REPLY(Path(22, sub), 12, 0);
    EXPECT_FALSE(fs::exists(sub));

    EXPECT_REPLY(Call(Request(19).str(file).str(dir + "/hard")), 12, 0);
    EXPECT_EQ(fs::hard_link_count(file), 2u);
    EXPECT_FAILURE(Call(Request(19).str(file).str(dir + "/hard")), 12, -1, 17);
    EXPECT_FAILURE(Call(Request(19).str(dir + "/missing").str(dir + "/h2")), 12, -1, 2);
    EXPECT_REPLY(Call(Request(31).str("12345678").str(dir + "/eight")), 12, 0);
    EXPECT_REPLY(Call(Request(31).str("abcde").str(dir + "/five")), 12, 0);
    EXPECT_FAILURE(Call(Request(31).str("x").str(dir + "/five")), 12, -1, 17);
    EXPECT_EQ(fs::read_symlink(dir + "/eight"), "12345678");

    Reply r = Path(33, dir + "/eight");
    EXPECT_REPLY(r, 20, 8); // the NUL lies outside the reply
    EXPECT_EQ(r.data(12), "12345678");
    r = Path(33, dir + "/five");
    EXPECT_REPLY(r, 20, 5);
    EXPECT_EQ(r.data(12), std::string("abcde\0\0\0", 8));
    EXPECT_FAILURE(Path(33, file), 12, -1, 22);
    EXPECT_FAILURE(Path(33, dir + "/missing"), 12, -1, 2);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: 0 = mkdir(%s,0x101ed)\n", sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = mkdir(%s,0x1ed)\n", sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = chmod(%s,0x7fff01e9)\n", file.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = rmdir(%s)\n", sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = rmdir(%s)\n", sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = unlink(%s/inside)\n", sub.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = link(%s,%s/hard)\n", file.c_str(), dir.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = symlink(12345678,%s/eight)\n", dir.c_str()));
    EXPECT_TRACE(t, Fmt("Request: \"12345678\" = readlink(%s/eight,...)\n", dir.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = readlink(%s,...)\n", file.c_str()));
}

TEST_P(Files, WorkingDirectory)
{
    std::string here = fs::current_path();
    Reply r = Call(Request(25));
    EXPECT_REPLY(r, RoundUp4(12 + static_cast<int>(here.size()) + 1), 1);
    EXPECT_EQ(std::string(r.data(12).substr(0, here.size() + 1)), here + '\0');

    std::string real = fs::canonical(dir);
    EXPECT_REPLY(Path(26, dir), 12, 0);
    EXPECT_EQ(hostlink::getcwd(link), real);
    EXPECT_GE(Open("relative", 0x200 | 1).word(1), 0); // paths resolve against the new directory
    EXPECT_TRUE(fs::exists(dir + "/relative"));
    EXPECT_FAILURE(Path(26, dir + "/missing"), 12, -1, 2);
    EXPECT_FAILURE(Path(26, dir + "/relative"), 12, -1, 20);

    // A working directory that is gone makes getcwd fail.
    fs::create_directory(dir + "/gone");
    EXPECT_REPLY(Path(26, dir + "/gone"), 12, 0);
    fs::remove(dir + "/gone");
    EXPECT_FAILURE(Call(Request(25)), 12, 0, 2);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: \"%s\" = getcwd(...,65508)\n", here.c_str()));
    EXPECT_TRACE(t, Fmt("Request: \"%s\" = getcwd(...,65508)\n", real.c_str()));
    EXPECT_TRACE(t, Fmt("Request: 0 = chdir(%s)\n", dir.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = chdir(%s/missing)\n", dir.c_str()));
    EXPECT_TRACE(t, "Request: NULL = getcwd(...,65508)\n");
}

// Sizes and offsets beyond the signed 32-bit word are refused, and leave the offset alone.
TEST_P(Files, LargeFileSizesAndOffsets)
{
    std::string big = dir + "/big", edge = dir + "/edge";
    {
        int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);
        ::close(fd);
        fd = ::open(edge.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(ftruncate(fd, INT32_MAX), 0);
        ::close(fd);
    }
    EXPECT_FAILURE(Path(18, big), 52, -1, 22);
    EXPECT_FAILURE(Path(32, big), 52, -1, 22);
    EXPECT_EQ(Path(18, edge).word(9), INT32_MAX);

    int fd = Open(big, 0).word(1);
    ASSERT_GE(fd, 0);
    EXPECT_FAILURE(Word(34, fd), 52, -1, 22);
    EXPECT_REPLY(Lseek(fd, INT32_MAX, 0), 12, INT32_MAX);
    EXPECT_FAILURE(Lseek(fd, 1, 1), 12, -1, 22);
    EXPECT_REPLY(Lseek(fd, 0, 1), 12, INT32_MAX);
    EXPECT_FAILURE(Lseek(fd, 0, 2), 12, -1, 22);
    EXPECT_FAILURE(Lseek(fd, -(1 << 30), 2), 12, -1, 22);
    EXPECT_REPLY(Lseek(fd, 0, 1), 12, INT32_MAX);
    Reply r = Read(fd, 4); // reading on past the edge works; reporting the offset does not
    EXPECT_REPLY(r, 16, 4);
    EXPECT_EQ(r.data(12), std::string(4, '\0'));
    EXPECT_FAILURE(Lseek(fd, 0, 1), 12, -1, 22);
    EXPECT_REPLY(Lseek(fd, -4, 1), 12, INT32_MAX);
    EXPECT_REPLY(Lseek(fd, 0, 0), 12, 0);

    int efd = Open(edge, 0).word(1);
    EXPECT_REPLY(Lseek(efd, 0, 2), 12, INT32_MAX);
    EXPECT_EQ(Word(34, efd).word(1), 0);

    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: -1 = stat(%s,...)\n", big.c_str()));
    EXPECT_TRACE(t, Fmt("Request: -1 = fstat(%d,...)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: -1 = lseek(%d,1,1)\n", fd));
    EXPECT_TRACE(t, Fmt("Request: 2147483647 = lseek(%d,2147483647,0)\n", fd));
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Files, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Swapped" : "Native"; });

TEST(FileLimits, ReadlinkPathOf1024BytesIsRefused)
{
    Daemon d(true);
    Link link = d.Open();
    std::string tail = "/nonexistent-name";
    std::string at1023 = std::string(1023 - tail.size(), '/') + tail;
    std::string at1024 = "/" + at1023;
    Reply r = link.call(Request(33).str(at1023));
    EXPECT_FAILURE(r, 12, -1, 2); // reaches the host
    r = link.call(Request(33).str(at1024));
    EXPECT_FAILURE(r, 12, -1, 63);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    EXPECT_TRACE(d.agent.Stderr(), Fmt("Request: -1 = readlink(%s,...)\n", at1024.c_str()));
}

TEST(FileLimits, DirectoryTableIsBounded)
{
    Daemon d;
    Link link = d.Open();
    std::string dir = TempDir();
    std::vector<uint32_t> handles;
    Reply r;
    for (int i = 0; i < 300; i++) {
        r = link.call(Request(7).str(dir));
        if (r.word(1) == 0)
            break;
        handles.push_back(static_cast<uint32_t>(r.word(1)));
    }
    EXPECT_EQ(handles.size(), 256u);
    EXPECT_FAILURE(r, 12, 0, 24);
    EXPECT_EQ(std::set<uint32_t>(handles.begin(), handles.end()).size(), handles.size());
    EXPECT_EQ(link.call(Request(10).word(static_cast<int32_t>(handles[17]))).word(1), 0);
    uint32_t again = static_cast<uint32_t>(link.call(Request(7).str(dir)).word(1));
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, handles[17]);
    EXPECT_EQ(link.call(Request(8).word(static_cast<int32_t>(again))).word(1), 0);
    fs::remove_all(dir);
}

// Strings without their NUL inside the request, and requests too short for their words, are
// refused before the host sees them, even when an earlier request left a NUL in the buffer.
TEST(FileLimits, MalformedRequestsAreRefused)
{
    Daemon d(true);
    Link link = d.Open();
    std::string dir = TempDir();
    std::string keep = dir + "/keep", victim = dir + "/victim";
    WriteFile(keep, "k");
    auto prime = [&](const std::string &p) { link.call(Request(18).str(p)); }; // stat leaves "p\0" at byte 4

    prime(keep);
    EXPECT_FAILURE(link.call(Request(20).bytes(keep)), 12, -1, 22); // unlink
    prime(keep);
    EXPECT_FAILURE(link.call(Request(22).bytes(keep)), 12, -1, 22); // rmdir
    prime(keep);
    EXPECT_FAILURE(link.call(Request(18).bytes(keep)), 52, -1, 22); // stat
    prime(keep);
    EXPECT_FAILURE(link.call(Request(32).bytes(keep)), 52, -1, 22); // lstat
    prime(keep);
    EXPECT_FAILURE(link.call(Request(33).bytes(keep)), 12, -1, 22); // readlink
    prime(dir);
    EXPECT_FAILURE(link.call(Request(7).bytes(dir)), 12, 0, 22); // opendir
    prime(dir);
    EXPECT_FAILURE(link.call(Request(26).bytes(dir)), 12, -1, 22); // chdir
    EXPECT_TRUE(fs::exists(keep));

    link.call(Request(1).word(0).word(0644).str(victim)); // fails, leaves the path and its NUL
    EXPECT_FAILURE(link.call(Request(1).word(0x201).word(0644).bytes(victim)), 12, -1, 22);
    link.call(Request(21).word(0755).str(victim));
    fs::remove(victim);
    EXPECT_FAILURE(link.call(Request(21).word(0755).bytes(victim)), 12, -1, 22);
    link.call(Request(24).word(0).str(keep));
    chmod(keep.c_str(), 0644);
    EXPECT_FAILURE(link.call(Request(24).word(0).bytes(keep)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(17).word(0).bytes(keep)), 12, -1, 22);
    link.call(Request(19).str(keep).str(victim));
    fs::remove(victim);
    EXPECT_FAILURE(link.call(Request(19).str(keep).bytes(victim)), 12, -1, 22);
    link.call(Request(31).str(keep).str(victim));
    fs::remove(victim);
    EXPECT_FAILURE(link.call(Request(31).str(keep).bytes(victim)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(31).bytes(keep)), 12, -1, 22);
    EXPECT_FALSE(fs::exists(victim));
    EXPECT_EQ(fs::status(keep).permissions() & fs::perms::mask, static_cast<fs::perms>(0644));

    // Words past the request's end.
    EXPECT_FAILURE(link.call(Request(2).word(0)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(3).word(1)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(5).word(0).word(0)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(6)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(34)), 52, -1, 22);
    EXPECT_FAILURE(link.call(Request(8)), 12, -1, 22);
    EXPECT_FAILURE(link.call(Request(10)), 12, -1, 22);
    EXPECT_REPLY(link.call(Request(9)), 12, 0);
    EXPECT_FAILURE(link.call(Request(17).bytes("ab")), 12, -1, 22);

    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, "Request: -1 = unlink(?)\n");
    EXPECT_TRACE(t, "Request: 0x0 = opendir(?)\n");
    EXPECT_TRACE(t, "Request: -1 = stat(?,...)\n");
    EXPECT_TRACE(t, Fmt("Request: -1 = link(%s,?)\n", keep.c_str()));
    EXPECT_TRACE(t, "Request: -1 = symlink(?,?)\n");
    fs::remove_all(dir);
}

// The connection is the agent's own: the client can neither close it nor read or write it.
TEST(FileLimits, ConnectionIsNotAClientDescriptor)
{
    Daemon d;
    Link link = d.Open();
    int highest = link.call(Request(1).word(0).word(0).str("/")).word(1);
    ASSERT_GT(highest, 0);
    int refused = 0;
    for (int fd = 0; fd < highest; fd++) {
        Reply st = link.call(Request(34).word(fd)); // the agent's own answer EBADF even to fstat
        if (st.word(1) != -1 || st.word(2) != 9)
            continue;
        Reply r = link.call(Request(6).word(fd));
        if (r.word(1) == -1 && r.word(2) == 9) {
            refused++;
            EXPECT_FAILURE(link.call(Request(2).word(fd).word(4)), 12, -1, 9);
            EXPECT_FAILURE(link.call(Request(3).word(fd).word(4).bytes("abcd")), 12, -1, 9);
        }
    }
    EXPECT_EQ(refused, 2); // the listener and the connection
    EXPECT_EQ(link.call(Request(25)).word(1), 1); // still served
}

// A read from a pipe waits until the whole count has arrived or the writer has gone.
TEST(FileLimits, ReadFromPipeWaitsForTheWholeCount)
{
    Daemon d;
    Link link = d.Open(true);
    std::string dir = TempDir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY); // waits for the agent to open the other end
        if (fd < 0)
            return;
        for (const char *piece : {"abc", "defg", "hijkl"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (::write(fd, piece, strlen(piece)) < 0)
                break;
        }
        ::close(fd);
    });
    int fd = link.call(Request(1).word(0).word(0).str(fifo)).word(1);
    EXPECT_GE(fd, 0);
    Reply r = link.call(Request(2).word(fd).word(10));
    EXPECT_REPLY(r, 24, 10);
    EXPECT_EQ(r.data(12).substr(0, 10), "abcdefghij");
    r = link.call(Request(2).word(fd).word(10));
    EXPECT_REPLY(r, 16, 2);
    EXPECT_EQ(r.data(12).substr(0, 2), "kl");
    EXPECT_REPLY(link.call(Request(2).word(fd).word(10)), 12, 0);
    writer.join();
    fs::remove_all(dir);
}

// The typed client functions, with errno values of this machine.
TEST(FilesApi, TypedCallsMirrorPosix)
{
    Daemon d;
    Link link = d.Open(true);
    std::string dir = TempDir();
    std::string file = dir + "/f";
    int fd = hostlink::open(link, file, hostlink::kOpenReadWrite | hostlink::kOpenCreate, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hostlink::write(link, fd, "payload", 7), 7);
    EXPECT_EQ(hostlink::lseek(link, fd, 0, SEEK_SET), 0);
    char buf[16] = {};
    EXPECT_EQ(hostlink::read(link, fd, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "payload");
    hostlink::FileStatus st{};
    EXPECT_EQ(hostlink::fstat(link, fd, &st), 0);
    EXPECT_EQ(st.size, 7);
    EXPECT_TRUE(S_ISREG(st.mode));
    EXPECT_EQ(hostlink::close(link, fd), 0);
    errno = 0;
    EXPECT_EQ(hostlink::close(link, fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(hostlink::open(link, file, hostlink::kOpenWrite | hostlink::kOpenCreate | hostlink::kOpenExclusive), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(hostlink::access(link, file, hostlink::kAccessRead), 0);
    EXPECT_EQ(hostlink::mkdir(link, dir + "/sub", 0700), 0);
    EXPECT_EQ(hostlink::mkdir(link, dir + "/sub/x", 0700), 0);
    EXPECT_EQ(hostlink::rmdir(link, dir + "/sub"), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(hostlink::symlink(link, "f", dir + "/l"), 0);
    EXPECT_EQ(hostlink::readlink(link, dir + "/l"), "f");
    EXPECT_EQ(hostlink::lstat(link, dir + "/l", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.mode));
    EXPECT_EQ(hostlink::stat(link, dir + "/missing", &st), -1);
    EXPECT_EQ(errno, ENOENT);

    uint32_t h = hostlink::opendir(link, dir);
    ASSERT_NE(h, 0u);
    std::set<std::string> names;
    while (auto name = hostlink::readdir(link, h))
        names.insert(*name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f", "l", "sub"}));
    hostlink::rewinddir(link, h);
    EXPECT_TRUE(hostlink::readdir(link, h).has_value());
    EXPECT_EQ(hostlink::closedir(link, h), 0);
    EXPECT_FALSE(hostlink::readdir(link, h).has_value());
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(hostlink::opendir(link, dir + "/missing"), 0u);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(hostlink::chdir(link, dir), 0);
    EXPECT_EQ(hostlink::getcwd(link), fs::canonical(dir).string());
    EXPECT_EQ(hostlink::unlink(link, "l"), 0);
    EXPECT_EQ(hostlink::link(link, "f", "g"), 0);
    EXPECT_EQ(hostlink::chmod(link, "g", 0640), 0);
    EXPECT_EQ(fs::status(dir + "/g").permissions() & fs::perms::mask, static_cast<fs::perms>(0640));
    fs::remove_all(dir);
}

TEST(FilesApi, WireErrorsBecomeLocalErrnoValues)
{
    EXPECT_EQ(hostlink::LocalErrno(2), ENOENT);
    EXPECT_EQ(hostlink::LocalErrno(22), EINVAL);
    EXPECT_EQ(hostlink::LocalErrno(35), EDEADLK);
    EXPECT_EQ(hostlink::LocalErrno(62), ELOOP);
    EXPECT_EQ(hostlink::LocalErrno(63), ENAMETOOLONG);
    EXPECT_EQ(hostlink::LocalErrno(66), ENOTEMPTY);
    EXPECT_EQ(hostlink::LocalErrno(73), EIDRM);
    EXPECT_EQ(hostlink::LocalErrno(67), EIO);
    EXPECT_EQ(hostlink::LocalErrno(0), EIO);
    EXPECT_EQ(hostlink::LocalErrno(74), EIO);
}

} // namespace
