#include <hostlink/calls.h>

#include <cerrno>
#include <cstring>

#include "client/callnumbers.h"

namespace hostlink {

using Kind = LinkError::Kind;

namespace {

[[noreturn]] void malformed(const std::string &what) { throw LinkError(Kind::Malformed, what); }

void expect(const Reply &r, int call, int minLength)
{
    if (r.call() != call)
        malformed("reply to call " + std::to_string(r.call()) + " for call " + std::to_string(call));
    if (r.length() < minLength || static_cast<int>(r.raw.size()) < minLength)
        malformed("reply to call " + std::to_string(call) + " too short: " + std::to_string(r.length()));
}

const Reply &exchange(Link &link, const Request &req, int minLength)
{
    const Reply &r = link.exchange(req);
    expect(r, req.call(), minLength);
    return r;
}

// Result word of a 12-byte reply; sets errno when it is the failure value.
int32_t simple(Link &link, const Request &req, int32_t failure = -1)
{
    return decodeResult(exchange(link, req, 12), failure);
}

int32_t statCall(Link &link, const Request &req, FileStatus *status)
{
    const Reply &r = exchange(link, req, 12);
    int32_t result = decodeResult(r);
    if (result >= 0 && status)
        decodeStatus(r, 3, status);
    return result;
}

} // namespace

int localErrno(int32_t wireError) { return wire::LocalErrno(wireError); }

namespace detail {

bool fits(std::string_view s, size_t room)
{
    if (s.find('\0') != std::string_view::npos) {
        errno = EINVAL;
        return false;
    }
    if (s.size() >= room) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

bool fitsAll(const std::string &first, const std::vector<std::string> &a, const std::vector<std::string> &b, size_t room)
{
    size_t total = first.size() + 1;
    if (!fits(first, room))
        return false;
    for (const auto *v : {&a, &b})
        for (const std::string &s : *v) {
            if (!fits(s, room))
                return false;
            total += s.size() + 1;
        }
    if (total > room) {
        errno = E2BIG;
        return false;
    }
    return true;
}

Request pathRequest(int call, std::string_view path)
{
    Request req(call);
    req.str(path);
    return req;
}

Request modePathRequest(int call, int32_t mode, std::string_view path)
{
    Request req(call);
    req.word(mode).str(path);
    return req;
}

Request twoPathRequest(int call, std::string_view a, std::string_view b)
{
    Request req(call);
    req.str(a).str(b);
    return req;
}

Request vectorRequest(int call, const std::string &first, const std::vector<std::string> &argv,
                      const std::vector<std::string> *env)
{
    Request req(call);
    req.word(static_cast<int32_t>(argv.size()));
    if (env)
        req.word(static_cast<int32_t>(env->size()));
    req.str(first);
    for (const std::string &s : argv)
        req.str(s);
    if (env)
        for (const std::string &s : *env)
            req.str(s);
    return req;
}

} // namespace detail

using namespace detail;

constexpr size_t kPathRoom = kMaxMessage - 12;

int32_t decodeResult(const Reply &r, int32_t failure)
{
    int32_t result = r.word(1);
    if (result == failure || (failure < 0 && result < 0))
        errno = localErrno(r.word(2));
    return result;
}

void decodeStatus(const Reply &r, int first, FileStatus *s)
{
    s->mode = r.word(first);
    s->ino = r.word(first + 1);
    s->dev = r.word(first + 2);
    s->nlink = r.word(first + 3);
    s->uid = r.word(first + 4);
    s->gid = r.word(first + 5);
    s->size = r.word(first + 6);
    s->atime = r.word(first + 7);
    s->mtime = r.word(first + 8);
    s->ctime = r.word(first + 9);
}

std::string decodeString(const Reply &r, int offset)
{
    size_t end = static_cast<size_t>(r.length()) < r.raw.size() ? static_cast<size_t>(r.length()) : r.raw.size();
    if (offset < 0 || static_cast<size_t>(offset) > end)
        malformed("reply string outside its reply");
    std::string_view d = std::string_view(r.raw).substr(static_cast<size_t>(offset), end - static_cast<size_t>(offset));
    size_t nul = d.find('\0');
    if (nul == std::string_view::npos)
        malformed("reply string without its end");
    return std::string(d.substr(0, nul));
}

namespace {

// Reads NUL-terminated strings from the reply's bytes [pos, end).
class StringReader {
public:
    StringReader(const Reply &r, size_t pos, size_t end)
        : raw_(r.raw), pos_(pos), end_(end < r.raw.size() ? end : r.raw.size()) {}
    std::string next()
    {
        const void *nul = pos_ < end_ ? memchr(raw_.data() + pos_, '\0', end_ - pos_) : nullptr;
        if (!nul)
            malformed("reply string runs past its end");
        size_t n = static_cast<size_t>(static_cast<const char *>(nul) - (raw_.data() + pos_));
        std::string s = raw_.substr(pos_, n);
        pos_ += n + 1;
        return s;
    }
    std::string bytes(size_t n)
    {
        if (pos_ > end_ || n > end_ - pos_)
            malformed("reply data runs past its end");
        std::string s = raw_.substr(pos_, n);
        pos_ += n;
        return s;
    }

private:
    const std::string &raw_;
    size_t pos_;
    size_t end_;
};

} // namespace

std::vector<std::string> decodeEnvironment(const Reply &reply)
{
    int32_t size = reply.word(1);
    if (size < 0 || size > reply.length() - 8)
        malformed("environment size " + std::to_string(size) + " does not fit its reply");
    std::vector<std::string> out;
    size_t end = 8 + static_cast<size_t>(size);
    StringReader in(reply, 8, end);
    for (size_t used = 8; used < end;) {
        out.push_back(in.next());
        used += out.back().size() + 1;
    }
    return out;
}

int32_t decodeHostEntry(const Reply &reply, HostEntry *entry)
{
    if (reply.word(1) != 0) {
        errno = ENOENT;
        return -1;
    }
    if (reply.length() < 24)
        malformed("host reply too short");
    int32_t aliases = reply.word(2), addresses = reply.word(3);
    HostEntry e;
    e.addressLength = reply.word(4);
    e.addressType = reply.word(5);
    int room = reply.length() - 24;
    // Every count is bounded by the bytes the reply holds before anything is made of it: each
    // alias takes at least its NUL, each address at least one byte.
    if (aliases < 0 || addresses < 0 || e.addressLength < 0 || aliases > room || addresses > room ||
        (e.addressLength > 0 && addresses > room / e.addressLength))
        malformed("host reply counts do not fit its length");
    StringReader in(reply, 24, static_cast<size_t>(reply.length()));
    e.name = in.next();
    for (int i = 0; i < aliases; i++)
        e.aliases.push_back(in.next());
    for (int i = 0; i < addresses; i++)
        e.addresses.push_back(in.bytes(static_cast<size_t>(e.addressLength)));
    if (entry)
        *entry = std::move(e);
    return 0;
}

int32_t decodeServiceEntry(const Reply &reply, ServiceEntry *entry)
{
    if (reply.length() < 20)
        malformed("service reply too short");
    if (reply.word(3) != 0) {
        errno = localErrno(reply.word(4));
        return -1;
    }
    ServiceEntry e;
    e.port = reply.word(1);
    int32_t aliases = reply.word(2);
    if (aliases < 0 || aliases > reply.length() - 20)
        malformed("service reply alias count does not fit its length");
    StringReader in(reply, 20, static_cast<size_t>(reply.length()));
    e.name = in.next();
    e.protocol = in.next();
    for (int i = 0; i < aliases; i++)
        e.aliases.push_back(in.next());
    if (entry)
        *entry = std::move(e);
    return 0;
}

// ---- Files ----

int32_t open(Link &link, std::string_view path, int32_t flags, int32_t mode)
{
    if (!fits(path, kPathRoom))
        return -1;
    Request req(kCallOpen);
    req.word(flags).word(mode).str(path);
    return simple(link, req);
}

int32_t read(Link &link, int32_t fd, void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(kCallRead);
    req.word(fd).word(n);
    link.send(req);
    // The data go straight into the caller's buffer; the reply's rounding is dropped.
    thread_local Reply r;
    size_t got = link.receive(r, 12, static_cast<char *>(buffer), static_cast<size_t>(n));
    expect(r, kCallRead, 12);
    int32_t result = decodeResult(r);
    if (result >= 0 && (result > n || static_cast<size_t>(result) > got))
        malformed("read reply carries fewer bytes than it claims");
    return result;
}

int32_t write(Link &link, int32_t fd, const void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(kCallWrite);
    req.word(fd).word(n).borrow(std::string_view(static_cast<const char *>(buffer), static_cast<size_t>(n)));
    return simple(link, req);
}

int32_t lseek(Link &link, int32_t fd, int32_t offset, int32_t whence)
{
    return simple(link, Request(kCallLseek).word(fd).word(offset).word(whence));
}

int32_t close(Link &link, int32_t fd) { return simple(link, Request(kCallClose).word(fd)); }

// ---- Directories ----

uint32_t opendir(Link &link, std::string_view path)
{
    if (!fits(path, kPathRoom))
        return 0;
    return static_cast<uint32_t>(simple(link, pathRequest(kCallOpendir, path), 0));
}

int decodeReaddir(const Reply &r, std::string *name)
{
    if (r.word(1) < 0) {
        int32_t error = r.word(2);
        if (error == wire::WIRE_EINVAL) // "no error": the end of the directory
            return 0;
        errno = localErrno(error);
        return -1;
    }
    std::string s = decodeString(r, 12);
    if (name)
        *name = std::move(s);
    return 1;
}

int readdir(Link &link, uint32_t handle, std::string *name)
{
    return decodeReaddir(exchange(link, Request(kCallReaddir).word(static_cast<int32_t>(handle)), 12), name);
}

int32_t rewinddir(Link &link, uint32_t handle)
{
    exchange(link, Request(kCallRewinddir).word(static_cast<int32_t>(handle)), 12);
    return 0;
}

int32_t closedir(Link &link, uint32_t handle)
{
    return simple(link, Request(kCallClosedir).word(static_cast<int32_t>(handle)));
}

// ---- Paths ----

int32_t access(Link &link, std::string_view path, int32_t mode)
{
    return fits(path, kPathRoom) ? simple(link, modePathRequest(kCallAccess, mode, path)) : -1;
}
int32_t stat(Link &link, std::string_view path, FileStatus *status)
{
    return fits(path, kPathRoom) ? statCall(link, pathRequest(kCallStat, path), status) : -1;
}
int32_t lstat(Link &link, std::string_view path, FileStatus *status)
{
    return fits(path, kPathRoom) ? statCall(link, pathRequest(kCallLstat, path), status) : -1;
}
int32_t fstat(Link &link, int32_t fd, FileStatus *status) { return statCall(link, Request(kCallFstat).word(fd), status); }

int32_t link(Link &l, std::string_view existing, std::string_view newpath)
{
    if (!fits(existing, kPathRoom / 2) || !fits(newpath, kPathRoom / 2))
        return -1;
    return simple(l, twoPathRequest(kCallLink, existing, newpath));
}
int32_t symlink(Link &link, std::string_view text, std::string_view newpath)
{
    if (!fits(text, kPathRoom / 2) || !fits(newpath, kPathRoom / 2))
        return -1;
    return simple(link, twoPathRequest(kCallSymlink, text, newpath));
}
int32_t unlink(Link &link, std::string_view path)
{
    return fits(path, kPathRoom) ? simple(link, pathRequest(kCallUnlink, path)) : -1;
}
int32_t mkdir(Link &link, std::string_view path, int32_t mode)
{
    return fits(path, kPathRoom) ? simple(link, modePathRequest(kCallMkdir, mode, path)) : -1;
}
int32_t rmdir(Link &link, std::string_view path)
{
    return fits(path, kPathRoom) ? simple(link, pathRequest(kCallRmdir, path)) : -1;
}
int32_t chmod(Link &link, std::string_view path, int32_t mode)
{
    return fits(path, kPathRoom) ? simple(link, modePathRequest(kCallChmod, mode, path)) : -1;
}
int32_t chdir(Link &link, std::string_view path)
{
    return fits(path, kPathRoom) ? simple(link, pathRequest(kCallChdir, path)) : -1;
}

int32_t getcwd(Link &link, std::string *path)
{
    const Reply &r = exchange(link, Request(kCallGetcwd), 12);
    if (decodeResult(r, 0) == 0)
        return -1;
    std::string s = decodeString(r, 12);
    if (path)
        *path = std::move(s);
    return 0;
}

int32_t decodeReadlink(const Reply &r, std::string *text)
{
    int32_t n = decodeResult(r);
    if (n < 0)
        return n;
    if (12 + static_cast<int64_t>(n) > r.length() || 12 + static_cast<size_t>(n) > r.raw.size())
        malformed("readlink reply carries fewer bytes than it claims");
    if (text)
        *text = std::string(r.data(12).substr(0, static_cast<size_t>(n)));
    return n;
}

int32_t readlink(Link &link, std::string_view path, std::string *text)
{
    if (!fits(path, 1024))
        return -1;
    return decodeReadlink(exchange(link, pathRequest(kCallReadlink, path), 12), text);
}

// ---- Environment, identity, clock, names ----

std::vector<std::string> getenv(Link &link) { return decodeEnvironment(exchange(link, Request(kCallGetenv), 8)); }

int32_t setenv(Link &link, const std::vector<std::string> &settings)
{
    std::string strings;
    for (const auto &s : settings) {
        if (s.find('\0') != std::string::npos) {
            errno = EINVAL;
            return -1;
        }
        strings += s;
        strings.push_back('\0');
    }
    if (strings.size() > static_cast<size_t>(kMaxMessage - 8)) {
        errno = E2BIG;
        return -1;
    }
    Request req(kCallSetenv);
    req.word(static_cast<int32_t>(strings.size())).bytes(strings);
    exchange(link, req, 4);
    return 0;
}

int32_t gettimeofday(Link &link, TimeValue *tv, TimeZone *tz)
{
    const Reply &r = exchange(link, Request(kCallGettimeofday), 8);
    int32_t result = decodeResult(r);
    if (result < 0)
        return result;
    if (r.length() < 28)
        malformed("gettimeofday reply too short");
    if (tv) {
        tv->seconds = static_cast<uint32_t>(r.word(3));
        tv->microseconds = r.word(4);
    }
    if (tz) {
        tz->minutesWest = r.word(5);
        tz->dstFlag = r.word(6);
    }
    return 0;
}

namespace {

int32_t id(Link &link, int call) { return exchange(link, Request(call), 8).word(1); }

} // namespace

std::string detail::nameField(const Reply &r)
{
    std::string field = r.raw.substr(4, 64);
    size_t nul = field.find('\0');
    return nul == std::string::npos ? field : field.substr(0, nul);
}

int32_t getuid(Link &link) { return id(link, kCallGetuid); }
int32_t getgid(Link &link) { return id(link, kCallGetgid); }
int32_t geteuid(Link &link) { return id(link, kCallGeteuid); }
int32_t getegid(Link &link) { return id(link, kCallGetegid); }

int32_t getlogin(Link &link, std::string *name)
{
    std::string s = detail::nameField(exchange(link, Request(kCallGetlogin), 68));
    if (s.empty()) {
        errno = ENXIO;
        return -1;
    }
    if (name)
        *name = std::move(s);
    return 0;
}

int32_t gethostname(Link &link, std::string *name)
{
    std::string s = detail::nameField(exchange(link, Request(kCallGethostname), 68));
    if (name)
        *name = std::move(s);
    return 0;
}

int32_t gethostbyname(Link &link, std::string_view name, HostEntry *entry)
{
    if (!fits(name, kPathRoom))
        return -1;
    return decodeHostEntry(exchange(link, pathRequest(kCallGethostbyname, name), 8), entry);
}

int32_t gethostbyaddr(Link &link, int32_t family, std::string_view address, HostEntry *entry)
{
    if (address.size() > static_cast<size_t>(kMaxMessage - 12)) {
        errno = EINVAL;
        return -1;
    }
    Request req(kCallGethostbyaddr);
    req.word(family).word(static_cast<int32_t>(address.size())).bytes(address);
    return decodeHostEntry(exchange(link, req, 8), entry);
}

int32_t getservbyname(Link &link, std::string_view service, std::string_view protocol, ServiceEntry *entry)
{
    if (!fits(service, kPathRoom / 2) || !fits(protocol, kPathRoom / 2))
        return -1;
    return decodeServiceEntry(exchange(link, twoPathRequest(kCallGetservbyname, service, protocol), 20), entry);
}

// ---- Processes ----

int32_t forkNExec(Link &link, const std::string &path, const std::vector<std::string> &argv)
{
    if (!fitsAll(path, argv, {}, kMaxMessage - 8))
        return -1;
    return simple(link, vectorRequest(kCallForkNExec, path, argv, nullptr));
}

int32_t fork(Link &link) { return simple(link, Request(kCallFork)); }

int32_t execve(Link &link, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env)
{
    if (!fitsAll(path, argv, env, kMaxMessage - 12))
        return -1;
    return simple(link, vectorRequest(kCallExecve, path, argv, &env));
}

int32_t execvp(Link &link, const std::string &name, const std::vector<std::string> &argv)
{
    if (!fitsAll(name, argv, {}, kMaxMessage - 8))
        return -1;
    return simple(link, vectorRequest(kCallExecvp, name, argv, nullptr));
}

int32_t _exit(Link &link, int32_t status)
{
    const Reply &r = exchange(link, Request(kCallExit).word(status), 4);
    if (r.length() != 4)
        malformed("_exit reply is not the header alone");
    return 0;
}

int32_t dup2(Link &link, int32_t from, int32_t to) { return simple(link, Request(kCallDup2).word(from).word(to)); }
int32_t peerpipe(Link &link, int port) { return simple(link, Request(kCallPeerpipe).word(port)); }
int32_t setpgid(Link &link, int32_t pid, int32_t group) { return simple(link, Request(kCallSetpgid).word(pid).word(group)); }
int32_t setsid(Link &link) { return simple(link, Request(kCallSetsid)); }
int32_t getpgrp(Link &link) { return simple(link, Request(kCallGetpgrp)); }
int32_t getpid(Link &link) { return simple(link, Request(kCallGetpid)); }
int32_t getppid(Link &link) { return simple(link, Request(kCallGetppid)); }

} // namespace hostlink
