// File and directory calls.
#include "service/files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/errnomap.h"
#include "service/handlers.h"
#include "service/protocol.h"
#include "service/reply.h"

namespace {

// Shown in a trace line in place of a string argument that has no NUL inside the request.
const char *const badstring = "?";

constexpr int STAT_LENGTH = 52;
constexpr int READLINK_PATH = 1024;

// Open directory streams. A handle is the slot number in its low 8 bits and the slot's
// generation above them: a closed handle never names the stream that later takes its slot,
// and a handle is never 0 because generations start at 1.
constexpr int MAX_DIRS = 256;
constexpr uint32_t MAX_GENERATION = 0x7fffff; // keeps every handle positive as a result word

struct DirSlot {
    DIR *dir;
    uint32_t handle;
};

DirSlot dirs[MAX_DIRS];
uint32_t dirgeneration[MAX_DIRS];

DirSlot *lookupdir(uint32_t handle)
{
    DirSlot *slot = &dirs[handle & 0xff];
    if (handle == 0 || !slot->dir || slot->handle != handle)
        return nullptr;
    return slot;
}

// The string at byte 4 of a request, or null when it does not end inside the request.
const char *pathat4(const char *request, int *next = nullptr) { return ReqString(request, 4, next); }

// A call on the path at byte 4, traced under the call's name.
char *PathCall(const char *request, int (*call)(const char *))
{
    const char *path = pathat4(request);
    int result = -1, error = EINVAL;
    if (path) {
        result = call(path);
        error = errno;
    }
    Verbose("Request: %d = %s(%s)\n", result, CallName(MsgCall(request)), path ? Shown(path) : badstring);
    return ResultReply(result, error);
}

// A call on a mode word and the path at byte 8, traced under the call's name.
char *ModePathCall(const char *request, int (*call)(const char *, mode_t))
{
    int32_t mode = 0;
    const char *path = ReqString(request, 8, nullptr);
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &mode) && path) {
        result = call(path, static_cast<mode_t>(mode & 0xffff));
        error = errno;
    }
    Verbose("Request: %d = %s(%s,0x%x)\n", result, CallName(MsgCall(request)), path ? Shown(path) : badstring,
            static_cast<unsigned>(mode));
    return ResultReply(result, error);
}

// Byte count of read and write: taken as unsigned and limited to what one message carries.
int datacount(int32_t count)
{
    uint32_t n = static_cast<uint32_t>(count);
    return n > static_cast<uint32_t>(MAX_DATA) ? MAX_DATA : static_cast<int>(n);
}

} // namespace

int HostOpenFlags(int32_t wire)
{
    int flags;
    switch (wire & WIRE_O_ACCMODE) {
    case WIRE_O_RDONLY:
        flags = O_RDONLY;
        break;
    case WIRE_O_WRONLY:
        flags = O_WRONLY;
        break;
    default:
        flags = O_RDWR;
        break;
    }
    if (wire & WIRE_O_APPEND)
        flags |= O_APPEND;
    if (wire & WIRE_O_CREAT)
        flags |= O_CREAT;
    if (wire & WIRE_O_EXCL)
        flags |= O_EXCL;
    if (wire & WIRE_O_NONBLOCK)
        flags |= O_NONBLOCK;
    if (wire & WIRE_O_TRUNC)
        flags |= O_TRUNC;
    return flags;
}

int HostAccessMode(int32_t wire)
{
    int mode = F_OK;
    if (wire & WIRE_R_OK)
        mode |= R_OK;
    if (wire & WIRE_W_OK)
        mode |= W_OK;
    if (wire & WIRE_X_OK)
        mode |= X_OK;
    return mode;
}

char *RemoteOpen(int, char *request)
{
    int32_t wireflags = 0, mode = 0;
    const char *path = ReqString(request, 12, nullptr);
    bool whole = ReqWord(request, 1, &wireflags) && ReqWord(request, 2, &mode) && path;
    int flags = HostOpenFlags(wireflags);
    int result = -1, error = EINVAL;
    if (whole) {
        result = open(path, flags, static_cast<mode_t>(mode));
        error = errno;
    }
    ResultReply(result, error);
    Verbose("Request: %d = open(%s,0x%x,0x%x)\n", result, path ? Shown(path) : badstring, static_cast<unsigned>(flags),
            static_cast<unsigned>(mode));
    return replybuf;
}

char *RemoteRead(int connection, char *request)
{
    int32_t fd = -1, count = 0;
    int error = ReqFd(request, 1, connection, &fd);
    if (!ReqWord(request, 2, &count))
        error = EINVAL;
    int n = datacount(count);
    long result = -1;
    if (!error) {
        result = local_readx(fd, replybuf + 12, n);
        error = errno;
    }
    if (result < 0) {
        ResultReply(-1, error);
    } else {
        PutWord(replybuf, 1, static_cast<int32_t>(result));
        DataReply(12 + static_cast<int>(result));
    }
    Verbose("Request: %d = read(%d,...,%d)\n", static_cast<int>(result), fd, n);
    return replybuf;
}

