#include "hostfs/fallbacks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <hostlink/run.h>

namespace hostfs {

int runOnHost(hostlink::Link &link, const std::string &name, const std::vector<std::string> &args, std::string *output)
{
    std::vector<std::string> argv = {name};
    argv.insert(argv.end(), args.begin(), args.end());
    hostlink::RunOptions ro;
    ro.timeoutSeconds = 60;
    ro.captureLimit = 1u << 20;
    hostlink::RunResult r = hostlink::runCapture(link, name, argv, ro);
    if (output)
        *output = r.out;
    if (!r.ok())
        return -(r.error ? r.error : EIO);
    if (r.status == 127)
        return -ENOSYS; // no such program on the host
    return r.status == 0 ? 0 : -hostlink::errnoFromMessage(r.err + r.out);
}

int renameByProgram(hostlink::Link &link, const std::string &from, const std::string &to)
{
    // mv renames within one file system with rename(2): atomic, replacing the target.
    return runOnHost(link, "mv", {"-T", "-f", "--", from, to});
}

int truncateByProgram(hostlink::Link &link, const std::string &path, off_t size)
{
    return runOnHost(link, "truncate", {"-s", std::to_string(size), "--", path});
}

int chownByProgram(hostlink::Link &link, const std::string &path, uid_t uid, gid_t gid)
{
    std::string who = (uid == static_cast<uid_t>(-1) ? "" : std::to_string(uid)) +
                      (gid == static_cast<gid_t>(-1) ? "" : ":" + std::to_string(gid));
    if (who.empty())
        return 0;
    return runOnHost(link, "chown", {"-h", "--", who, path});
}

namespace {
std::string touchTime(const struct timespec &t)
{
    char text[64];
    snprintf(text, sizeof text, "@%lld.%09ld", static_cast<long long>(t.tv_sec), static_cast<long>(t.tv_nsec));
    return text;
}
} // namespace

int touchByProgram(hostlink::Link &link, const std::string &path, const struct timespec t[2])
{
    // touch: -a access, -m modification; both at once when they are the same.
    bool same = t[0].tv_nsec == t[1].tv_nsec && t[0].tv_sec == t[1].tv_sec;
    const char *which[2] = {"-a", "-m"};
    for (int i = 0; i < 2; i++) {
        if (t[i].tv_nsec == UTIME_OMIT || (same && i == 1))
            continue;
        std::vector<std::string> args = {"-h", "-c", same ? "-am" : which[i]};
        if (t[i].tv_nsec != UTIME_NOW) {
            args.push_back("-d");
            args.push_back(touchTime(t[i]));
        }
        args.push_back("--");
        args.push_back(path);
        if (int e = runOnHost(link, "touch", args))
            return e;
    }
    return 0;
}

int mknodByProgram(hostlink::Link &link, const std::string &path, mode_t mode, dev_t dev)
{
    char perms[16];
    snprintf(perms, sizeof perms, "%o", static_cast<unsigned>(mode & 07777));
    if (S_ISFIFO(mode))
        return runOnHost(link, "mkfifo", {"-m", perms, "--", path});
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return runOnHost(link, "mknod", {"-m", perms, "--", path, S_ISCHR(mode) ? "c" : "b",
                                         std::to_string(major(dev)), std::to_string(minor(dev))});
    return -EPERM;
}

int statfsByProgram(hostlink::Link &link, const std::string &path, struct statvfs *sv)
{
    // df -P -k: "Filesystem 1024-blocks Used Available Capacity Mounted-on", then one line.
    std::string out;
    if (int e = runOnHost(link, "df", {"-P", "-k", "--", path}, &out))
        return e;
    size_t line = out.find('\n');
    unsigned long long blocks = 0, used = 0, avail = 0;
    char fsname[4096];
    if (line == std::string::npos ||
        sscanf(out.c_str() + line + 1, "%4095s %llu %llu %llu", fsname, &blocks, &used, &avail) != 4)
        return -EIO;
    memset(sv, 0, sizeof *sv);
    sv->f_bsize = sv->f_frsize = 1024;
    sv->f_blocks = blocks;
    sv->f_bfree = blocks > used ? blocks - used : 0;
    sv->f_bavail = avail;
    sv->f_namemax = 255;
    return 0;
}

} // namespace hostfs
