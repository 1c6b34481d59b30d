// get, put, reget and reput.
//
// Local files are made relative to a directory descriptor, never through a symbolic link
// (O_NOFOLLOW), and from names the host listed only when those are plain names. A partial file
// is removed after a failure unless the copy continues one (-a, reget, reput); an interrupted
// copy is kept so that it can be continued.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include <hostlink/calls.h>
#include <hostlink/ext.h>

#include "hostsh/shell.h"
#include "hostsh/ui.h"

namespace hostsh {

namespace {

// A directory descriptor that closes itself.
struct Dir {
    int fd = -1;
    explicit Dir(int f) : fd(f) {}
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The directory part of a local path ("." for none) and its last component.
std::pair<std::string, std::string> Split(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

mode_t Umask()
{
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

std::string Base(const std::string &path)
{
    std::string base = BaseName(path);
    return base.empty() || base == "." || base == ".." ? "root" : base;
}

Shell::Transfer Options(const char *cmd, const Parsed &p, bool append)
{
    Shell::Transfer t;
    t.cmd = cmd;
    t.append = append || p.has('a');
    t.sync = p.has('f');
    t.keep = p.has('p');
    t.recursive = p.has('r') || p.has('R');
    return t;
}

} // namespace

int Shell::cmdGet(const Parsed &p) { return get(Options("get", p, false), p); }
int Shell::cmdReget(const Parsed &p) { return get(Options("reget", p, true), p); }
int Shell::cmdPut(const Parsed &p) { return put(Options("put", p, false), p); }
int Shell::cmdReput(const Parsed &p) { return put(Options("reput", p, true), p); }

int Shell::openLocal(const Transfer &t, int dirFd, const std::string &name, const std::string &shown,
                     bool *created)
{
    *created = false;
    int fd = -1;
    if (t.append)
        fd = openat(dirFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); // read to compare its start
    if (fd < 0 && (!t.append || errno == ENOENT)) {
        fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        *created = fd >= 0;
        if (fd < 0 && errno == EEXIST)
            fd = openat(dirFd, name.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        Complain(t.cmd, shown, errno);
        return -1;
    }
    struct stat local;
    if (fstat(fd, &local) < 0 || !S_ISREG(local.st_mode)) {
        Complain(t.cmd, shown, S_ISDIR(local.st_mode) ? EISDIR : EINVAL);
        close(fd);
        return -1;
    }
    return fd;
}

int Shell::finishLocal(const Transfer &t, const Landing &to, const Info &st, int error, char where)
{
    if (!error && t.keep) {
        fchmod(to.fd, static_cast<mode_t>(st.mode & 07777));
        struct timespec times[2] = {{static_cast<time_t>(st.atime), 0}, {static_cast<time_t>(st.mtime), 0}};
        futimens(to.fd, times);
    } else if (!error && to.created)
        fchmod(to.fd, static_cast<mode_t>(st.mode & 0777) & ~Umask());
    if (!error && t.sync && fsync(to.fd) < 0)
        error = errno, where = 'l';
    if (close(to.fd) < 0 && !error)
        error = errno, where = 'l';
    if (!error)
        return 0;
    if (error == EINTR) {
        Complain(std::string(t.cmd) + ": " + ShowText(to.src) + ": interrupted; " + ShowText(to.shown) +
                 " is kept (reget continues it)");
        return 1;
    }
    Complain(t.cmd, where == 'l' ? to.shown : to.src, error);
    if (!t.append && (to.created || where != 'o'))
        unlinkat(to.dirFd, to.name.c_str(), 0);
    return 1;
}

int Shell::getOne(const Transfer &t, const std::string &src, int dirFd, const std::string &name,
                  const std::string &shown, const Info &st)
{
    Landing to{src, dirFd, name, shown, -1, false};
    to.fd = openLocal(t, dirFd, name, shown, &to.created);
    if (to.fd < 0)
        return 1;
    return getInto(t, to, st);
}

int Shell::getInto(const Transfer &t, const Landing &to, const Info &st)
{
    int64_t offset = 0;
    struct stat local;
    if (t.append && fstat(to.fd, &local) == 0 && local.st_size > 0) {
        offset = local.st_size;
        int same = offset <= st.size ? remote_.sameStart(to.src, to.fd, offset) : 0;
        if (same <= 0) {
            if (same < 0)
                Complain(t.cmd, to.src, errno);
            else
                Complain(std::string(t.cmd) + ": " + ShowText(to.shown) + ": does not match the start of " +
                         ShowText(to.src) + "; not continued");
            close(to.fd);
            return 1;
        }
    }
    if (lseek(to.fd, offset, SEEK_SET) < 0 || (!t.append && ftruncate(to.fd, 0) < 0)) {
        Complain(t.cmd, to.shown, errno);
        close(to.fd);
        return 1;
    }
    Meter meter(showProgress(), BaseName(to.src), IsRegMode(st.mode) ? st.size - offset : -1);
    int64_t moved = 0;
    char where = 0;
    int rc = remote_.getFile(to.src, to.fd, offset, [&](int64_t done) { moved = done; return meter.update(done); },
                             &where);
    int error = rc < 0 ? errno : 0;
    meter.finish(moved, rc == 0);
    return finishLocal(t, to, st, error, where);
}

int Shell::getTree(const Transfer &t, const std::string &src, const Info &self, int parentFd, const std::string &name,
                   const std::string &shown)
{
    if (mkdirat(parentFd, name.c_str(), 0700) < 0 && errno != EEXIST) {
        Complain(t.cmd, shown, errno);
        return 1;
    }
    Dir dir(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) {
        Complain(t.cmd, shown, errno == ELOOP ? ENOTDIR : errno);
        return 1;
    }
    std::vector<std::string> names;
    if (remote_.listNames(src, &names) < 0) {
        Complain(t.cmd, src, errno);
        return 1;
    }
    std::sort(names.begin(), names.end());
    int status = 0, refused = 0;
    std::vector<std::string> full, safe;
    for (const std::string &n : names) {
        // A name that could lead out of this directory is refused; the others still come.
        if (!SafeName(n)) {
            Complain(std::string(t.cmd) + ": " + ShowText(src) + ": the host lists an entry named \"" + ShowText(n) +
                     "\"; skipped");
            refused = 1;
            continue;
        }
        safe.push_back(n);
        full.push_back(JoinPath(src, n));
    }
    auto st = remote_.statMany(full, false);
    auto targets = linkTargets(full, st);
    size_t li = 0;
    std::vector<size_t> small;
    std::vector<Info> infos;
    for (size_t k = 0; k < full.size() && !gInterrupted; k++) {
        if (status && !ignoreFailure_)
            break;
        std::string to = shown + "/" + safe[k];
        const Info &s = st[k].st;
        if (st[k].result < 0) {
            Complain(t.cmd, full[k], st[k].error);
            status = 1;
        } else if (IsDirMode(s.mode)) {
            status |= getTree(t, full[k], s, dir.fd, safe[k], to);
        } else if (IsLinkMode(s.mode)) {
            const auto &target = targets[li++];
            if (!target) {
                Complain(t.cmd, full[k], EIO);
                status = 1;
                continue;
            }
            struct stat old;
            if (fstatat(dir.fd, safe[k].c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(old.st_mode))
                unlinkat(dir.fd, safe[k].c_str(), 0);
            if (symlinkat(target->c_str(), dir.fd, safe[k].c_str()) < 0) {
                Complain(t.cmd, to, errno);
                status = 1;
            }
        } else if (IsRegMode(s.mode) && !t.append && s.size <= Remote::smallLimit()) {
            small.push_back(k); // a group at a time, below
        } else if (IsRegMode(s.mode)) {
            status |= getOne(t, full[k], dir.fd, safe[k], to, s);
        } else {
            Complain(std::string(t.cmd) + ": " + ShowText(full[k]) + ": not a regular file, skipped");
            status = 1;
        }
    }
    if (!small.empty() && !gInterrupted && !(status && !ignoreFailure_)) {
        std::vector<Landing> landings;
        std::vector<SmallFile> files;
        for (size_t k : small) {
            Landing to{full[k], dir.fd, safe[k], shown + "/" + safe[k], -1, false};
            to.fd = openLocal(t, dir.fd, safe[k], to.shown, &to.created);
            if (to.fd < 0) {
                status = 1;
                if (!ignoreFailure_)
                    break;
                continue;
            }
            landings.push_back(to);
            files.push_back({full[k], to.fd, st[k].st.size, 0, 0, 0, false});
            infos.push_back(st[k].st);
        }
        remote_.getSmall(files, !ignoreFailure_);
        for (size_t i = 0; i < files.size(); i++) {
            if (files[i].error == ECANCELED) {
                close(landings[i].fd);
                if (landings[i].created)
                    unlinkat(dir.fd, landings[i].name.c_str(), 0);
            } else if (files[i].grew)
                status |= getInto(t, landings[i], infos[i]); // copied on its own
            else
                status |= finishLocal(t, landings[i], infos[i], files[i].error, files[i].where);
        }
    }
    fchmod(dir.fd, static_cast<mode_t>(self.mode) & 07777);
    if (t.keep) {
        struct timespec times[2] = {{static_cast<time_t>(self.atime), 0}, {static_cast<time_t>(self.mtime), 0}};
        futimens(dir.fd, times);
    }
    return status | refused;
}

int Shell::get(const Transfer &t, const Parsed &p)
{
    std::vector<std::string> sources;
    if (!expand(t.cmd, p.args[0], &sources))
        return 1;
    std::string local = p.args.size() > 1 ? p.args[1].text : "";
    struct stat lst;
    bool localDir = !local.empty() && stat(local.c_str(), &lst) == 0 && S_ISDIR(lst.st_mode);
    if (sources.size() > 1 && !local.empty() && !localDir) {
        Complain(t.cmd, local, ENOTDIR);
        return 1;
    }
    // A single file is opened in the round of its status, a round trip sooner.
    auto st = remote_.statMany(sources, true, sources.size() == 1 && !t.append);
    int status = 0;
    for (size_t k = 0; k < sources.size() && !gInterrupted; k++) {
        if (status && !ignoreFailure_ && t.recursive)
            break;
        const std::string &src = sources[k];
        if (st[k].result < 0) {
            Complain(t.cmd, src, st[k].error);
            status = 1;
            continue;
        }
        // Where the copy goes: a directory and a name in it.
        std::string dirPath = ".", name = Base(src), shown = name;
        if (localDir)
            dirPath = local, shown = local + "/" + name;
        else if (!local.empty())
            std::tie(dirPath, name) = Split(local), shown = local;
        Dir dir(open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0) {
            Complain(t.cmd, dirPath, errno);
            status = 1;
            continue;
        }
        if (IsDirMode(st[k].st.mode)) {
            if (!t.recursive) {
                Complain(std::string(t.cmd) + ": " + ShowText(src) + ": is a directory (" + t.cmd +
                         " -r copies directories)");
                status = 1;
                continue;
            }
            status |= getTree(t, src, st[k].st, dir.fd, name, shown);
        } else
            status |= getOne(t, src, dir.fd, name, shown, st[k].st);
    }
    remote_.forgetOpened();
    return status;
}

void Shell::keepTimes(const std::string &dest, const struct stat &st)
{
    if (!remote_.extended()) {
        if (!toldExtensions_)
            Complain("put -p: the times are not kept: the agent does not offer this (start it with -x)");
        toldExtensions_ = true;
        return;
    }
    remote_.settle();
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (hostlink::utimens(link_, dest, times, true) < 0)
        Complain("put", dest, errno);
}

int Shell::putOne(const Transfer &t, const std::string &src, const std::string &dest, const struct stat &info)
{
    int fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Complain(t.cmd, src, errno);
        return 1;
    }
    int64_t offset = 0;
    if (t.append) {
        auto there = remote_.statMany({dest}, true);
        if (there[0].result >= 0 && there[0].st.size > 0) {
            offset = there[0].st.size;
            int same = offset <= info.st_size ? remote_.sameStart(dest, fd, offset) : 0;
            if (same <= 0) {
                if (same < 0)
                    Complain(t.cmd, dest, errno);
                else
                    Complain(std::string(t.cmd) + ": " + ShowText(dest) + ": does not match the start of " +
                             ShowText(src) + "; not continued");
                close(fd);
                return 1;
            }
        }
        if (lseek(fd, offset, SEEK_SET) < 0) {
            Complain(t.cmd, src, errno);
            close(fd);
            return 1;
        }
    }
    Meter meter(showProgress(), BaseName(src), info.st_size - offset);
    int64_t moved = 0;
    char where = 0;
    int rc = remote_.putFile(fd, dest, static_cast<int32_t>(info.st_mode & 0777), offset, t.sync,
                             [&](int64_t done) { moved = done; return meter.update(done); }, &where);
    int error = errno;
    close(fd);
    meter.finish(moved, rc == 0);
    if (rc == 0) {
        if (t.keep) {
            if (hostlink::chmod(link_, dest, static_cast<int32_t>(info.st_mode & 07777)) < 0)
                Complain(t.cmd, dest, errno);
            keepTimes(dest, info);
        }
        return 0;
    }
    if (error == EINTR) {
        Complain(std::string(t.cmd) + ": " + ShowText(src) + ": interrupted; " + ShowText(dest) +
                 " is kept (reput continues it)");
        return 1;
    }
    Complain(t.cmd, where == 'l' ? src : dest, error);
    if (!t.append && where != 'o')
        hostlink::unlink(link_, dest);
    return 1;
}

int Shell::putTree(const Transfer &t, const std::string &src, const std::string &dest)
{
    // Walk the local tree first; then make every directory in one batch, every link in
    // another, and send the files.
    std::vector<std::string> dirs = {dest};
    std::vector<struct stat> dirStats;
    std::vector<std::pair<std::string, std::string>> links;
    std::vector<std::tuple<std::string, std::string, struct stat>> files;
    int status = 0;
    struct stat top;
    if (stat(src.c_str(), &top) < 0) {
        Complain(t.cmd, src, errno);
        return 1;
    }
    dirStats.push_back(top);
    std::vector<std::pair<std::string, std::string>> todo = {{src, dest}};
    while (!todo.empty() && !(status && !ignoreFailure_)) {
        auto [from, to] = todo.back();
        todo.pop_back();
        DIR *d = opendir(from.c_str());
        if (!d) {
            Complain(t.cmd, from, errno);
            status = 1;
            continue;
        }
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        std::vector<std::pair<std::string, std::string>> sub;
        for (const std::string &n : names) {
            std::string f = from + "/" + n, h = JoinPath(to, n);
            struct stat st;
            if (lstat(f.c_str(), &st) < 0) {
                Complain(t.cmd, f, errno);
                status = 1;
            } else if (S_ISDIR(st.st_mode)) {
                dirs.push_back(h);
                dirStats.push_back(st);
                sub.emplace_back(f, h);
            } else if (S_ISLNK(st.st_mode)) {
                char buf[4096];
                ssize_t len = readlink(f.c_str(), buf, sizeof buf);
                if (len < 0) {
                    Complain(t.cmd, f, errno);
                    status = 1;
                } else
                    links.emplace_back(std::string(buf, static_cast<size_t>(len)), h);
            } else if (S_ISREG(st.st_mode))
                files.emplace_back(f, h, st);
            else {
                Complain(std::string(t.cmd) + ": " + ShowText(f) + ": not a regular file, skipped");
                status = 1;
            }
        }
        todo.insert(todo.end(), sub.rbegin(), sub.rend());
    }
    if (status && !ignoreFailure_)
        return status;
    // Directories are made writable for the copy; their own modes come last.
    auto made = remote_.mkdirMany(dirs, 0700);
    std::vector<std::string> existing;
    for (size_t k = 0; k < dirs.size(); k++)
        if (made[k] == EEXIST)
            existing.push_back(dirs[k]);
    auto there = remote_.statMany(existing, false);
    for (size_t k = 0, e = 0; k < dirs.size(); k++) {
        if (made[k] == EEXIST && there[e++].result >= 0 && IsDirMode(there[e - 1].st.mode))
            continue;
        if (made[k]) {
            Complain(t.cmd, dirs[k], made[k]);
            return 1;
        }
    }
    auto linked = remote_.symlinkMany(links);
    for (size_t k = 0; k < links.size(); k++)
        if (linked[k] == EEXIST) {
            hostlink::unlink(link_, links[k].second);
            linked[k] = hostlink::symlink(link_, links[k].first, links[k].second) < 0 ? errno : 0;
        }
    for (size_t k = 0; k < links.size(); k++)
        if (linked[k]) {
            Complain(t.cmd, links[k].second, linked[k]);
            status = 1;
        }
    // Small files a group at a time, then the others one by one.
    std::vector<SmallFile> small;
    std::vector<size_t> which;
    for (size_t k = 0; k < files.size() && !t.append; k++) {
        const auto &[f, h, st] = files[k];
        if (st.st_size > Remote::smallLimit())
            continue;
        int fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            Complain(t.cmd, f, errno);
            status = 1;
            continue;
        }
        small.push_back({h, fd, st.st_size, static_cast<int32_t>(st.st_mode & 0777), 0, 0, false});
        which.push_back(k);
    }
    if (!(status && !ignoreFailure_))
        remote_.putSmall(small, !ignoreFailure_);
    else
        for (SmallFile &f : small)
            f.error = ECANCELED; // not sent: the copy stopped at a failure
    std::vector<bool> done(files.size(), false);
    for (size_t i = 0; i < small.size(); i++) {
        close(small[i].local);
        const auto &[f, h, st] = files[which[i]];
        const SmallFile &r = small[i];
        done[which[i]] = r.error != EAGAIN; // one that grew goes on its own below
        if (r.error == EAGAIN || r.error == ECANCELED)
            continue;
        if (r.error) {
            // After the first failure (which stops the copy) the others only leave nothing.
            if (!(status && !ignoreFailure_))
                Complain(t.cmd, r.where == 'l' ? f : h, r.error);
            if (r.where != 'o')
                hostlink::unlink(link_, h);
            status = 1;
        } else if (t.keep) {
            if (hostlink::chmod(link_, h, static_cast<int32_t>(st.st_mode & 07777)) < 0)
                Complain(t.cmd, h, errno);
            keepTimes(h, st);
        }
    }
    for (size_t k = 0; k < files.size(); k++) {
        if (gInterrupted || (status && !ignoreFailure_))
            break;
        if (!done[k])
            status |= putOne(t, std::get<0>(files[k]), std::get<1>(files[k]), std::get<2>(files[k]));
    }
    std::vector<std::pair<std::string, int32_t>> modes;
    for (size_t k = dirs.size(); k-- > 0;)
        modes.emplace_back(dirs[k], static_cast<int32_t>(dirStats[k].st_mode & 07777));
    remote_.chmodMany(modes);
    for (size_t k = dirs.size(); k-- > 0 && t.keep;)
        keepTimes(dirs[k], dirStats[k]);
    return status;
}

int Shell::put(const Transfer &t, const Parsed &p)
{
    std::vector<std::string> sources;
    const Word &first = p.args[0];
    glob_t g = {};
    if (first.glob && glob(first.pattern.c_str(), 0, nullptr, &g) == 0)
        sources.assign(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    else if (first.glob) {
        globfree(&g);
        Complain(t.cmd, first.text, ENOENT);
        return 1;
    } else
        sources.push_back(first.text);
    globfree(&g);
    std::string remote = p.args.size() > 1 ? p.args[1].text : "";
    bool remoteDir = !remote.empty() && hostIsDir(remote);
    if (sources.size() > 1 && !remote.empty() && !remoteDir) {
        Complain(t.cmd, remote, ENOTDIR);
        return 1;
    }
    int status = 0;
    for (const std::string &src : sources) {
        if (gInterrupted || (status && !ignoreFailure_ && t.recursive))
            break;
        struct stat st;
        if (stat(src.c_str(), &st) < 0) {
            Complain(t.cmd, src, errno);
            status = 1;
            continue;
        }
        std::string dest = remote.empty() ? Base(src) : remoteDir ? JoinPath(remote, Base(src)) : remote;
        if (S_ISDIR(st.st_mode)) {
            if (!t.recursive) {
                Complain(std::string(t.cmd) + ": " + ShowText(src) + ": is a directory (" + t.cmd +
                         " -r copies directories)");
                status = 1;
                continue;
            }
            status |= putTree(t, src, dest);
        } else
            status |= putOne(t, src, dest, st);
    }
    return status;
}

} // namespace hostsh
