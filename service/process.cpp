// Process control: child reaping.
#include <cerrno>
#include <sys/wait.h>

#include "service/handlers.h"
#include "service/protocol.h"

// Collects every ended child without blocking; errno is left as the interrupted code had it.
void ReapChildren(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

// Not served yet: these take the unknown-call road.
char *RemoteForkNExec(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteFork(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteExecve(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteExecvp(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteExit(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteDup2(int connection, char *request) { return UnknownCall(connection, request); }
char *RemotePeerpipe(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteSetpgid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteSetsid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetpgrp(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetpid(int connection, char *request) { return UnknownCall(connection, request); }
char *RemoteGetppid(int connection, char *request) { return UnknownCall(connection, request); }
