#include "client/files_api.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace hostlink {

namespace {

void expect(const Reply &r, int call, int minLength)
{
    if (r.call() != call || r.length() < minLength)
        throw LinkError("malformed reply to call " + std::to_string(call));
}

// Result word of a 12-byte reply; sets errno when it is failure.
int32_t simple(Link &link, const Request &req, int32_t failure = -1)
{
    const Reply &r = link.exchange(req);
    expect(r, req.call(), 12);
    int32_t result = r.word(1);
    if (result == failure || (failure < 0 && result < 0))
        errno = LocalErrno(r.word(2));
    return result;
}

int32_t statCall(Link &link, const Request &req, FileStatus *status)
{
    Reply r = link.call(req);
    expect(r, req.call(), 52);
    int32_t result = r.word(1);
    if (result < 0) {
        errno = LocalErrno(r.word(2));
        return result;
    }
    if (status) {
        int32_t *w = &status->mode;
        for (int i = 0; i < 10; i++)
            w[i] = r.word(3 + i);
    }
    return result;
}

// The NUL-terminated string from byte 12 of a reply; the reply must hold its NUL.
std::string replyString(const Reply &r)
{
    std::string_view d = r.data(12);
    size_t nul = d.find('\0');
    if (nul == std::string_view::npos)
        throw LinkError("reply string without its end");
    return std::string(d.substr(0, nul));
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

} // namespace

int LocalErrno(int32_t wireError) { return wire::LocalErrno(wireError); }

int32_t open(Link &link, std::string_view path, int32_t flags, int32_t mode)
{
    Request req(1);
    req.word(flags).word(mode).str(path);
    return simple(link, req);
}

int32_t read(Link &link, int32_t fd, void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(2);
    req.word(fd).word(n);
    link.send(req);
    // The data go straight into the caller's buffer; the reply's rounding is dropped.
    thread_local Reply r;
    size_t got = link.receive(r, 12, static_cast<char *>(buffer), static_cast<size_t>(n));
    expect(r, 2, 12);
    int32_t result = r.word(1);
    if (result < 0) {
        errno = LocalErrno(r.word(2));
        return result;
    }
    if (result > n || static_cast<size_t>(result) > got)
        throw LinkError("read reply carries fewer bytes than it claims");
    return result;
}

int32_t write(Link &link, int32_t fd, const void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(3);
    req.word(fd).word(n).borrow(std::string_view(static_cast<const char *>(buffer), static_cast<size_t>(n)));
    return simple(link, req);
}

int32_t lseek(Link &link, int32_t fd, int32_t offset, int32_t whence)
{
    Request req(5);
    req.word(fd).word(offset).word(whence);
    return simple(link, req);
}

int32_t close(Link &link, int32_t fd)
{
    Request req(6);
    req.word(fd);
    return simple(link, req);
}

uint32_t opendir(Link &link, std::string_view path)
{
    return static_cast<uint32_t>(simple(link, pathRequest(7, path), 0));
}

std::optional<std::string> readdir(Link &link, uint32_t handle)
{
    Request req(8);
    req.word(static_cast<int32_t>(handle));
    Reply r = link.call(req);
    expect(r, 8, 12);
    if (r.word(1) < 0) {
        errno = LocalErrno(r.word(2));
        return std::nullopt;
    }
    return replyString(r);
}

void rewinddir(Link &link, uint32_t handle)
{
    Request req(9);
    req.word(static_cast<int32_t>(handle));
    simple(link, req);
}

int32_t closedir(Link &link, uint32_t handle)
{
    Request req(10);
    req.word(static_cast<int32_t>(handle));
    return simple(link, req);
}

int32_t access(Link &link, std::string_view path, int32_t mode) { return simple(link, modePathRequest(17, mode, path)); }

int32_t stat(Link &link, std::string_view path, FileStatus *status)
{
    return statCall(link, pathRequest(18, path), status);
}

int32_t lstat(Link &link, std::string_view path, FileStatus *status)
{
    return statCall(link, pathRequest(32, path), status);
}

int32_t fstat(Link &link, int32_t fd, FileStatus *status)
{
    Request req(34);
    req.word(fd);
    return statCall(link, req, status);
}

int32_t link(Link &l, std::string_view existing, std::string_view newpath)
{
    Request req(19);
    req.str(existing).str(newpath);
    return simple(l, req);
}

int32_t symlink(Link &link, std::string_view text, std::string_view newpath)
{
    Request req(31);
    req.str(text).str(newpath);
    return simple(link, req);
}

int32_t unlink(Link &link, std::string_view path) { return simple(link, pathRequest(20, path)); }
int32_t mkdir(Link &link, std::string_view path, int32_t mode) { return simple(link, modePathRequest(21, mode, path)); }
int32_t rmdir(Link &link, std::string_view path) { return simple(link, pathRequest(22, path)); }
int32_t chmod(Link &link, std::string_view path, int32_t mode) { return simple(link, modePathRequest(24, mode, path)); }
int32_t chdir(Link &link, std::string_view path) { return simple(link, pathRequest(26, path)); }

std::optional<std::string> getcwd(Link &link)
{
    Reply r = link.call(Request(25));
    expect(r, 25, 12);
    if (r.word(1) == 0) {
        errno = LocalErrno(r.word(2));
        return std::nullopt;
    }
    return replyString(r);
}

std::optional<std::string> readlink(Link &link, std::string_view path)
{
    Reply r = link.call(pathRequest(33, path));
    expect(r, 33, 12);
    int32_t n = r.word(1);
    if (n < 0) {
        errno = LocalErrno(r.word(2));
        return std::nullopt;
    }
    if (12 + n > r.length())
        throw LinkError("readlink reply carries fewer bytes than it claims");
    return std::string(r.data(12).substr(0, static_cast<size_t>(n)));
}

} // namespace hostlink
