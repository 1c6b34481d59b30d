// What every command of hostsh shares on the terminal: complaints on standard error (after a
// progress line, if one is showing), the progress meter, and the terminal's width.
#pragma once
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

namespace hostsh {

// Set by the interrupt handler: the command under way stops.
extern volatile sig_atomic_t gInterrupted;

// Whether a progress line is on the screen and needs a newline before other output.
extern bool gProgressShown;

// One line on standard error; standard output is flushed first so that the two keep their order.
void Complain(const std::string &text);
// "cmd: path: reason" (Message).
void Complain(const char *cmd, const std::string &path, int error);
// Columns of the terminal on fd (80 when it is none).
int TerminalWidth(int fd);

bool IsDirMode(uint32_t mode);
bool IsLinkMode(uint32_t mode);
bool IsRegMode(uint32_t mode);

// Draws the progress of one transfer at most four times a second.
class Meter {
public:
    Meter(bool on, std::string name, int64_t total);
    // false once the user has interrupted.
    bool update(int64_t done);
    void finish(int64_t done, bool ok);

private:
    using Clock = std::chrono::steady_clock;
    void draw(int64_t done, bool finished);
    bool on_;
    std::string name_;
    int64_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_ = Clock::now() - std::chrono::seconds(1);
};

} // namespace hostsh