char *RemoteWrite(int connection, char *request)
{
    int32_t fd = -1, count = 0;
    int error = ReqFd(request, 1, connection, &fd);
    bool whole = ReqWord(request, 2, &count);
    int n = datacount(count);
    long result = -1;
    // Only bytes that came with this request are written: never older buffer content.
    const char *data = whole ? ReqBytes(request, 12, n) : nullptr;
    if (!data)
        error = EINVAL;
    if (!error) {
        result = local_writex(fd, data, n);
        error = errno;
    }
    ResultReply(static_cast<int>(result), error);
    Verbose("Request: %d = write(%d,...,%d)\n", static_cast<int>(result), fd, n);
    return replybuf;
}

char *RemoteLseek(int connection, char *request)
{
    int32_t fd = -1, offset = 0, whence = 0;
    int result = -1, error = ReqFd(request, 1, connection, &fd);
    if (!ReqWord(request, 2, &offset) || !ReqWord(request, 3, &whence))
        error = EINVAL;
    if (!error) {
        off_t before = lseek(fd, 0, SEEK_CUR);
        off_t after = lseek(fd, offset, whence);
        error = errno;
        if (after > INT32_MAX) {
            // Not cut to 32 bits: refused, and the offset goes back where it was.
            if (before >= 0)
                lseek(fd, before, SEEK_SET);
            error = EOVERFLOW;
        } else {
            result = static_cast<int>(after);
        }
    }
    ResultReply(result, error);
    Verbose("Request: %d = lseek(%d,%d,%d)\n", result, fd, offset, whence);
    return replybuf;
}

char *RemoteClose(int connection, char *request)
{
    int32_t fd = -1;
    int result = -1, error = ReqFd(request, 1, connection, &fd);
    if (!error) {
        result = close(fd);
        error = errno;
    }
    ResultReply(result, error);
    Verbose("Request: %d = close(%d)\n", result, fd);
    return replybuf;
}

char *RemoteOpendir(int, char *request)
{
    const char *path = pathat4(request);
    uint32_t handle = 0;
    int error = EINVAL;
    if (path) {
        int freeslot = 0;
        while (freeslot < MAX_DIRS && dirs[freeslot].dir)
            freeslot++;
        if (freeslot == MAX_DIRS) {
            error = EMFILE;
        } else if (DIR *dir = opendir(path)) {
            uint32_t generation = dirgeneration[freeslot] % MAX_GENERATION + 1;
            dirgeneration[freeslot] = generation;
            handle = (generation << 8) | static_cast<uint32_t>(freeslot);
            dirs[freeslot].dir = dir;
            dirs[freeslot].handle = handle;
        } else {
            error = errno;
        }
    }
    if (handle == 0)
        ResultErrorReply(0, error);
    else
        ResultReply(static_cast<int32_t>(handle), 0);
    Verbose("Request: 0x%x = opendir(%s)\n", handle, path ? Shown(path) : badstring);
    return replybuf;
}

char *RemoteReaddir(int, char *request)
{
    int32_t word = 0;
    int error = EINVAL;
    struct dirent *entry = nullptr;
    if (ReqWord(request, 1, &word)) {
        DirSlot *slot = lookupdir(static_cast<uint32_t>(word));
        if (slot) {
            errno = 0; // the end of a directory leaves errno alone
            entry = readdir(slot->dir);
            error = errno;
        } else {
            error = EBADF;
        }
    }
    unsigned handle = static_cast<uint32_t>(word);
    if (!entry) {
        ResultReply(-1, error);
        Verbose("Request: -1 = readdir(0x%x);\n", handle);
        return replybuf;
    }
    size_t size = strlen(entry->d_name) + 1;
    memcpy(replybuf + 12, entry->d_name, size);
    PutWord(replybuf, 1, 0);
    DataReply(12 + static_cast<int>(size));
    Verbose("Request: %s = readdir(0x%x);\n", Shown(replybuf + 12), handle);
    return replybuf;
}

char *RemoteRewinddir(int, char *request)
{
    int32_t word = 0;
    if (ReqWord(request, 1, &word)) {
        if (DirSlot *slot = lookupdir(static_cast<uint32_t>(word)))
            rewinddir(slot->dir);
    }
    ResultReply(0, 0);
    Verbose("Request: rewinddir(0x%x)\n", static_cast<uint32_t>(word));
    return replybuf;
}

char *RemoteClosedir(int, char *request)
{
    int32_t word = 0;
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &word)) {
        if (DirSlot *slot = lookupdir(static_cast<uint32_t>(word))) {
            result = closedir(slot->dir);
            error = errno;
            slot->dir = nullptr; // gone whatever closedir answered
            slot->handle = 0;
        } else {
            error = EBADF;
        }
    }
    ResultReply(result, error);
    Verbose("Request: %d = closedir(0x%x)\n", result, static_cast<uint32_t>(word));
    return replybuf;
}

