// What service/protocol.h declares beyond its inline getters: the two message buffers, the
// agent's own descriptors, and the getter that keeps the client's calls off them.
#include "service/protocol.h"

#include <cerrno>

char requestbuf[MAX_MESSAGE];
char replybuf[MAX_MESSAGE];

namespace {

int privatefds[MAX_PRIVATE];
int privatecount;

} // namespace

bool GuardDescriptor(int fd)
{
    if (IsPrivate(-1, fd))
        return true;
    if (privatecount == MAX_PRIVATE)
        return false;
    privatefds[privatecount++] = fd;
    return true;
}

void UnguardDescriptor(int fd)
{
    for (int i = 0; i < privatecount; i++)
        if (privatefds[i] == fd)
            privatefds[i--] = privatefds[--privatecount];
}

bool IsPrivate(int connection, int fd)
{
    if (fd < 0)
        return false;
    if (fd == connection)
        return true;
    for (int i = 0; i < privatecount; i++)
        if (privatefds[i] == fd)
            return true;
    return false;
}

int ReqFd(const char *request, int n, int connection, int32_t *fd)
{
    if (!ReqWord(request, n, fd))
        return EINVAL;
    return IsPrivate(connection, *fd) ? EBADF : 0;
}
