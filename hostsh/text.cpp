#include "hostsh/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace hostsh {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsGlobChar(char c) { return c == '*' || c == '?' || c == '['; }

void AddQuoted(Word &w, char c)
{
    w.text += c;
    if (IsGlobChar(c) || c == '\\')
        w.pattern += '\\';
    w.pattern += c;
}

// The end of a bracket expression that starts at p[i] == '[', or npos when it is not closed.
size_t BracketEnd(std::string_view p, size_t i)
{
    size_t j = i + 1;
    if (j < p.size() && (p[j] == '!' || p[j] == '^'))
        j++;
    if (j < p.size() && p[j] == ']')
        j++;
    for (; j < p.size(); j++) {
        if (p[j] == '\\')
            j++;
        else if (p[j] == ']')
            return j;
    }
    return std::string_view::npos;
}

bool BracketMatch(std::string_view set, char c)
{
    bool negate = !set.empty() && (set[0] == '!' || set[0] == '^');
    size_t i = negate ? 1 : 0;
    bool found = false;
    bool first = true;
    while (i < set.size()) {
        char lo = set[i];
        if (lo == '\\' && i + 1 < set.size())
            lo = set[++i];
        else if (lo == ']' && !first)
            break;
        first = false;
        i++;
        char hi = lo;
        if (i + 1 < set.size() && set[i] == '-' && set[i + 1] != ']') {
            hi = set[i + 1];
            if (hi == '\\' && i + 2 < set.size())
                hi = set[++i + 1];
            i += 2;
        }
        auto u = static_cast<unsigned char>(c);
        if (u >= static_cast<unsigned char>(lo) && u <= static_cast<unsigned char>(hi))
            found = true;
    }
    return found != negate;
}

bool Match(std::string_view p, std::string_view s, bool leadingDot)
{
    size_t pi = 0, si = 0;
    size_t starP = std::string_view::npos, starS = 0;
    while (si < s.size()) {
        bool dotHere = leadingDot && si == 0 && s[0] == '.';
        if (pi < p.size()) {
            char c = p[pi];
            if (c == '*' && !dotHere) {
                starP = ++pi;
                starS = si;
                continue;
            }
            if (c == '?' && !dotHere) {
                pi++, si++;
                continue;
            }
            if (c == '[' && !dotHere) {
                size_t end = BracketEnd(p, pi);
                if (end != std::string_view::npos) {
                    if (BracketMatch(p.substr(pi + 1, end - pi - 1), s[si])) {
                        pi = end + 1, si++;
                        continue;
                    }
                    goto backtrack;
                }
            }
            if (c == '\\' && pi + 1 < p.size())
                c = p[++pi];
            if (c == s[si]) {
                pi++, si++;
                continue;
            }
        }
    backtrack:
        if (starP == std::string_view::npos)
            return false;
        pi = starP;
        si = ++starS;
    }
    while (pi < p.size() && p[pi] == '*')
        pi++;
    return pi == p.size();
}

} // namespace

std::optional<CommandLine> Tokenize(std::string_view line, int lastStatus, std::string *error)
{
    CommandLine out;
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        i++;
    if (i < line.size() && line[i] == '-') {
        out.ignoreFailure = true;
        i++;
    }
    std::string status = std::to_string(lastStatus);
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i]))
            i++;
        if (i >= line.size() || line[i] == '#')
            break;
        Word w;
        while (i < line.size() && !IsBlank(line[i])) {
            char c = line[i];
            if (c == '\'') {
                size_t end = line.find('\'', i + 1);
                if (end == std::string_view::npos) {
                    *error = "unterminated quote";
                    return std::nullopt;
                }
                for (size_t k = i + 1; k < end; k++)
                    AddQuoted(w, line[k]);
                i = end + 1;
            } else if (c == '"') {
                i++;
                for (;;) {
                    if (i >= line.size()) {
                        *error = "unterminated quote";
                        return std::nullopt;
                    }
                    char d = line[i];
                    if (d == '"') {
                        i++;
                        break;
                    }
                    if (d == '\\' && i + 1 < line.size() && strchr("\"\\$", line[i + 1])) {
                        AddQuoted(w, line[i + 1]);
                        i += 2;
                    } else if (d == '$' && i + 1 < line.size() && line[i + 1] == '?') {
                        for (char s : status)
                            AddQuoted(w, s);
                        i += 2;
                    } else {
                        AddQuoted(w, d);
                        i++;
                    }
                }
            } else if (c == '\\') {
                if (i + 1 >= line.size()) {
                    *error = "backslash at the end of the line";
                    return std::nullopt;
                }
                AddQuoted(w, line[i + 1]);
                i += 2;
            } else if (c == '$' && i + 1 < line.size() && line[i + 1] == '?') {
                for (char s : status)
                    AddQuoted(w, s);
                i += 2;
            } else {
                w.text += c;
                w.pattern += c;
                if (IsGlobChar(c))
                    w.glob = true;
                i++;
            }
        }
        // A '[' without its ']' is no wildcard.
        if (w.glob)
            w.glob = HasGlob(w.pattern);
        out.words.push_back(std::move(w));
    }
    return out;
}

