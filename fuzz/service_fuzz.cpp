// Feeds byte streams to the service loop exactly as a peer would send them.
//
// The first input byte chooses the opening: a handshake in the host's byte order, one in the
// other byte order, or none (the stream itself starts with the connection request). The rest of
// the input is the stream the service loop reads; its replies are drained and discarded.
//
// The agent ends its process on every end of service; in this build exit and _exit jump back
// here instead. Process creation is routed around (fork and the exec calls fail with EAGAIN and
// ENOENT), after all of a call's decoding has run. Descriptors that belong to this harness
// cannot be read, written, closed or replaced by remote calls. The run is meant to be confined
// by fuzz/run.sh (own user, mount, network and process namespaces, private root).
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/files.h"
#include "service/protocol.h"

extern "C" {
ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);
int __real_close(int fd);
int __real_dup2(int from, int to);
}


namespace {

constexpr int kMaxFd = 4096;

jmp_buf endOfService;
bool serving = false;
int harnessEnd = -1; // our side of the connection
int rootFd = -1;
bool ours[kMaxFd]; // descriptors open before the input began: the fuzzer's own

// Remote calls may use standard input and whatever they opened, nothing of the fuzzer's.
bool Protected(int fd) { return fd == harnessEnd || (fd > 0 && fd < kMaxFd && ours[fd]); }

// The frames that the jump back skipped keep their poisoned shadow; clear the stack below us.
// top is an address inside the frame that called setjmp; everything below it was skipped.
void ForgetSkippedFrames(const void *top)
{
    constexpr uintptr_t span = 2u << 20;
    uintptr_t end = reinterpret_cast<uintptr_t>(top);
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void *>(end - span), span);
}

// Calls f with every open descriptor of this process.
template <typename F> void EachOpenFd(F f)
{
    int fds[kMaxFd];
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        abort(); // fuzz/run.sh mounts /proc
    int own = dirfd(d);
    while (struct dirent *e = readdir(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != own && fd >= 0 && fd < kMaxFd && n < kMaxFd)
            fds[n++] = fd;
    }
    closedir(d);
    for (int i = 0; i < n; i++)
        f(fds[i]);
}

struct Stream {
    int fd;
    const uint8_t *data;
    size_t left;
};

// Sends the stream and discards the replies, without ever blocking the agent's side.
void *Pump(void *arg)
{
    Stream *s = static_cast<Stream *>(arg);
    char sink[65536];
    bool writing = true;
    if (s->left == 0) {
        shutdown(s->fd, SHUT_WR);
        writing = false;
    }
    for (;;) {
        struct pollfd p = {s->fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        if (writing && (p.revents & POLLOUT)) {
            ssize_t w = ::send(s->fd, s->data, s->left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) {
                s->data += w;
                s->left -= static_cast<size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                s->left = 0;
            }
            if (s->left == 0) {
                shutdown(s->fd, SHUT_WR);
                writing = false;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(s->fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    return nullptr;
}

void Fixture(const char *path, const char *content)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, content, strlen(content));
        (void)ignored;
        close(fd);
    }
}

} // namespace

extern "C" {
[[noreturn]] void __real_exit(int status);
[[noreturn]] void __real__exit(int status);
pid_t __real_fork();
int __real_execv(const char *path, char *const argv[]);
int __real_execve(const char *path, char *const argv[], char *const envp[]);
int __real_execvp(const char *file, char *const argv[]);

// Every wrapper acts only while the agent serves an input; the fuzzer itself is untouched.
[[noreturn]] void __wrap_exit(int status)
{
    if (serving)
        longjmp(endOfService, 1);
    __real_exit(status);
}
[[noreturn]] void __wrap__exit(int status)
{
    if (serving)
        longjmp(endOfService, 1);
    __real__exit(status);
}
pid_t __wrap_fork()
{
    if (!serving)
        return __real_fork();
    errno = EAGAIN;
    return -1;
}
int __wrap_execv(const char *path, char *const argv[])
{
    if (!serving)
        return __real_execv(path, argv);
    errno = ENOENT;
    return -1;
}
int __wrap_execve(const char *path, char *const argv[], char *const envp[])
{
    if (!serving)
        return __real_execve(path, argv, envp);
    errno = ENOENT;
    return -1;
}
int __wrap_execvp(const char *file, char *const argv[])
{
    if (!serving)
        return __real_execvp(file, argv);
    errno = ENOENT;
    return -1;
}
ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_read(fd, buf, n);
}
ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_write(fd, buf, n);
}
int __wrap_close(int fd)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_close(fd);
}
ssize_t __real_pread(int fd, void *buf, size_t n, off_t offset);
ssize_t __real_pwrite(int fd, const void *buf, size_t n, off_t offset);
int __real_ftruncate(int fd, off_t length);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
ssize_t __wrap_pread(int fd, void *buf, size_t n, off_t offset)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_pread(fd, buf, n, offset);
}
ssize_t __wrap_pwrite(int fd, const void *buf, size_t n, off_t offset)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_pwrite(fd, buf, n, offset);
}
int __wrap_ftruncate(int fd, off_t length)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_ftruncate(fd, length);
}
int __wrap_fsync(int fd)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_fsync(fd);
}
int __wrap_fdatasync(int fd)
{
    if (serving && Protected(fd)) {
        errno = EBADF;
        return -1;
    }
    return __real_fdatasync(fd);
}
int __wrap_dup2(int from, int to)
{
    if (serving && (Protected(from) || Protected(to))) {
        errno = EBADF;
        return -1;
    }
    return __real_dup2(from, to);
}

