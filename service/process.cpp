// Process control: child reaping.
#include <cerrno>
#include <sys/wait.h>

#include "service/protocol.h"

// Collects every ended child without blocking; errno is left as the interrupted code had it.
void ReapChildren(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}