bool HasGlob(std::string_view p)
{
    for (size_t i = 0; i < p.size(); i++) {
        if (p[i] == '\\')
            i++;
        else if (p[i] == '*' || p[i] == '?')
            return true;
        else if (p[i] == '[' && BracketEnd(p, i) != std::string_view::npos)
            return true;
    }
    return false;
}

std::string Unescape(std::string_view p)
{
    std::string out;
    for (size_t i = 0; i < p.size(); i++) {
        if (p[i] == '\\' && i + 1 < p.size())
            i++;
        out += p[i];
    }
    return out;
}

bool GlobMatch(std::string_view pattern, std::string_view name) { return Match(pattern, name, true); }

std::string ModeString(uint32_t mode)
{
    std::string s(10, '-');
    switch (mode & S_IFMT) {
    case S_IFDIR: s[0] = 'd'; break;
    case S_IFLNK: s[0] = 'l'; break;
    case S_IFCHR: s[0] = 'c'; break;
    case S_IFBLK: s[0] = 'b'; break;
    case S_IFIFO: s[0] = 'p'; break;
    case S_IFSOCK: s[0] = 's'; break;
    case S_IFREG: break;
    default: s[0] = '?'; break;
    }
    const char *rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        if (mode & (0400u >> i))
            s[static_cast<size_t>(i) + 1] = rwx[i];
    auto special = [&](uint32_t bit, size_t at, char set, char unset) {
        if (mode & bit)
            s[at] = s[at] == 'x' ? set : unset;
    };
    special(S_ISUID, 3, 's', 'S');
    special(S_ISGID, 6, 's', 'S');
    special(S_ISVTX, 9, 't', 'T');
    return s;
}

std::string ListTime(int64_t when, int64_t now)
{
    time_t t = static_cast<time_t>(when);
    struct tm tm {};
    if (!localtime_r(&t, &tm))
        return "?";
    constexpr int64_t halfYear = 365LL * 24 * 3600 / 2;
    bool recent = when <= now + 3600 && now - when < halfYear;
    char buf[64];
    strftime(buf, sizeof buf, recent ? "%b %e %H:%M" : "%b %e  %Y", &tm);
    return buf;
}

std::string FormatLong(const std::vector<LongRow> &rows)
{
    size_t w[5] = {0, 0, 0, 0, 0};
    for (const LongRow &r : rows) {
        w[0] = std::max(w[0], r.links.size());
        w[1] = std::max(w[1], r.owner.size());
        w[2] = std::max(w[2], r.group.size());
        w[3] = std::max(w[3], r.size.size());
        w[4] = std::max(w[4], r.when.size());
    }
    std::string out;
    auto pad = [&](const std::string &s, size_t width, bool right) {
        if (right)
            out.append(width - s.size(), ' ');
        out += s;
        if (!right)
            out.append(width - s.size(), ' ');
    };
    for (const LongRow &r : rows) {
        out += r.mode;
        out += ' ';
        pad(r.links, w[0], true);
        out += ' ';
        pad(r.owner, w[1], false);
        out += ' ';
        pad(r.group, w[2], false);
        out += ' ';
        pad(r.size, w[3], true);
        out += ' ';
        pad(r.when, w[4], false);
        out += ' ';
        out += r.name;
        out += '\n';
    }
    return out;
}

std::string FormatColumns(const std::vector<std::string> &names, int width)
{
    std::string out;
    size_t widest = 0;
    for (const std::string &n : names)
        widest = std::max(widest, n.size());
    size_t colWidth = widest + 2;
    size_t cols = width > 0 ? std::max<size_t>(1, static_cast<size_t>(width) / colWidth) : 1;
    size_t rows = (names.size() + cols - 1) / cols;
    for (size_t r = 0; r < rows; r++) {
        for (size_t c = 0; c < cols; c++) {
            size_t i = c * rows + r;
            if (i >= names.size())
                break;
            out += names[i];
            bool last = c + 1 == cols || (c + 1) * rows + r >= names.size();
            if (!last)
                out.append(colWidth - names[i].size(), ' ');
        }
        out += '\n';
    }
    return out;
}

