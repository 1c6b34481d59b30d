// ls, stat, df and cat: what hostsh shows of the host's files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

#include <hostlink/ext.h>

#include "hostsh/shell.h"
#include "hostsh/ui.h"

namespace hostsh {

namespace {

struct Entry {
    std::string shown; // as listed
    std::string path;  // on the host
    StatResult st;
    std::string target; // of a symbolic link
};

// Orders entries as ls does with its flags: by name, size (-S) or time (-t), reversed with -r,
// left in the host's order with -f.
void Order(std::vector<Entry> &entries, const Parsed &p)
{
    if (p.has('f'))
        return;
    auto byName = [](const Entry &a, const Entry &b) { return a.shown < b.shown; };
    if (p.has('S'))
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
            return a.st.st.size != b.st.st.size ? a.st.st.size > b.st.st.size : byName(a, b);
        });
    else if (p.has('t'))
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
            return a.st.st.mtime != b.st.st.mtime ? a.st.st.mtime > b.st.st.mtime : byName(a, b);
        });
    else
        std::stable_sort(entries.begin(), entries.end(), byName);
    if (p.has('r'))
        std::reverse(entries.begin(), entries.end());
}

} // namespace

int Shell::cmdLs(const Parsed &p)
{
    bool longForm = p.has('l') || p.has('n');
    bool needStatus = longForm || p.has('S') || p.has('t');
    bool all = p.has('a') || p.has('f');
    std::vector<std::string> paths;
    int status = 0;
    if (p.args.empty())
        paths.push_back(".");
    else if (!expandAll("ls", p.args, &paths))
        status = 1;
    if (paths.empty())
        return status;
    auto st = remote_.statMany(paths, !longForm);
    int64_t now = time(nullptr);
    bool columns = isatty(1) && !p.has('1');
    // Paths given are shown in their order unless a sort is asked for; a directory's entries
    // are sorted.
    auto show = [&](std::vector<Entry> &entries, bool given) {
        if (longForm) {
            std::vector<std::string> links;
            for (const Entry &e : entries)
                if (IsLinkMode(e.st.st.mode))
                    links.push_back(e.path);
            auto got = remote_.readlinkMany(links);
            size_t li = 0;
            for (Entry &e : entries)
                if (IsLinkMode(e.st.st.mode))
                    e.target = got[li++].value_or("?");
        }
        if (!given || p.has('S') || p.has('t') || p.has('r'))
            Order(entries, p);
        if (!longForm) {
            std::vector<std::string> names;
            for (const Entry &e : entries)
                names.push_back(ShowText(e.shown));
            fputs(FormatColumns(names, columns ? TerminalWidth(1) : 0).c_str(), stdout);
            return;
        }
        std::vector<LongRow> rows;
        for (const Entry &e : entries) {
            const Info &s = e.st.st;
            LongRow r;
            r.mode = ModeString(s.mode);
            r.links = std::to_string(s.nlink);
            r.owner = p.has('n') ? std::to_string(s.uid) : ShowText(owner(s.uid));
            r.group = std::to_string(s.gid);
            r.size = p.has('h') ? HumanSize(static_cast<double>(s.size)) : std::to_string(s.size);
            r.when = ListTime(s.mtime, now);
            r.name = ShowText(e.shown);
            if (IsLinkMode(s.mode))
                r.name += " -> " + ShowText(e.target);
            rows.push_back(std::move(r));
        }
        fputs(FormatLong(rows).c_str(), stdout);
    };
    // Files first, as given; then each directory.
    std::vector<Entry> files;
    std::vector<std::string> dirs;
    for (size_t k = 0; k < paths.size(); k++) {
        if (st[k].result < 0) {
            Complain("ls", paths[k], st[k].error);
            status = 1;
        } else if (IsDirMode(st[k].st.mode))
            dirs.push_back(paths[k]);
        else
            files.push_back({paths[k], paths[k], st[k], ""});
    }
    if (!files.empty())
        show(files, true);
    bool headers = paths.size() > 1;
    for (size_t d = 0; d < dirs.size(); d++) {
        std::vector<std::string> names;
        if (remote_.listNames(dirs[d], &names) < 0) {
            Complain("ls", dirs[d], errno);
            status = 1;
            continue;
        }
        if (all) {
            names.insert(names.begin(), {".", ".."});
        } else
            names.erase(std::remove_if(names.begin(), names.end(), [](const std::string &n) { return n[0] == '.'; }),
                        names.end());
        if (headers)
            printf("%s%s:\n", (d > 0 || !files.empty()) ? "\n" : "", ShowText(dirs[d]).c_str());
        std::vector<Entry> entries;
        std::vector<std::string> full;
        for (const std::string &n : names) {
            full.push_back(JoinPath(dirs[d], n));
            entries.push_back({n, full.back(), {}, ""});
        }
        if (needStatus) {
            auto stats = remote_.statMany(full, false);
            std::vector<Entry> kept;
            for (size_t k = 0; k < entries.size(); k++) {
                if (stats[k].result < 0) {
                    Complain("ls", full[k], stats[k].error);
                    status = 1;
                    continue;
                }
                entries[k].st = stats[k];
                kept.push_back(std::move(entries[k]));
            }
            entries.swap(kept);
        }
        show(entries, false);
    }
    return status;
}

