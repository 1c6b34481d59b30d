#include "common/settings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

Settings settings;

long long traceConnection;

namespace {

bool midLine; // the last diagnostic left its line open

// Numbers a line by its connection when one is set; a line ends with a format that ends in a newline.
void Emit(const char *format, va_list ap)
{
    if (traceConnection) {
        if (!midLine)
            fprintf(stderr, "[%lld] ", traceConnection);
        size_t n = strlen(format);
        midLine = n == 0 || format[n - 1] != '\n';
    }
    vfprintf(stderr, format, ap);
}

} // namespace

void Error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Emit(format, ap);
    va_end(ap);
}

void Verbose(const char *format, ...)
{
    if (!settings.verbose)
        return;
    va_list ap;
    va_start(ap, format);
    Emit(format, ap);
    va_end(ap);
}

namespace {

// Room for the escaped strings of one request: its own strings and the host's answer.
char traceArea[8 * 65536];
size_t traceUsed;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

} // namespace

void TraceReset() { traceUsed = 0; }

const char *ShownBytes(const char *string, int n)
{
    if (!settings.verbose)
        return string; // not traced
    size_t length = 0;
    bool plain = true;
    for (; static_cast<int>(length) < n && string[length]; length++)
        plain = plain && !IsControl(static_cast<unsigned char>(string[length]));
    if (plain && static_cast<int>(length) < n)
        return string; // its NUL came first
    char *out = traceArea + traceUsed;
    size_t room = sizeof traceArea - traceUsed - 1;
    if (traceUsed >= sizeof traceArea - 1)
        return "";
    size_t used = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(string[i]);
        char escaped[5] = {static_cast<char>(c), 0};
        if (c == '\n' || c == '\t' || c == '\r')
            snprintf(escaped, sizeof escaped, "\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
        else if (IsControl(c))
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
        size_t size = strlen(escaped);
        if (size > room - used)
            break;
        memcpy(out + used, escaped, size);
        used += size;
    }
    out[used] = '\0';
    traceUsed += used + 1;
    return out;
}

const char *Shown(const char *string)
{
    return ShownBytes(string, 0x7fffffff);
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