std::string DfReport(const FsFigures &f, bool human, bool inodes)
{
    char line[256];
    std::string out;
    auto percent = [](uint64_t used, uint64_t total) {
        return static_cast<unsigned long long>(total ? 100 * used / total : 0);
    };
    if (inodes) {
        uint64_t used = f.files - std::min(f.ffree, f.files);
        out = "     Inodes        Used       Avail      (root)    %Capacity\n";
        snprintf(line, sizeof line, "%11llu %11llu %11llu %11llu         %3llu%%\n",
                 static_cast<unsigned long long>(f.files), static_cast<unsigned long long>(used),
                 static_cast<unsigned long long>(f.favail), static_cast<unsigned long long>(f.ffree),
                 percent(used, f.files));
        return out + line;
    }
    uint64_t used = f.blocks - std::min(f.bfree, f.blocks);
    auto bytes = [&f](uint64_t n) { return static_cast<double>(n) * static_cast<double>(f.frsize); };
    if (human) {
        out = "    Size     Used    Avail   (root)    %Capacity\n";
        snprintf(line, sizeof line, "%8s %8s %8s %8s         %3llu%%\n", HumanSize(bytes(f.blocks)).c_str(),
                 HumanSize(bytes(used)).c_str(), HumanSize(bytes(f.bavail)).c_str(),
                 HumanSize(bytes(f.bfree)).c_str(), percent(used, f.blocks));
        return out + line;
    }
    auto kib = [&](uint64_t n) { return static_cast<unsigned long long>(bytes(n) / 1024); };
    out = "        Size         Used        Avail       (root)    %Capacity\n";
    snprintf(line, sizeof line, "%12llu %12llu %12llu %12llu         %3llu%%\n", kib(f.blocks), kib(used),
             kib(f.bavail), kib(f.bfree), percent(used, f.blocks));
    return out + line;
}

std::string HumanSize(double bytes)
{
    const char *units = "BKMGTP";
    int u = 0;
    while (bytes >= 1024 && u < 5) {
        bytes /= 1024;
        u++;
    }
    char buf[32];
    if (u == 0)
        snprintf(buf, sizeof buf, "%.0f%c", bytes, units[u]);
    else
        snprintf(buf, sizeof buf, bytes < 10 ? "%.1f%c" : "%.0f%c", bytes, units[u]);
    return buf;
}

namespace {
std::string Clock(double seconds)
{
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%02ld:%02ld", s / 60, s % 60);
    return buf;
}
} // namespace

std::string ProgressLine(std::string_view name, int64_t done, int64_t total, double seconds, bool finished,
                         int width)
{
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char tail[96];
    std::string percent = total > 0 ? std::to_string(std::min<int64_t>(100, done * 100 / total)) + "%" : "";
    if (total == 0 && finished)
        percent = "100%";
    std::string when;
    if (finished)
        when = Clock(seconds) + "    ";
    else if (rate > 0 && total > done)
        when = Clock(static_cast<double>(total - done) / rate) + " ETA";
    else
        when = "--:-- ETA";
    snprintf(tail, sizeof tail, " %4s %7s %7s/s %9s", percent.c_str(), HumanSize(static_cast<double>(done)).c_str(),
             HumanSize(rate).c_str(), when.c_str());
    int room = std::max(1, width - static_cast<int>(strlen(tail)));
    std::string out(name.substr(0, static_cast<size_t>(room)));
    out.append(static_cast<size_t>(room) - out.size(), ' ');
    out += tail;
    return out;
}

std::string Message(std::string_view command, std::string_view path, int error)
{
    std::string out(command);
    out += ": ";
    if (!path.empty()) {
        out += ShowText(path);
        out += ": ";
    }
    out += Reason(error);
    return out;
}

std::string Reason(int error)
{
    if (error == EOVERFLOW)
        return "too large for this agent (start it with -x for files of 2 GiB and more)";
    return strerror(error);
}

std::string ShowText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += ch;
    }
    return out;
}

std::string WordAt(std::string_view line, size_t point, size_t *start)
{
    point = std::min(point, line.size());
    std::string text;
    char quote = 0;
    *start = 0;
    bool inWord = false;
    for (size_t i = 0; i < point; i++) {
        char c = line[i];
        if (!quote && (c == ' ' || c == '\t')) {
            inWord = false;
            text.clear();
            continue;
        }
        if (!inWord) {
            inWord = true;
            *start = i;
        }
        if (quote) {
            if (c == quote)
                quote = 0;
            else if (quote == '"' && c == '\\' && i + 1 < point && strchr("\"\\$", line[i + 1]))
                text += line[++i];
            else
                text += c;
        } else if (c == '\'' || c == '"')
            quote = c;
        else if (c == '\\' && i + 1 < point)
            text += line[++i];
        else if (c != '\\')
            text += c;
    }
    if (!inWord)
        *start = point;
    return text;
}

bool SafeName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string QuoteWord(std::string_view word)
{
    std::string out;
    for (char c : word) {
        if (strchr(" \t\n'\"\\$#*?[]", c) && c != '\0')
            out += '\\';
        out += c;
    }
    return out;
}

std::string JoinPath(std::string_view dir, std::string_view name)
{
    if (!name.empty() && name[0] == '/')
        return std::string(name);
    if (dir.empty() || dir == ".")
        return std::string(name);
    std::string out(dir);
    if (out.back() != '/')
        out += '/';
    out += name;
    return out;
}

std::string BaseName(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return std::string(path);
    if (path == "/")
        return "";
    return std::string(path.substr(slash + 1));
}

} // namespace hostsh