int LLVMFuzzerInitialize(int *, char ***)
{
    // A small tree for the file calls to find; everything lives under the private root.
    mkdir("/scratch", 0755);
    mkdir("/scratch/dir", 0755);
    for (int i = 0; i < 40; i++) {
        char name[64];
        snprintf(name, sizeof name, "/scratch/dir/entry-%02d", i);
        Fixture(name, "x");
    }
    Fixture("/scratch/file", "contents of a small file\n");
    symlink("file", "/scratch/link");
    symlink("/scratch/dir", "/scratch/dirlink");
    // Standard input is an empty file, so a remote read of it never waits.
    int empty = open("/scratch/empty", O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (empty >= 0 && empty != 0) {
        dup2(empty, 0);
        close(empty);
    }
    rootFd = open("/scratch", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0 || fchdir(rootFd) < 0) {
        perror("scratch directory");
        abort();
    }
    // Descriptors stay below the table of ours.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur > static_cast<rlim_t>(kMaxFd)) {
        rl.rlim_cur = kMaxFd;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4 * MAX_MESSAGE)
        return 0;
    uint8_t mode = data[0];
    data++;
    size--;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0)
        return 0;
    int agentEnd = pair[0];
    harnessEnd = pair[1];

    static uint8_t stream[16 + 4 * MAX_MESSAGE];
    size_t length = 0;
    if (mode % 3 != 2) {
        uint32_t magic = PROTOCOL_MAGIC, version = PROTOCOL_VERSION, nonce = 7;
        uint16_t len = 16;
        if (mode % 3 == 1) {
            magic = swapl(magic);
            version = swapl(version);
            len = static_cast<uint16_t>(swaps(len));
        }
        memset(stream, 0, 16);
        memcpy(stream, &len, 2);
        memcpy(stream + 4, &magic, 4);
        memcpy(stream + 8, &version, 4);
        memcpy(stream + 12, &nonce, 4);
        length = 16;
    }
    memcpy(stream + length, data, size);
    length += size;

    memset(ours, 0, sizeof ours);
    EachOpenFd([](int fd) { ours[fd] = true; });
    ours[agentEnd] = false;

    Stream s = {harnessEnd, stream, length};
    pthread_t pump;
    if (pthread_create(&pump, nullptr, Pump, &s) != 0)
        abort();

    settings.swaprequest = 0;
    settings.verbose = (mode & 0x80) ? 1 : 0;
    settings.extensions = (mode & 0x40) ? 1 : 0;
    serving = true;
    if (setjmp(endOfService) == 0)
        ServicePeer(agentEnd);
    else
        ForgetSkippedFrames(__builtin_frame_address(0));
    serving = false;
    UnguardDescriptor(agentEnd); // the next input's connection may take its number

    // Give back what the input took: its connection, its descriptors and directory streams,
    // and the working directory it may have moved.
    CloseDirectoryHandles();
    shutdown(agentEnd, SHUT_RDWR);
    pthread_join(pump, nullptr);
    __real_close(harnessEnd);
    EachOpenFd([](int fd) {
        if (!ours[fd])
            __real_close(fd);
    });
    if (fcntl(0, F_GETFD) < 0) {
        int empty = open("/scratch/empty", O_RDONLY);
        if (empty > 0) {
            __real_dup2(empty, 0);
            __real_close(empty);
        }
    }
    if (fchdir(rootFd) < 0)
        abort();
    umask(022);
    return 0;
}
}
