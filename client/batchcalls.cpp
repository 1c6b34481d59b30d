// The typed requests of a batch: one per remote call, each with its decoder.
#include <hostlink/batch.h>
#include <hostlink/calls.h>
#include <hostlink/ext.h>

#include <cerrno>

#include "client/batchslot.h"
#include "client/callnumbers.h"

namespace hostlink {

using Kind = LinkError::Kind;

namespace {

// The result word, with the local errno when it is the failure value.
void fillResult(const Reply &r, Result &res, int32_t failure = -1)
{
    res.value = r.word(1);
    if (res.value == failure || (failure < 0 && res.value < 0))
        res.error = localErrno(r.word(2));
}

void simpleDecoder(const Reply &r, Result &res) { fillResult(r, res); }

void statusDecoder(const Reply &r, Result &res)
{
    fillResult(r, res);
    if (res.value >= 0)
        decodeStatus(r, 3, &res.status);
}

void idDecoder(const Reply &r, Result &res) { res.value = r.word(1); }

// The answered slot of a request refused before it was sent.
std::shared_ptr<detail::Slot> refusedSlot(int error)
{
    auto slot = std::make_shared<detail::Slot>();
    slot->result.value = -1;
    slot->result.error = error;
    slot->done = true;
    return slot;
}

} // namespace

// A request refused before sending still takes its place in the order: it is answered at once,
// with the errno the check left.
#define HOSTLINK_REFUSE_UNLESS(fitting)                                                                                \
    if (!(fitting))                                                                                                    \
        return Pending(this, refusedSlot(errno));
#define HOSTLINK_REFUSE_UNLESS_FITS(path, room) HOSTLINK_REFUSE_UNLESS(detail::fits(path, room))

constexpr size_t kPathRoom = kMaxMessage - 12;

Pending Batch::open(std::string_view path, int32_t flags, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(Request(kCallOpen).word(flags).word(mode).str(path), simpleDecoder);
}

Pending Batch::read(int32_t fd, void *buffer, size_t count, bool mayBlock)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    SubmitOptions o;
    o.barrier = mayBlock;
    o.into = static_cast<char *>(buffer);
    o.intoSize = static_cast<size_t>(n);
    o.head = 12;
    return submit(Request(kCallRead).word(fd).word(n),
                  [n](const Reply &r, Result &res) {
                      fillResult(r, res);
                      if (res.value >= 0 && (res.value > n || static_cast<size_t>(res.value) > res.bytes))
                          throw LinkError(Kind::Malformed, "read reply carries fewer bytes than it claims");
                  },
                  std::move(o));
}

Pending Batch::write(int32_t fd, const void *buffer, size_t count)
{
    int32_t n = count > static_cast<size_t>(kMaxData) ? kMaxData : static_cast<int32_t>(count);
    Request req(kCallWrite);
    req.word(fd).word(n).borrow(std::string_view(static_cast<const char *>(buffer), static_cast<size_t>(n)));
    return submit(req, simpleDecoder); // encoded (copied) at once
}

Pending Batch::lseek(int32_t fd, int32_t offset, int32_t whence)
{
    return submit(Request(kCallLseek).word(fd).word(offset).word(whence), simpleDecoder);
}
Pending Batch::close(int32_t fd) { return submit(Request(kCallClose).word(fd), simpleDecoder); }

Pending Batch::opendir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallOpendir, path), [](const Reply &r, Result &res) { fillResult(r, res, 0); });
}

Pending Batch::readdir(uint32_t handle)
{
    return submit(Request(kCallReaddir).word(static_cast<int32_t>(handle)), [](const Reply &r, Result &res) {
        int saved = errno;
        res.value = decodeReaddir(r, &res.text);
        if (res.value < 0)
            res.error = errno;
        errno = saved;
    });
}

Pending Batch::rewinddir(uint32_t handle)
{
    return submit(Request(kCallRewinddir).word(static_cast<int32_t>(handle)),
                  [](const Reply &, Result &res) { res.value = 0; });
}
Pending Batch::closedir(uint32_t handle)
{
    return submit(Request(kCallClosedir).word(static_cast<int32_t>(handle)), simpleDecoder);
}

Pending Batch::access(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallAccess, mode, path), simpleDecoder);
}
Pending Batch::stat(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallStat, path), statusDecoder);
}
Pending Batch::lstat(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallLstat, path), statusDecoder);
}
Pending Batch::fstat(int32_t fd) { return submit(Request(kCallFstat).word(fd), statusDecoder); }

