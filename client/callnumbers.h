// The call numbers and shared request builders of the library's own sources.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/link.h>

namespace hostlink {

enum CallNumber : int {
    kCallOpen = 1, kCallRead = 2, kCallWrite = 3, kCallLseek = 5, kCallClose = 6, kCallOpendir = 7,
    kCallReaddir = 8, kCallRewinddir = 9, kCallClosedir = 10, kCallGetenv = 11, kCallGettimeofday = 12,
    kCallGetuid = 13, kCallGetgid = 14, kCallGeteuid = 15, kCallGetegid = 16, kCallAccess = 17,
    kCallStat = 18, kCallLink = 19, kCallUnlink = 20, kCallMkdir = 21, kCallRmdir = 22,
    kCallForkNExec = 23, kCallChmod = 24, kCallGetcwd = 25, kCallChdir = 26, kCallGetlogin = 27,
    kCallGethostname = 28, kCallGethostbyname = 29, kCallGethostbyaddr = 30, kCallSymlink = 31,
    kCallLstat = 32, kCallReadlink = 33, kCallFstat = 34, kCallSetenv = 35, kCallFork = 36,
    kCallExecve = 37, kCallExecvp = 38, kCallExit = 39, kCallDup2 = 40, kCallGetservbyname = 41,
    kCallPeerpipe = 42, kCallSetpgid = 43, kCallSetsid = 44, kCallGetpgrp = 45, kCallGetpid = 46,
    kCallGetppid = 47,
};

// Appends req as the wire carries it in the given byte order.
void encodeRequest(const Request &req, bool swapped, std::string *out);

// Readdir and readlink replies, shared by the typed calls and the batch.
int decodeReaddir(const Reply &r, std::string *name);
int32_t decodeReadlink(const Reply &r, std::string *text);

namespace detail {
// False with errno EINVAL (a NUL inside) or ENAMETOOLONG (room or more bytes).
bool fits(std::string_view s, size_t room);
bool fitsAll(const std::string &first, const std::vector<std::string> &a, const std::vector<std::string> &b, size_t room);
Request pathRequest(int call, std::string_view path);
Request modePathRequest(int call, int32_t mode, std::string_view path);
Request twoPathRequest(int call, std::string_view a, std::string_view b);
Request vectorRequest(int call, const std::string &first, const std::vector<std::string> &argv,
                      const std::vector<std::string> *env);
} // namespace detail

} // namespace hostlink
