// The call numbers and shared request builders of the library's own sources.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/link.h>

namespace hostlink {

enum CallNumber : int {
    kCallOpen = wire::CALL_OPEN,
    kCallRead = wire::CALL_READ,
    kCallWrite = wire::CALL_WRITE,
    kCallLseek = wire::CALL_LSEEK,
    kCallClose = wire::CALL_CLOSE,
    kCallOpendir = wire::CALL_OPENDIR,
    kCallReaddir = wire::CALL_READDIR,
    kCallRewinddir = wire::CALL_REWINDDIR,
    kCallClosedir = wire::CALL_CLOSEDIR,
    kCallGetenv = wire::CALL_GETENV,
    kCallGettimeofday = wire::CALL_GETTIMEOFDAY,
    kCallGetuid = wire::CALL_GETUID,
    kCallGetgid = wire::CALL_GETGID,
    kCallGeteuid = wire::CALL_GETEUID,
    kCallGetegid = wire::CALL_GETEGID,
    kCallAccess = wire::CALL_ACCESS,
    kCallStat = wire::CALL_STAT,
    kCallLink = wire::CALL_LINK,
    kCallUnlink = wire::CALL_UNLINK,
    kCallMkdir = wire::CALL_MKDIR,
    kCallRmdir = wire::CALL_RMDIR,
    kCallForkNExec = wire::CALL_FORKNEXEC,
    kCallChmod = wire::CALL_CHMOD,
    kCallGetcwd = wire::CALL_GETCWD,
    kCallChdir = wire::CALL_CHDIR,
    kCallGetlogin = wire::CALL_GETLOGIN,
    kCallGethostname = wire::CALL_GETHOSTNAME,
    kCallGethostbyname = wire::CALL_GETHOSTBYNAME,
    kCallGethostbyaddr = wire::CALL_GETHOSTBYADDR,
    kCallSymlink = wire::CALL_SYMLINK,
    kCallLstat = wire::CALL_LSTAT,
    kCallReadlink = wire::CALL_READLINK,
    kCallFstat = wire::CALL_FSTAT,
    kCallSetenv = wire::CALL_SETENV,
    kCallFork = wire::CALL_FORK,
    kCallExecve = wire::CALL_EXECVE,
    kCallExecvp = wire::CALL_EXECVP,
    kCallExit = wire::CALL_EXIT,
    kCallDup2 = wire::CALL_DUP2,
    kCallGetservbyname = wire::CALL_GETSERVBYNAME,
    kCallPeerpipe = wire::CALL_PEERPIPE,
    kCallSetpgid = wire::CALL_SETPGID,
    kCallSetsid = wire::CALL_SETSID,
    kCallGetpgrp = wire::CALL_GETPGRP,
    kCallGetpid = wire::CALL_GETPID,
    kCallGetppid = wire::CALL_GETPPID,
};

// Appends req as the wire carries it in the given byte order.
void encodeRequest(const Request &req, bool swapped, std::string *out);

namespace detail {
// False with errno EINVAL (a NUL inside) or ENAMETOOLONG (room or more bytes).
bool fits(std::string_view s, size_t room);
bool fitsAll(const std::string &first, const std::vector<std::string> &a, const std::vector<std::string> &b, size_t room);
Request pathRequest(int call, std::string_view path);
Request modePathRequest(int call, int32_t mode, std::string_view path);
Request twoPathRequest(int call, std::string_view a, std::string_view b);
Request vectorRequest(int call, const std::string &first, const std::vector<std::string> &argv,
                      const std::vector<std::string> *env);
// Writes all of p to a local descriptor, again after an interruption; false on a failure.
bool writeAllLocal(int fd, const char *p, size_t n);
// The name in the 64-byte field of a getlogin or gethostname reply (of at least 68 bytes).
std::string nameField(const Reply &r);
} // namespace detail

} // namespace hostlink
