// The preloaded library's side of the agent connection: requests built in place, replies read
// straight into the caller's memory, several requests sent before their replies are read. No
// allocation and no exceptions, since it runs inside any program.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include "common/wire.h"

namespace hostrun {

constexpr int kMaxMessage = wire::MAX_MESSAGE;
constexpr int kMaxData = wire::MAX_DATA;

// The calls the preload makes, by the short names it uses; the numbers are the vocabulary's.
enum Call : int {
    kOpen = wire::CALL_OPEN,
    kRead = wire::CALL_READ,
    kWrite = wire::CALL_WRITE,
    kLseek = wire::CALL_LSEEK,
    kClose = wire::CALL_CLOSE,
    kOpendir = wire::CALL_OPENDIR,
    kReaddir = wire::CALL_READDIR,
    kClosedir = wire::CALL_CLOSEDIR,
    kGetenv = wire::CALL_GETENV,
    kGetuid = wire::CALL_GETUID,
    kGetgid = wire::CALL_GETGID,
    kGeteuid = wire::CALL_GETEUID,
    kGetegid = wire::CALL_GETEGID,
    kAccess = wire::CALL_ACCESS,
    kStat = wire::CALL_STAT,
    kLink = wire::CALL_LINK,
    kUnlink = wire::CALL_UNLINK,
    kMkdir = wire::CALL_MKDIR,
    kRmdir = wire::CALL_RMDIR,
    kChmod = wire::CALL_CHMOD,
    kGetcwd = wire::CALL_GETCWD,
    kGetlogin = wire::CALL_GETLOGIN,
    kGethostname = wire::CALL_GETHOSTNAME,
    kSymlink = wire::CALL_SYMLINK,
    kLstat = wire::CALL_LSTAT,
    kReadlink = wire::CALL_READLINK,
    kFstat = wire::CALL_FSTAT,
    kFork = wire::CALL_FORK,
    kExecvp = wire::CALL_EXECVP,
    kExit = wire::CALL_EXIT,
    kDup2 = wire::CALL_DUP2,
    kPeerpipe = wire::CALL_PEERPIPE,
    // Extension calls, offered by an agent started with its extension option.
    kRename = wire::CALL_RENAME,
    kTruncate = wire::CALL_TRUNCATE,
    kFtruncate = wire::CALL_FTRUNCATE,
    kUtimens = wire::CALL_UTIMENS,
    kLchown = wire::CALL_LCHOWN,
    kStatvfs = wire::CALL_STATVFS,
    kPread64 = wire::CALL_PREAD64,
    kPwrite64 = wire::CALL_PWRITE64,
    kStat64 = wire::CALL_STAT64,
    kLstat64 = wire::CALL_LSTAT64,
    kFstat64 = wire::CALL_FSTAT64,
    kReaddirplus = wire::CALL_READDIRPLUS,
    kFsync = wire::CALL_FSYNC,
};

// This machine's errno value for a wire error number (EIO for one the wire does not use).
int LocalErrno(int32_t wire);
// Wire flags of an open for host flags; bits the wire cannot carry are dropped.
int32_t WireOpenFlags(int flags);

// One request, built in a caller-provided buffer of kMaxMessage bytes.
class Message {
public:
    Message(char *buffer, int call, size_t capacity = kMaxMessage) : b_(buffer), cap_(capacity)
    {
        b_[2] = static_cast<char>(call), b_[3] = 0;
    }
    Message &word(int32_t v);
    Message &word64(int64_t v) { return word(static_cast<int32_t>(static_cast<uint64_t>(v) >> 32)).word(static_cast<int32_t>(v)); }
    // A string with its NUL; marks the message bad when it does not fit.
    Message &str(const char *s);
    size_t size() const { return n_; }
    bool ok() const { return ok_; }
    const char *finish(); // sets the length field

private:
    char *b_;
    size_t cap_;
    size_t n_ = 4;
    bool ok_ = true;
};

// The connection, in this machine's byte order (the runner made the handshake so).
class Wire {
public:
    void attach(int fd) { fd_ = fd; }
    int fd() const { return fd_; }
    bool send(const void *data, size_t n);
    // Header and words of a write request, then its data, in one system call.
    bool send2(const void *head, size_t n1, const void *data, size_t n2);
    // One reply to call: up to headMax bytes (header included) into head, what follows into
    // tail up to tailMax bytes (the rest is read and dropped). *length gets the reply length,
    // *tailGot the bytes put in tail. False when the link broke or the reply does not fit.
    bool receive(int call, char *head, int headMax, int *length, char *tail = nullptr, size_t tailMax = 0,
                 size_t *tailGot = nullptr);

private:
    int fd_ = -1;
};

inline int32_t Word(const char *reply, int n)
{
    int32_t v;
    __builtin_memcpy(&v, reply + 4 * n, 4);
    return v;
}

// A stat record of the wire (words 3 to 12) as this machine's struct stat.
void FillStat(const char *reply, struct stat *st);

// The 24-word status record of the extension calls, starting at rec, as this machine's struct stat.
void FillStat64(const char *rec, struct stat *st);
// A 64-bit value as the extension calls carry it: high word, then low word.
inline int64_t Word64(const char *reply, int n)
{
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(Word(reply, n))) << 32) |
                                static_cast<uint32_t>(Word(reply, n + 1)));
}

} // namespace hostrun
