// Process control: programs started on the host, the remote fork and exec, descriptors,
// process groups and ids, and child reaping.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/errnomap.h"
#include "service/handlers.h"
#include "service/protocol.h"
#include "service/reply.h"

namespace {

// A vector of count + 1 entries pointing at the count strings packed from byte offset of the
// request, the last entry null. The strings are not copied. False, with errno set, when the
// count is negative, when the strings do not all end inside the request (EINVAL), or when
// the vector cannot be had; *next is then left alone.
bool getvector(const char *request, int offset, int32_t count, char ***vector, int *next)
{
    // Every string takes at least its NUL, so a count above the bytes left cannot be carried.
    if (count < 0 || !ReqBytes(request, offset, count)) {
        errno = EINVAL;
        return false;
    }
    char **v = static_cast<char **>(calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    if (!v)
        return false; // errno from the allocation
    int p = offset;
    for (int i = 0; i < count; i++) {
        const char *s = ReqString(request, p, &p);
        if (!s) {
            free(v);
            errno = EINVAL;
            return false;
        }
        v[i] = const_cast<char *>(s);
    }
    *vector = v;
    *next = p;
    return true;
}

void closepipe(const int fds[2])
{
    close(fds[0]);
    close(fds[1]);
}

// The watcher of an exec in its parent: when the control pipe reaches its end with nothing
// on it, the parent is now the program, and the success reply goes out from here.
[[noreturn]] void watchexec(int connection, int readend)
{
    char item[4];
    // Nothing arrives and every write end closes when the exec has succeeded.
    if (local_readx(readend, item, 4) == 0) {
        ResultReply(0, 0);
        if (settings.swaprequest)
            SwapReply(replybuf);
        (void)local_writex(connection, replybuf, 12); // a client that has gone misses nothing else
    }
    close(readend);
    _exit(0);
}

// Runs the exec of execve (with an environment) or execvp (without). Returns only when the
// exec could not be started, with the reply of the failure.
char *execwithwatcher(int connection, const char *path, char **args, char **env)
{
    int control[2];
    if (pipe(control) < 0)
        return ResultReply(-1, errno);
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        closepipe(control);
        return ResultReply(-1, error);
    }
    if (pid == 0) {
        close(control[1]);
        watchexec(connection, control[0]);
    }
    close(control[0]);
    fcntl(control[1], F_SETFD, FD_CLOEXEC);
    // The program starts with the default disposition. Should the exec fail, this process
    // goes on serving and its children must still be reaped, the watcher among them.
    struct sigaction saved;
    sigaction(SIGCHLD, nullptr, &saved);
    signal(SIGCHLD, SIG_DFL);
    if (env)
        execve(path, args, env);
    else
        execvp(path, args);
    int error = errno;
    (void)local_writex(control[1], &error, 4); // nothing to do when the parent has gone
    close(control[1]);
    sigaction(SIGCHLD, &saved, nullptr);
    ReapChildren(SIGCHLD); // the watcher may have ended while the default disposition held
    return ResultReply(-1, error);
}

} // namespace

// Collects every ended child without blocking; errno is left as the interrupted code had it.
void ReapChildren(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

char *RemoteForkNExec(int, char *request)
{
    Verbose("Request: ForkNExec\n");
    int32_t count = -1;
    int next = 0;
    const char *path = ReqString(request, 8, &next);
    char **args = nullptr;
    // The request is checked and its vector built before anything is started.
    if (!ReqWord(request, 1, &count) || !path)
        return ResultReply(-1, EINVAL);
    if (!getvector(request, next, count, &args, &next))
        return ResultReply(-1, errno);
    int control[2];
    if (pipe(control) < 0) {
        int error = errno;
        free(args);
        return ResultReply(-1, error);
    }
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        closepipe(control);
        free(args);
        return ResultReply(-1, error);
    }
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGCHLD, SIG_DFL);
        close(control[0]);
        fcntl(control[1], F_SETFD, FD_CLOEXEC);
        Verbose("%s", Shown(path));
        for (int i = 0; i < count; i++)
            Verbose(" %s", Shown(args[i]));
        Verbose("\n");
        execv(path, args);
        int error = errno;
        (void)local_writex(control[1], &error, 4);
        close(control[1]);
        free(args);
        exit(1);
    }
    free(args);
    close(control[1]);
    int childerror = 0;
    long got = local_readx(control[0], &childerror, 4);
    int readerror = errno;
    close(control[0]);
    if (got == 0) {
        return ResultReply(pid, 0);
    }
    if (got == 4)
        return ResultReply(-1, childerror);
    return ResultReply(-1, got < 0 ? readerror : EIO); // a broken item says failure all the same
}