char *RemoteAccess(int, char *request)
{
    int32_t wiremode = 0;
    const char *path = ReqString(request, 8, nullptr);
    bool whole = ReqWord(request, 1, &wiremode) && path;
    int mode = HostAccessMode(wiremode);
    int result = -1, error = EINVAL;
    if (whole) {
        result = access(path, mode);
        error = errno;
    }
    ResultReply(result, error);
    Verbose("Request: %d = access(%s,0x%x)\n", result, path ? Shown(path) : badstring, static_cast<unsigned>(mode));
    return replybuf;
}

char *RemoteStat(int connection, char *request)
{
    int call = MsgCall(request);
    struct stat st;
    const char *path = nullptr;
    int32_t fd = -1;
    int result = -1, error = EINVAL;
    if (call == CALL_FSTAT) {
        error = ReqFd(request, 1, connection, &fd);
        if (!error) {
            result = fstat(fd, &st);
            error = errno;
        }
    } else if ((path = pathat4(request))) {
        result = call == CALL_LSTAT ? lstat(path, &st) : stat(path, &st);
        error = errno;
    }
    // A size that does not fit the word is reported, not cut.
    if (result == 0 && st.st_size > INT32_MAX) {
        result = -1;
        error = EOVERFLOW;
    }
    PutWord(replybuf, 1, result);
    if (result == 0) {
        const long long fields[10] = {st.st_mode, static_cast<long long>(st.st_ino), static_cast<long long>(st.st_dev),
                                      static_cast<long long>(st.st_nlink), st.st_uid, st.st_gid, st.st_size,
                                      st.st_atime, st.st_mtime, st.st_ctime};
        for (int i = 0; i < 10; i++)
            PutWord(replybuf, 3 + i, static_cast<int32_t>(static_cast<uint32_t>(fields[i])));
    } else {
        PutWord(replybuf, 2, maperrno(error));
        memset(replybuf + 12, 0, STAT_LENGTH - 12);
    }
    SetLength(replybuf, STAT_LENGTH);
    if (call == CALL_FSTAT)
        Verbose("Request: %d = fstat(%d,...)\n", result, fd);
    else
        Verbose("Request: %d = %s(%s,...)\n", result, CallName(call),
                path ? Shown(path) : badstring);
    return replybuf;
}

char *RemoteLink(int, char *request)
{
    bool symbolic = MsgCall(request) == CALL_SYMLINK;
    int next = 0;
    const char *first = pathat4(request, &next);
    const char *second = first ? ReqString(request, next, nullptr) : nullptr;
    int result = -1, error = EINVAL;
    if (second) {
        result = symbolic ? symlink(first, second) : link(first, second);
        error = errno;
    }
    ResultReply(result, error);
    Verbose("Request: %d = %s(%s,%s)\n", result, CallName(MsgCall(request)), first ? Shown(first) : badstring,
            second ? Shown(second) : badstring);
    return replybuf;
}

char *RemoteUnlink(int, char *request) { return PathCall(request, unlink); }

char *RemoteMkdir(int, char *request) { return ModePathCall(request, mkdir); }

char *RemoteRmdir(int, char *request) { return PathCall(request, rmdir); }

char *RemoteChmod(int, char *request) { return ModePathCall(request, chmod); }

char *RemoteGetcwd(int, char *)
{
    char *cwd = getcwd(replybuf + 12, MAX_DATA);
    int error = errno;
    if (!cwd) {
        ResultErrorReply(0, error);
        Verbose("Request: NULL = getcwd(...,%d)\n", MAX_DATA);
        return replybuf;
    }
    PutWord(replybuf, 1, 1);
    DataReply(12 + static_cast<int>(strlen(cwd)) + 1);
    Verbose("Request: \"%s\" = getcwd(...,%d)\n", Shown(cwd), MAX_DATA);
    return replybuf;
}

char *RemoteChdir(int, char *request) { return PathCall(request, chdir); }

char *RemoteReadlink(int, char *request)
{
    static char pathcopy[READLINK_PATH];
    const char *path = pathat4(request);
    ssize_t n = -1;
    int error = EINVAL;
    if (path && strlen(path) >= READLINK_PATH) {
        error = ENAMETOOLONG;
    } else if (path) {
        strcpy(pathcopy, path);
        // One byte less than the data room, so that the NUL behind the text stays in the buffer.
        n = readlink(pathcopy, replybuf + 12, MAX_DATA - 1);
        error = errno;
    }
    if (n < 0) {
        ResultReply(-1, error);
        Verbose("Request: -1 = readlink(%s,...)\n", path ? Shown(path) : badstring);
        return replybuf;
    }
    replybuf[12 + n] = '\0';
    PutWord(replybuf, 1, static_cast<int32_t>(n));
    DataReply(12 + static_cast<int>(n));
    Verbose("Request: \"%s\" = readlink(%s,...)\n", Shown(replybuf + 12), Shown(path));
    return replybuf;
}

DIR *DirectoryStream(uint32_t handle)
{
    DirSlot *slot = lookupdir(handle);
    return slot ? slot->dir : nullptr;
}

void CloseDirectoryHandles()
{
    for (DirSlot &slot : dirs) {
        if (slot.dir)
            closedir(slot.dir);
        slot.dir = nullptr;
        slot.handle = 0;
    }
}