std::vector<std::optional<std::string>> Shell::linkTargets(const std::vector<std::string> &paths,
                                                          const std::vector<StatResult> &st)
{
    std::vector<std::string> links;
    for (size_t k = 0; k < paths.size(); k++)
        if (st[k].result >= 0 && IsLinkMode(st[k].st.mode))
            links.push_back(paths[k]);
    return remote_.readlinkMany(links);
}

int Shell::cmdStat(const Parsed &p)
{
    std::vector<std::string> paths;
    int status = expandAll("stat", p.args, &paths) ? 0 : 1;
    auto st = remote_.statMany(paths, false);
    auto targets = linkTargets(paths, st);
    size_t li = 0;
    auto when = [](int64_t t) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm {};
        char buf[64] = "?";
        if (localtime_r(&tt, &tm))
            strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
        return std::string(buf);
    };
    for (size_t k = 0; k < paths.size(); k++) {
        if (st[k].result < 0) {
            Complain("stat", paths[k], st[k].error);
            status = 1;
            continue;
        }
        const Info &s = st[k].st;
        const char *type = "unknown";
        switch (s.mode & S_IFMT) {
        case S_IFREG: type = "regular file"; break;
        case S_IFDIR: type = "directory"; break;
        case S_IFLNK: type = "symbolic link"; break;
        case S_IFCHR: type = "character device"; break;
        case S_IFBLK: type = "block device"; break;
        case S_IFIFO: type = "fifo"; break;
        case S_IFSOCK: type = "socket"; break;
        }
        std::string name = ShowText(paths[k]);
        if (IsLinkMode(s.mode))
            name += " -> " + ShowText(targets[li++].value_or("?"));
        printf("  File: %s\n", name.c_str());
        printf("  Size: %-12lld Links: %-6u Type: %s\n", static_cast<long long>(s.size), s.nlink, type);
        printf("  Mode: %04o (%s)  Uid: %u  Gid: %u\n", s.mode & 07777, ModeString(s.mode).c_str(), s.uid, s.gid);
        printf(" Inode: %-12llu Device: %llu\n", static_cast<unsigned long long>(s.ino),
               static_cast<unsigned long long>(s.dev));
        printf("Access: %s\nModify: %s\nChange: %s\n", when(s.atime).c_str(), when(s.mtime).c_str(),
               when(s.ctime).c_str());
    }
    return status;
}

int Shell::cmdDf(const Parsed &p)
{
    if (!remote_.extended())
        return needsExtensions("df");
    std::string path = ".";
    if (!p.args.empty()) {
        std::vector<std::string> paths;
        if (!expand("df", p.args[0], &paths))
            return 1;
        path = paths[0];
    }
    remote_.settle();
    hostlink::FsStats fs;
    if (hostlink::statvfs(link_, path, &fs) < 0) {
        Complain("df", path, errno);
        return 1;
    }
    FsFigures f;
    f.frsize = fs.frsize ? fs.frsize : fs.bsize;
    f.blocks = fs.blocks, f.bfree = fs.bfree, f.bavail = fs.bavail;
    f.files = fs.files, f.ffree = fs.ffree, f.favail = fs.favail;
    fputs(DfReport(f, p.has('h'), p.has('i')).c_str(), stdout);
    return 0;
}

int Shell::cmdCat(const Parsed &p)
{
    std::vector<std::string> paths;
    int status = expandAll("cat", p.args, &paths) ? 0 : 1;
    fflush(stdout);
    for (const std::string &path : paths) {
        char where = 0;
        if (remote_.getFile(path, 1, 0, [](int64_t) { return !gInterrupted; }, &where) < 0) {
            int error = errno;
            Complain("cat", where == 'l' ? "standard output" : path, error);
            status = 1;
        }
    }
    return status;
}

} // namespace hostsh
