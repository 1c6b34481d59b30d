// Typed calls: one request, one reply, each named after the C library function it performs on
// the host.
//
// Every call returns its C-like result; where the host reports a failure it returns the call's
// failure value (-1, or 0 for opendir) and leaves this machine's errno value in errno. Strings
// that cannot travel (a NUL inside, longer than a message) fail with EINVAL or ENAMETOOLONG
// before anything is sent. A fault of the connection raises LinkError.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/link.h>

namespace hostlink {

// Open flags as the wire carries them.
constexpr int32_t kOpenRead = wire::WIRE_O_RDONLY;
constexpr int32_t kOpenWrite = wire::WIRE_O_WRONLY;
constexpr int32_t kOpenReadWrite = wire::WIRE_O_RDWR;
constexpr int32_t kOpenCreate = wire::WIRE_O_CREAT;
constexpr int32_t kOpenTruncate = wire::WIRE_O_TRUNC;
constexpr int32_t kOpenExclusive = wire::WIRE_O_EXCL;
constexpr int32_t kOpenAppend = wire::WIRE_O_APPEND;
constexpr int32_t kOpenNonblock = wire::WIRE_O_NONBLOCK;

// Access modes as the wire carries them.
constexpr int32_t kAccessExists = wire::WIRE_F_OK;
constexpr int32_t kAccessRead = wire::WIRE_R_OK;
constexpr int32_t kAccessWrite = wire::WIRE_W_OK;
constexpr int32_t kAccessExecute = wire::WIRE_X_OK;

// The ten status words of stat, lstat and fstat, in their wire order (each cut to 32 bits).
struct FileStatus {
    int32_t mode = 0, ino = 0, dev = 0, nlink = 0, uid = 0, gid = 0, size = 0, atime = 0, mtime = 0, ctime = 0;
};

struct TimeValue {
    int64_t seconds = 0;
    int32_t microseconds = 0;
};
struct TimeZone {
    int32_t minutesWest = 0;
    int32_t dstFlag = 0;
};

struct HostEntry {
    std::string name;
    std::vector<std::string> aliases;
    int32_t addressType = 0;
    int32_t addressLength = 0;
    std::vector<std::string> addresses; // raw bytes, network byte order
};

struct ServiceEntry {
    std::string name;
    std::string protocol;
    std::vector<std::string> aliases;
    int32_t port = 0;
};

// This machine's errno value for a wire error number (EIO for a number the wire does not use).
int localErrno(int32_t wire);

// Files.
int32_t open(Link &link, std::string_view path, int32_t flags, int32_t mode = 0644);
// At most kMaxData bytes per call; fewer only at end of file or after an error.
int32_t read(Link &link, int32_t fd, void *buffer, size_t count);
int32_t write(Link &link, int32_t fd, const void *buffer, size_t count);
int32_t lseek(Link &link, int32_t fd, int32_t offset, int32_t whence);
int32_t close(Link &link, int32_t fd);

// Directories. Handles are opaque and never 0; opendir returns 0 on failure.
uint32_t opendir(Link &link, std::string_view path);
// 1 with the next entry's name in *name, 0 at the end of the directory, -1 on an error.
// (The agent answers the end as a failure whose error word is EINVAL, the value of "no error";
// every other error word is an error.)
int readdir(Link &link, uint32_t handle, std::string *name);
int32_t rewinddir(Link &link, uint32_t handle); // always 0
int32_t closedir(Link &link, uint32_t handle);

// Paths.
int32_t access(Link &link, std::string_view path, int32_t mode);
int32_t stat(Link &link, std::string_view path, FileStatus *status);
int32_t lstat(Link &link, std::string_view path, FileStatus *status);
int32_t fstat(Link &link, int32_t fd, FileStatus *status);
int32_t link(Link &link, std::string_view existing, std::string_view newpath);
int32_t symlink(Link &link, std::string_view text, std::string_view newpath);
int32_t unlink(Link &link, std::string_view path);
int32_t mkdir(Link &link, std::string_view path, int32_t mode);
int32_t rmdir(Link &link, std::string_view path);
int32_t chmod(Link &link, std::string_view path, int32_t mode);
int32_t chdir(Link &link, std::string_view path);
// 0 with the host's working directory in *path, or -1.
int32_t getcwd(Link &link, std::string *path);
// The length of the link text put in *text, or -1.
int32_t readlink(Link &link, std::string_view path, std::string *text);

// Environment, identity, clock, names.
// The agent's whole environment, NAME=value strings in its order (cut where a reply ends).
std::vector<std::string> getenv(Link &link);
// Adds or changes variables of the agent's environment (NAME=value; others are ignored there).
int32_t setenv(Link &link, const std::vector<std::string> &settings);
int32_t gettimeofday(Link &link, TimeValue *tv, TimeZone *tz = nullptr);
int32_t getuid(Link &link);
int32_t getgid(Link &link);
int32_t geteuid(Link &link);
int32_t getegid(Link &link);
// 0 with the login name (at most 64 bytes) in *name; -1 with ENXIO when the host has none.
int32_t getlogin(Link &link, std::string *name);
int32_t gethostname(Link &link, std::string *name);
// 0 with the entry, or -1 with ENOENT when the host's name service has none.
int32_t gethostbyname(Link &link, std::string_view name, HostEntry *entry);
// family 2 is the Internet; address holds the raw address bytes.
int32_t gethostbyaddr(Link &link, int32_t family, std::string_view address, HostEntry *entry);
// 0 with the entry, or -1 with the lookup's errno (EINVAL when it left none).
int32_t getservbyname(Link &link, std::string_view service, std::string_view protocol, ServiceEntry *entry);

// Processes.
// Starts path (not searched along PATH) in a new process and process group on the host, with
// argv as its whole argument vector (argument 0 included) and the host's environment.
// Returns its process id as soon as it runs.
int32_t forkNExec(Link &link, const std::string &path, const std::vector<std::string> &argv);
// The host side of a fork: returns the id of the host child, which serves the link from now on
// until it execs or ends (_exit); then the parent serves again.
int32_t fork(Link &link);
// 0 once the host process is the program; after a success the link is served by the process
// that forked it, or is at its end when none did.
int32_t execve(Link &link, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env);
int32_t execvp(Link &link, const std::string &name, const std::vector<std::string> &argv);
// Ends the serving host process with status; returns 0 once the agent has answered.
int32_t _exit(Link &link, int32_t status);
int32_t dup2(Link &link, int32_t from, int32_t to);
// Opens a connection from the host to port on this machine's end of the link; returns its
// descriptor on the host.
int32_t peerpipe(Link &link, int port);
int32_t setpgid(Link &link, int32_t pid, int32_t group);
int32_t setsid(Link &link);
int32_t getpgrp(Link &link);
int32_t getpid(Link &link);
int32_t getppid(Link &link);

// Reply decoders, for callers that build their own requests (extension calls, batches).
// Each raises LinkError of kind Malformed when the reply is too short for what it reads.
// The result word of a reply whose word 2 is the error word; sets errno when result is the
// failure value (failure < 0: any negative result).
int32_t decodeResult(const Reply &reply, int32_t failure = -1);
// The stat record from word first on (ten words).
void decodeStatus(const Reply &reply, int first, FileStatus *status);
// The NUL-terminated string from byte offset; the reply must hold its NUL.
std::string decodeString(const Reply &reply, int offset);
std::vector<std::string> decodeEnvironment(const Reply &reply);
// 0 with *entry, -1 when not found.
int32_t decodeHostEntry(const Reply &reply, HostEntry *entry);
int32_t decodeServiceEntry(const Reply &reply, ServiceEntry *entry);
// A readdir reply: 1 with the name, 0 at the end of the directory, -1 with errno.
int decodeReaddir(const Reply &reply, std::string *name);
// A readlink reply: the text's length with the text, or -1 with errno.
int32_t decodeReadlink(const Reply &reply, std::string *text);

} // namespace hostlink