Pending Batch::link(std::string_view existing, std::string_view newpath)
{
    HOSTLINK_REFUSE_UNLESS_FITS(existing, kPathRoom / 2)
    HOSTLINK_REFUSE_UNLESS_FITS(newpath, kPathRoom / 2)
    return submit(detail::twoPathRequest(kCallLink, existing, newpath), simpleDecoder);
}
Pending Batch::symlink(std::string_view text, std::string_view newpath)
{
    HOSTLINK_REFUSE_UNLESS_FITS(text, kPathRoom / 2)
    HOSTLINK_REFUSE_UNLESS_FITS(newpath, kPathRoom / 2)
    return submit(detail::twoPathRequest(kCallSymlink, text, newpath), simpleDecoder);
}
Pending Batch::unlink(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallUnlink, path), simpleDecoder);
}
Pending Batch::mkdir(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallMkdir, mode, path), simpleDecoder);
}
Pending Batch::rmdir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallRmdir, path), simpleDecoder);
}
Pending Batch::chmod(std::string_view path, int32_t mode)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::modePathRequest(kCallChmod, mode, path), simpleDecoder);
}
Pending Batch::chdir(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, kPathRoom)
    return submit(detail::pathRequest(kCallChdir, path), simpleDecoder);
}

Pending Batch::getcwd()
{
    return submit(Request(kCallGetcwd), [](const Reply &r, Result &res) {
        fillResult(r, res, 0);
        if (res.value != 0) {
            res.text = decodeString(r, 12);
            res.value = 0;
        } else
            res.value = -1;
    });
}

Pending Batch::readlink(std::string_view path)
{
    HOSTLINK_REFUSE_UNLESS_FITS(path, 1024)
    return submit(detail::pathRequest(kCallReadlink, path), [](const Reply &r, Result &res) {
        int saved = errno;
        res.value = decodeReadlink(r, &res.text);
        if (res.value < 0)
            res.error = errno;
        errno = saved;
    });
}

Pending Batch::getenv()
{
    return submit(Request(kCallGetenv), [](const Reply &r, Result &res) {
        std::vector<std::string> entries = decodeEnvironment(r);
        for (const std::string &entry : entries) {
            res.text += entry;
            res.text.push_back('\0');
        }
        res.value = lastExtensionCall(entries);
    });
}
Pending Batch::getlogin()
{
    return submit(Request(kCallGetlogin), [](const Reply &r, Result &res) {
        if (r.length() < 68 || r.raw.size() < 68)
            throw LinkError(Kind::Malformed, "getlogin reply too short");
        res.text = detail::nameField(r);
        res.value = res.text.empty() ? -1 : 0;
        res.error = res.text.empty() ? ENXIO : 0;
    });
}
Pending Batch::getuid() { return submit(Request(kCallGetuid), idDecoder); }
Pending Batch::getgid() { return submit(Request(kCallGetgid), idDecoder); }
Pending Batch::geteuid() { return submit(Request(kCallGeteuid), idDecoder); }
Pending Batch::getegid() { return submit(Request(kCallGetegid), idDecoder); }
Pending Batch::getpid() { return submit(Request(kCallGetpid), simpleDecoder); }
Pending Batch::getppid() { return submit(Request(kCallGetppid), simpleDecoder); }
Pending Batch::getpgrp() { return submit(Request(kCallGetpgrp), simpleDecoder); }
Pending Batch::setpgid(int32_t pid, int32_t group)
{
    return submit(Request(kCallSetpgid).word(pid).word(group), simpleDecoder);
}
Pending Batch::setsid() { return submit(Request(kCallSetsid), simpleDecoder); }
Pending Batch::dup2(int32_t from, int32_t to) { return submit(Request(kCallDup2).word(from).word(to), simpleDecoder); }
Pending Batch::peerpipe(int port) { return submit(Request(kCallPeerpipe).word(port), simpleDecoder); }

namespace {
SubmitOptions barrier()
{
    SubmitOptions o;
    o.barrier = true;
    return o;
}
} // namespace

#define HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(first, a, b, room) HOSTLINK_REFUSE_UNLESS(detail::fitsAll(first, a, b, room))

Pending Batch::fork() { return submit(Request(kCallFork), simpleDecoder, barrier()); }

Pending Batch::execve(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(path, argv, env, kMaxMessage - 12)
    return submit(detail::vectorRequest(kCallExecve, path, argv, &env), simpleDecoder, barrier());
}

Pending Batch::execvp(const std::string &name, const std::vector<std::string> &argv)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(name, argv, {}, kMaxMessage - 8)
    return submit(detail::vectorRequest(kCallExecvp, name, argv, nullptr), simpleDecoder, barrier());
}

Pending Batch::_exit(int32_t status)
{
    return submit(Request(kCallExit).word(status),
                  [](const Reply &r, Result &res) {
                      if (r.length() != 4)
                          throw LinkError(Kind::Malformed, "_exit reply is not the header alone");
                      res.value = 0;
                  },
                  barrier());
}

Pending Batch::forkNExec(const std::string &path, const std::vector<std::string> &argv)
{
    HOSTLINK_REFUSE_UNLESS_VECTORS_FIT(path, argv, {}, kMaxMessage - 8)
    return submit(detail::vectorRequest(kCallForkNExec, path, argv, nullptr), simpleDecoder, barrier());
}

} // namespace hostlink
