// Message framing shared by the service loop and the call handlers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/wire.h"

using namespace wire; // the agent speaks the wire vocabulary unqualified

extern char requestbuf[MAX_MESSAGE];
extern char replybuf[MAX_MESSAGE];

// Header fields, in host byte order.
inline int MsgLength(const char *msg)
{
    uint16_t v;
    memcpy(&v, msg, 2);
    return v;
}
inline void SetLength(char *msg, int length)
{
    uint16_t v = static_cast<uint16_t>(length);
    memcpy(msg, &v, 2);
}
inline int MsgCall(const char *msg) { return static_cast<unsigned char>(msg[2]); }

// Raw word access, for the reply buffer and for words known to lie inside a message.
inline int32_t GetWord(const char *msg, int n)
{
    int32_t v;
    memcpy(&v, msg + 4 * n, 4);
    return v;
}
inline void PutWord(char *msg, int n, int32_t v) { memcpy(msg + 4 * n, &v, 4); }

// Bytes of the current request that were really received (header included).
inline int RequestSize(const char *request)
{
    int len = MsgLength(request);
    if (len < 4)
        return 4;
    if (len > MAX_MESSAGE)
        return MAX_MESSAGE;
    return len;
}

// Bounds-checked reads of request fields: false when the field lies past the request's end.
[[nodiscard]] inline bool ReqWord(const char *request, int n, int32_t *value)
{
    if (4 * n + 4 > RequestSize(request))
        return false;
    *value = GetWord(request, n);
    return true;
}

// The NUL-terminated string at byte offset, or null when it does not end inside the request.
// On success *next is the offset just past its NUL.
[[nodiscard]] inline const char *ReqString(const char *request, int offset, int *next)
{
    int size = RequestSize(request);
    if (offset < 0 || offset >= size)
        return nullptr;
    const void *nul = memchr(request + offset, '\0', static_cast<size_t>(size - offset));
    if (!nul)
        return nullptr;
    if (next)
        *next = static_cast<int>(static_cast<const char *>(nul) - request) + 1;
    return request + offset;
}

// The n bytes at byte offset, or null when they do not all lie inside the request.
[[nodiscard]] inline const char *ReqBytes(const char *request, int offset, int n)
{
    int size = RequestSize(request);
    if (offset < 0 || n < 0 || offset > size || n > size - offset)
        return nullptr;
    return request + offset;
}

inline int RoundUp4(int n) { return (n + 3) & ~3; }

// The agent's own descriptors (the connection, the daemon's listener, the control-pipe ends it
// holds; kept in service/protocol.cpp): the calls on client descriptors answer EBADF for them.
constexpr int MAX_PRIVATE = 64;
[[nodiscard]] bool GuardDescriptor(int fd); // false when the list is full
void UnguardDescriptor(int fd);
bool IsPrivate(int connection, int fd);
// The client descriptor in word n: 0, EINVAL when the word lies past the request's end, EBADF for
// one of the agent's own. *fd takes the word whenever it lies inside the request.
[[nodiscard]] int ReqFd(const char *request, int n, int connection, int32_t *fd);

// The service loop and dispatcher.
void ServicePeer(int connection);
char *ProcessRequest(int connection, char *request);
[[noreturn]] char *UnknownCall(int connection, char *request);

// Byte-order conversion.
int swaps(int value);
uint32_t swapl(uint32_t value);
void SwapRequest(char *request);
void SwapReply(char *reply);

// SIGCHLD handler installed while a connection is served.
void ReapChildren(int sig);

using Handler = char *(*)(int connection, char *request);