char *RemoteFork(int, char *)
{
    int control[2];
    if (pipe(control) < 0) {
        int error = errno;
        Verbose("Request: fork(), can't create control pipes\n");
        return ResultReply(-1, error);
    }
    // The child keeps its end of the control pipe guarded: a fork without room for it is refused.
    if (!GuardDescriptor(control[1])) {
        closepipe(control);
        Verbose("Request: -1 = fork()\n");
        return ResultReply(-1, EMFILE);
    }
    pid_t pid = fork();
    if (pid != 0)
        UnguardDescriptor(control[1]);
    if (pid < 0) {
        int error = errno;
        closepipe(control);
        Verbose("Request: -1 = fork()\n");
        return ResultReply(-1, error);
    }
    if (pid == 0) {
        // The child serves from now on; its write end closes when it execs or ends.
        close(control[0]);
        fcntl(control[1], F_SETFD, FD_CLOEXEC);
        int self = static_cast<int>(getpid());
        Verbose("Request: %d = fork()\n", self);
        return ResultReply(self, 0);
    }
    close(control[1]);
    char byte;
    while (read(control[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(control[0]);
    Verbose("PARENT PEER RESTARTED\n");
    SetLength(replybuf, 0); // nothing is sent: the child has answered the fork
    return replybuf;
}

char *RemoteExecve(int connection, char *request)
{
    int32_t argcount = -1, envcount = -1;
    int next = 0;
    const char *path = ReqString(request, 12, &next);
    if (!ReqWord(request, 1, &argcount) || !ReqWord(request, 2, &envcount) || !path)
        return ResultReply(-1, EINVAL);
    char **args = nullptr, **env = nullptr;
    if (!getvector(request, next, argcount, &args, &next))
        return ResultReply(-1, errno);
    if (!getvector(request, next, envcount, &env, &next)) {
        int error = errno;
        free(args);
        return ResultReply(-1, error);
    }
    Verbose("Request: execve(\"%s\"", Shown(path));
    for (int i = 0; i < argcount; i++)
        Verbose(",%s", Shown(args[i]));
    Verbose(",...);\n");
    char *reply = execwithwatcher(connection, path, args, env);
    free(args);
    free(env);
    return reply;
}

char *RemoteExecvp(int connection, char *request)
{
    int32_t count = -1;
    int next = 0;
    const char *name = ReqString(request, 8, &next);
    if (!ReqWord(request, 1, &count) || !name)
        return ResultReply(-1, EINVAL);
    char **args = nullptr;
    if (!getvector(request, next, count, &args, &next))
        return ResultReply(-1, errno);
    Verbose("Request: execvp(\"%s\"", Shown(name));
    for (int i = 0; i < count; i++)
        Verbose(",%s", Shown(args[i]));
    Verbose(");\n");
    char *reply = execwithwatcher(connection, name, args, nullptr);
    free(args);
    return reply;
}

char *RemoteExit(int connection, char *request)
{
    int32_t status = 0; // a request without its word ends with status 0
    if (!ReqWord(request, 1, &status))
        status = 0;
    Verbose("Request: _exit(%d)\n", status);
    SetLength(replybuf, 4);
    if (settings.swaprequest)
        SwapReply(replybuf);
    (void)local_writex(connection, replybuf, 4); // ending all the same
    _exit(status);
}

char *RemoteDup2(int connection, char *request)
{
    int32_t from = -1, to = -1;
    // Neither descriptor may be one of the agent's own; a request cut short is refused first.
    int result = -1, error = ReqFd(request, 1, connection, &from);
    int second = ReqFd(request, 2, connection, &to);
    if (second == EINVAL || !error)
        error = second;
    if (!error) {
        result = dup2(from, to);
        error = errno;
    }
    Verbose("Request: %d = dup2(%d,%d);\n", result, from, to);
    return ResultReply(result, error);
}

char *RemotePeerpipe(int connection, char *request)
{
    int result = -1;
    int32_t port = 0;
    struct sockaddr_in peer = {};
    socklen_t len = sizeof peer;
    if (!ReqWord(request, 1, &port)) {
        errno = EINVAL;
    } else if (getpeername(connection, reinterpret_cast<struct sockaddr *>(&peer), &len) == 0) {
        if (peer.sin_family != AF_INET || len < sizeof peer) {
            errno = EAFNOSUPPORT;
        } else {
            peer.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
            int s = socket(AF_INET, SOCK_STREAM, 0);
            if (s >= 0) {
                if (connect(s, reinterpret_cast<struct sockaddr *>(&peer), sizeof peer) == 0) {
                    result = s;
                } else {
                    int error = errno;
                    close(s);
                    errno = error;
                }
            }
        }
    }
    int error = errno;
    Verbose("%d = peerpipe()\n", result);
    return ResultErrorReply(result, error);
}

char *RemoteSetpgid(int, char *request)
{
    int32_t pid = 0, group = 0;
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &pid) && ReqWord(request, 2, &group)) {
        result = setpgid(pid, group);
        error = errno;
    }
    Verbose("%d = setpgid(%d,%d)\n", result, pid, group);
    return ResultErrorReply(result, error);
}

char *RemoteSetsid(int, char *)
{
    int result = static_cast<int>(setsid());
    int error = errno;
    Verbose("%d = setsid()\n", result);
    return ResultErrorReply(result, error);
}

char *RemoteGetpgrp(int, char *)
{
    int result = static_cast<int>(getpgrp());
    int error = errno;
    Verbose("%d = getpgrp()\n", result);
    return ResultErrorReply(result, error);
}

char *RemoteGetpid(int, char *)
{
    int result = static_cast<int>(getpid());
    int error = errno;
    Verbose("%d = getpid()\n", result);
    return ResultErrorReply(result, error);
}

char *RemoteGetppid(int, char *)
{
    int result = static_cast<int>(getppid());
    int error = errno;
    Verbose("%d = getppid()\n", result);
    return ResultErrorReply(result, error);
}
