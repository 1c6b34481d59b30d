// The pure parts of hostsh: command lines, glob patterns and what it prints.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostsh {

// One word of a command line. text is the word as the command sees it; pattern is the same
// word with every quoted or escaped glob character (and backslash) behind a backslash, so that
// only the characters typed bare act as wildcards; glob is set when one of them is there.
struct Word {
    std::string text;
    std::string pattern;
    bool glob = false;
};

struct CommandLine {
    std::vector<Word> words;
    bool ignoreFailure = false; // the line began with '-'
};

// Splits a line into words: blanks separate them; '...' keeps everything literal; "..." keeps
// everything but \" \\ \$ and $?; a backslash outside quotes takes the next character as it is;
// $? outside single quotes becomes lastStatus. A '#' where a word would begin ends the line.
// A leading '-' (before the first word) marks a line whose failure is ignored.
// Returns nullopt and sets error for an unterminated quote or a trailing backslash.
std::optional<CommandLine> Tokenize(std::string_view line, int lastStatus, std::string *error);

// The word of a command line that ends at point, as it is being typed: its text with quotes and
// backslashes taken away, and in *start where it begins in line.
std::string WordAt(std::string_view line, size_t point, size_t *start);

// Whether name matches pattern (one path component): '*' any run of characters, '?' one,
// '[...]' one of a set ('!' or '^' first negates, a-z ranges), a backslash takes the next
// character literally. A leading '.' of name matches only a '.' written in the pattern.
bool GlobMatch(std::string_view pattern, std::string_view name);
// Whether the pattern holds a wildcard that is not behind a backslash.
bool HasGlob(std::string_view pattern);
// The pattern with its backslashes taken away.
std::string Unescape(std::string_view pattern);

// "drwxr-xr-x" from a mode word as the host gives it.
std::string ModeString(uint32_t mode);

// One row of a long listing; the widths line the columns up.
struct LongRow {
    std::string mode, links, owner, group, size, when, name;
};
// The time column of a long listing, in this machine's time zone: month, day and hour:minute
// within half a year of now, month, day and year otherwise.
std::string ListTime(int64_t when, int64_t now);
// Lines of a long listing with the columns aligned, each ending in a newline.
std::string FormatLong(const std::vector<LongRow> &rows);
// Names in columns across a width (one per line when width is 0).
std::string FormatColumns(const std::vector<std::string> &names, int width);

// The progress line of a transfer, without its leading carriage return, at most width columns:
// name, percent, bytes, rate and time left (or time taken when done).
std::string ProgressLine(std::string_view name, int64_t done, int64_t total, double seconds, bool finished,
                         int width);
// The report of df: a header line and a line of figures, as sftp prints them. Sizes in KiB, or
// with units (human), or inode counts (inodes).
struct FsFigures {
    uint64_t frsize = 0, blocks = 0, bfree = 0, bavail = 0, files = 0, ffree = 0, favail = 0;
};
std::string DfReport(const FsFigures &f, bool human, bool inodes);
// 1.5K-style size with a unit of 1024.
std::string HumanSize(double bytes);

// "cmd: path: reason", the path shown as ShowText does. EOVERFLOW (a size, offset or time that
// the agent's standard calls cannot carry) says that the agent needs -x.
std::string Message(std::string_view command, std::string_view path, int error);
// The reason Message gives for an error.
std::string Reason(int error);

// Text from the host made safe for a terminal: newline, tab and carriage return as \n \t \r,
// every other control byte (and DEL) as \xHH, so that one name stays on one line and no escape
// sequence reaches the terminal. A backslash stays as it is.
std::string ShowText(std::string_view text);
// Whether a name that a host directory listed can be a name here: not empty, no '/', not "." or
// "..", no NUL.
bool SafeName(std::string_view name);
// A word as it must be typed so that Tokenize gives it back whole and literal: blanks, quotes,
// backslashes, '$', '#' and the glob characters behind a backslash.
std::string QuoteWord(std::string_view word);

// Joins a host path onto a directory ("." stays out of the way; an absolute path stands alone).
std::string JoinPath(std::string_view dir, std::string_view name);
// The last component of a path ("" for "/").
std::string BaseName(std::string_view path);

} // namespace hostsh
