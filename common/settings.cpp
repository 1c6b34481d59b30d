#include "common/settings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

Settings settings;

void Error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

void Verbose(const char *format, ...)
{
    if (!settings.verbose)
        return;
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
}

long local_readx(int fd, void *buffer, long n)
{
    if (n < 1)
        return 0;
    char *p = static_cast<char *>(buffer);
    long got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, static_cast<size_t>(n - got));
        if (r > 0) {
            got += r;
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            return got > 0 ? got : -1;
        }
    }
    return got;
}

long local_writex(int fd, const void *buffer, long n)
{
    if (n < 1)
        return 0;
    const char *p = static_cast<const char *>(buffer);
    long sent = 0;
    while (sent < n) {
        ssize_t r = write(fd, p + sent, static_cast<size_t>(n - sent));
        if (r > 0) {
            sent += r;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return sent > 0 ? sent : -1;
}
