#include "hostsh/ui.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostsh/text.h"

namespace hostsh {

volatile sig_atomic_t gInterrupted = 0;
bool gProgressShown = false;

void Complain(const std::string &text)
{
    if (gProgressShown) {
        fputc('\n', stderr);
        gProgressShown = false;
    }
    fflush(stdout);
    fprintf(stderr, "%s\n", text.c_str());
}

void Complain(const char *cmd, const std::string &path, int error) { Complain(Message(cmd, path, error)); }

int TerminalWidth(int fd)
{
    struct winsize ws = {};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

bool IsDirMode(uint32_t mode) { return (mode & S_IFMT) == S_IFDIR; }
bool IsLinkMode(uint32_t mode) { return (mode & S_IFMT) == S_IFLNK; }
bool IsRegMode(uint32_t mode) { return (mode & S_IFMT) == S_IFREG; }

Meter::Meter(bool on, std::string name, int64_t total) : on_(on), name_(ShowText(name)), total_(total) {}

bool Meter::update(int64_t done)
{
    if (gInterrupted)
        return false;
    if (!on_)
        return true;
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(250))
        return true;
    last_ = now;
    draw(done, false);
    return true;
}

void Meter::finish(int64_t done, bool ok)
{
    if (!on_)
        return;
    if (ok)
        draw(done, true);
    if (gProgressShown)
        fputc('\n', stderr);
    gProgressShown = false;
}

void Meter::draw(int64_t done, bool finished)
{
    // Only while this process owns the terminal.
    if (!finished && tcgetpgrp(2) != getpgrp())
        return;
    double secs = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string line = ProgressLine(name_, done, total_, secs, finished, TerminalWidth(2));
    fprintf(stderr, "\r%s", line.c_str());
    fflush(stderr);
    gProgressShown = true;
}

} // namespace hostsh
