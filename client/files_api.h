// Typed file and directory calls over a Link.
//
// The functions look like their POSIX namesakes: a failure returns the call's failure value
// (-1, or 0 for opendir) and leaves this machine's errno value for the agent's error in errno.
// A reply that does not fit the call raises LinkError.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/hostlink.h"

namespace hostlink {

constexpr int kMaxData = wire::MAX_DATA; // most bytes one read, write or readlink moves

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

// The ten status words of stat, lstat and fstat, in their wire order.
struct FileStatus {
    int32_t mode, ino, dev, nlink, uid, gid, size, atime, mtime, ctime;
};

// This machine's errno value for a wire error number (EIO for a number the wire does not use).
int LocalErrno(int32_t wire);

int32_t open(Link &link, std::string_view path, int32_t flags, int32_t mode = 0644);
// At most kMaxData bytes per call; fewer only at end of file or after an error.
int32_t read(Link &link, int32_t fd, void *buffer, size_t count);
int32_t write(Link &link, int32_t fd, const void *buffer, size_t count);
int32_t lseek(Link &link, int32_t fd, int32_t offset, int32_t whence);
int32_t close(Link &link, int32_t fd);

// Directory handles are opaque and never 0.
uint32_t opendir(Link &link, std::string_view path);
// The next entry's name, or nullopt at the end of the directory or on an error.
std::optional<std::string> readdir(Link &link, uint32_t handle);
void rewinddir(Link &link, uint32_t handle);
int32_t closedir(Link &link, uint32_t handle);

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
std::optional<std::string> getcwd(Link &link);
int32_t chdir(Link &link, std::string_view path);
std::optional<std::string> readlink(Link &link, std::string_view path);

} // namespace hostlink
