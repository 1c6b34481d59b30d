// The wire vocabulary shared by the agent and every terminal-side program: call numbers and
// their trace names, message limits, the connection's magic and version, the open-flag and
// access bits, and the wire error numbers. Standard headers only.
// A guard macro rather than #pragma once: the file is also copied as <hostlink/wire.h>, and a
// program may see both copies.
#ifndef HOSTLINK_WIRE_H
#define HOSTLINK_WIRE_H
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace wire {

// Call numbers. Every request and its reply carry one in the third header byte.
enum Call : int {
    CALL_CONNECTION = 0,
    CALL_OPEN = 1,
    CALL_READ = 2,
    CALL_WRITE = 3,
    CALL_NONE = 4, // never a call: the agent ends the service on it
    CALL_LSEEK = 5,
    CALL_CLOSE = 6,
    CALL_OPENDIR = 7,
    CALL_READDIR = 8,
    CALL_REWINDDIR = 9,
    CALL_CLOSEDIR = 10,
    CALL_GETENV = 11,
    CALL_GETTIMEOFDAY = 12,
    CALL_GETUID = 13,
    CALL_GETGID = 14,
    CALL_GETEUID = 15,
    CALL_GETEGID = 16,
    CALL_ACCESS = 17,
    CALL_STAT = 18,
    CALL_LINK = 19,
    CALL_UNLINK = 20,
    CALL_MKDIR = 21,
    CALL_RMDIR = 22,
    CALL_FORKNEXEC = 23,
    CALL_CHMOD = 24,
    CALL_GETCWD = 25,
    CALL_CHDIR = 26,
    CALL_GETLOGIN = 27,
    CALL_GETHOSTNAME = 28,
    CALL_GETHOSTBYNAME = 29,
    CALL_GETHOSTBYADDR = 30,
    CALL_SYMLINK = 31,
    CALL_LSTAT = 32,
    CALL_READLINK = 33,
    CALL_FSTAT = 34,
    CALL_SETENV = 35,
    CALL_FORK = 36,
    CALL_EXECVE = 37,
    CALL_EXECVP = 38,
    CALL_EXIT = 39,
    CALL_DUP2 = 40,
    CALL_GETSERVBYNAME = 41,
    CALL_PEERPIPE = 42,
    CALL_SETPGID = 43,
    CALL_SETSID = 44,
    CALL_GETPGRP = 45,
    CALL_GETPID = 46,
    CALL_GETPPID = 47,
    // Extension calls, served only when the agent is started with the option that enables them.
    CALL_AUTH = 48,
    CALL_RENAME = 49,
    CALL_TRUNCATE = 50,
    CALL_FTRUNCATE = 51,
    CALL_UTIMENS = 52,
    CALL_LCHOWN = 53,
    CALL_MKNOD = 54,
    CALL_STATVFS = 55,
    CALL_PREAD64 = 56,
    CALL_PWRITE64 = 57,
    CALL_STAT64 = 58,
    CALL_LSTAT64 = 59,
    CALL_FSTAT64 = 60,
    CALL_READDIRPLUS = 61,
    CALL_FSYNC = 62,
    CALL_UMASK = 63,
    CALL_OPENREAD = 64,
    CALL_OPENWRITE = 65,
};

constexpr int NUM_CALLS = 48;      // the standard calls, 0 to 47
constexpr int NUM_NAMED_CALLS = 66; // standard and extension calls with a name below
constexpr int MAX_CALLS = 256;     // the call field is one byte

// Trace names, indexed by call number; null for 4.
constexpr std::array<const char *, NUM_NAMED_CALLS> CALL_NAMES = {
    "Connection", "open",        "read",          "write",       nullptr,       "lseek",      "close",
    "opendir",    "readdir",     "rewinddir",     "closedir",    "getenv",      "gettimeofday", "getuid",
    "getgid",     "geteuid",     "getegid",       "access",      "stat",        "link",       "unlink",
    "mkdir",      "rmdir",       "ForkNExec",     "chmod",       "getcwd",      "chdir",      "getlogin",
    "gethostname", "gethostbyname", "gethostbyaddr", "symlink",  "lstat",       "readlink",   "fstat",
    "setenv",     "fork",        "execve",        "execvp",      "_exit",       "dup2",       "getservbyname",
    "peerpipe",   "setpgid",     "setsid",        "getpgrp",     "getpid",      "getppid",    "auth",
    "rename",     "truncate",    "ftruncate",     "utimens",     "lchown",      "mknod",      "statvfs",
    "pread64",    "pwrite64",    "stat64",        "lstat64",     "fstat64",     "readdirplus", "fsync",
    "umask",      "openread",    "openwrite",
};

// The trace name of a call, or null for 4 and for numbers without a name.
constexpr const char *CallName(int call)
{
    return call >= 0 && call < NUM_NAMED_CALLS ? CALL_NAMES[static_cast<size_t>(call)] : nullptr;
}

// Message limits: a message (header included) is at most MAX_MESSAGE bytes; the data of a
// read, write or readlink behind a 12-byte reply or request head at most MAX_DATA.
constexpr int MAX_MESSAGE = 65520;
constexpr int MAX_DATA = MAX_MESSAGE - 12;
constexpr int HEADER_SIZE = 4;

// The connection request carries the magic and the version; a peer that reads the magic
// byte-swapped speaks the other byte order.
constexpr uint32_t PROTOCOL_MAGIC = 0x2ed76d19;
constexpr int32_t PROTOCOL_VERSION = 1;

// Open flags as the wire carries them.
constexpr int32_t WIRE_O_RDONLY = 0;
constexpr int32_t WIRE_O_WRONLY = 1;
constexpr int32_t WIRE_O_RDWR = 2;
constexpr int32_t WIRE_O_ACCMODE = 3;
constexpr int32_t WIRE_O_CREAT = 0x200;
constexpr int32_t WIRE_O_TRUNC = 0x400;
constexpr int32_t WIRE_O_EXCL = 0x800;
constexpr int32_t WIRE_O_APPEND = 0x1000;
constexpr int32_t WIRE_O_NONBLOCK = 0x2000;

// Access modes as the wire carries them.
constexpr int32_t WIRE_F_OK = 0;
constexpr int32_t WIRE_R_OK = 1;
constexpr int32_t WIRE_W_OK = 2;
constexpr int32_t WIRE_X_OK = 4;

// Wire error numbers by host error name. Wire numbers run from 1 to 73 without 67; a host
// error without a row travels as EINVAL (22), and a wire number without a row is read as EIO.
struct ErrorRow {
    int host;
    int wire;
};

constexpr ErrorRow ERROR_ROWS[] = {
    {EPERM, 1},         {ENOENT, 2},          {ESRCH, 3},            {EINTR, 4},            {EIO, 5},
    {ENXIO, 6},         {E2BIG, 7},           {ENOEXEC, 8},          {EBADF, 9},            {ECHILD, 10},
    {EAGAIN, 11},       {ENOMEM, 12},         {EACCES, 13},          {EFAULT, 14},          {ENOTBLK, 15},
    {EBUSY, 16},        {EEXIST, 17},         {EXDEV, 18},           {ENODEV, 19},          {ENOTDIR, 20},
    {EISDIR, 21},       {EINVAL, 22},         {ENFILE, 23},          {EMFILE, 24},          {ENOTTY, 25},
    {ETXTBSY, 26},      {EFBIG, 27},          {ENOSPC, 28},          {ESPIPE, 29},          {EROFS, 30},
    {EMLINK, 31},       {EPIPE, 32},          {EDOM, 33},            {ERANGE, 34},          {EDEADLK, 35},
    {EINPROGRESS, 36},  {EALREADY, 37},       {ENOTSOCK, 38},        {EDESTADDRREQ, 39},    {EMSGSIZE, 40},
    {EPROTOTYPE, 41},   {ENOPROTOOPT, 42},    {EPROTONOSUPPORT, 43}, {ESOCKTNOSUPPORT, 44}, {EOPNOTSUPP, 45},
    {EPFNOSUPPORT, 46}, {EAFNOSUPPORT, 47},   {EADDRINUSE, 48},      {EADDRNOTAVAIL, 49},   {ENETDOWN, 50},
    {ENETUNREACH, 51},  {ENETRESET, 52},      {ECONNABORTED, 53},    {ECONNRESET, 54},      {ENOBUFS, 55},
    {EISCONN, 56},      {ENOTCONN, 57},       {ESHUTDOWN, 58},       {ETOOMANYREFS, 59},    {ETIMEDOUT, 60},
    {ECONNREFUSED, 61}, {ELOOP, 62},          {ENAMETOOLONG, 63},    {EHOSTDOWN, 64},       {EHOSTUNREACH, 65},
    {ENOTEMPTY, 66},    {EUSERS, 68},         {EDQUOT, 69},          {ENOLCK, 70},          {ENOSYS, 71},
    {ENOMSG, 72},       {EIDRM, 73},
};

constexpr int WIRE_EINVAL = 22;    // also what a host error without a row travels as
constexpr int MAX_WIRE_ERROR = 73;
constexpr int HOST_ERROR_LIMIT = 256; // host error numbers in the table lie below this

namespace detail {

constexpr std::array<int, HOST_ERROR_LIMIT> MakeToWire()
{
    std::array<int, HOST_ERROR_LIMIT> t{};
    for (int &e : t)
        e = WIRE_EINVAL;
    for (const ErrorRow &r : ERROR_ROWS) {
        // A host that gives two names one number (EWOULDBLOCK, ENOTSUP) keeps the first row.
        if (r.host > 0 && r.host < HOST_ERROR_LIMIT && t[static_cast<size_t>(r.host)] == WIRE_EINVAL)
            t[static_cast<size_t>(r.host)] = r.wire;
    }
    return t;
}

constexpr std::array<int, MAX_WIRE_ERROR + 1> MakeToHost()
{
    std::array<int, MAX_WIRE_ERROR + 1> t{};
    for (int &e : t)
        e = EIO;
    for (const ErrorRow &r : ERROR_ROWS)
        t[static_cast<size_t>(r.wire)] = r.host;
    return t;
}

constexpr std::array<int, HOST_ERROR_LIMIT> TO_WIRE = MakeToWire();
constexpr std::array<int, MAX_WIRE_ERROR + 1> TO_HOST = MakeToHost();

constexpr bool RowsFit()
{
    for (const ErrorRow &r : ERROR_ROWS)
        if (r.host <= 0 || r.host >= HOST_ERROR_LIMIT || r.wire <= 0 || r.wire == 67 || r.wire > MAX_WIRE_ERROR)
            return false;
    return true;
}

constexpr bool RowsRoundTrip()
{
    for (const ErrorRow &r : ERROR_ROWS)
        if (TO_WIRE[static_cast<size_t>(r.host)] != r.wire || TO_HOST[static_cast<size_t>(r.wire)] != r.host)
            return false;
    return true;
}

static_assert(RowsFit(), "an error row lies outside the host or wire range");
static_assert(RowsRoundTrip(), "two error rows share a host or a wire number");

} // namespace detail

// The wire error number for a host error number: EINVAL's for 0, for host errors without a
// row and for numbers outside the table.
constexpr int WireErrno(int host)
{
    return host > 0 && host < HOST_ERROR_LIMIT ? detail::TO_WIRE[static_cast<size_t>(host)] : WIRE_EINVAL;
}

// This machine's error number for a wire error number: EIO for a number the wire does not use.
constexpr int LocalErrno(int32_t wireError)
{
    return wireError > 0 && wireError <= MAX_WIRE_ERROR ? detail::TO_HOST[static_cast<size_t>(wireError)] : EIO;
}

static_assert(WireErrno(0) == WIRE_EINVAL && LocalErrno(67) == EIO && LocalErrno(0) == EIO);

} // namespace wire

#endif // HOSTLINK_WIRE_H
