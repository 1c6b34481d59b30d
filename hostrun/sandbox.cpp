#include "hostrun/sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hostrun/options.h"

namespace hostrun {
namespace {

// Where the terminal's root stays while the new one is furnished (a name on the new root only).
constexpr const char *kOldRoot = "/.hostrun-old";

std::string Why(const std::string &what)
{
    return what + ": " + strerror(errno);
}

bool WriteText(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

int Flags(const World &w)
{
    return CLONE_NEWNS | (w.userNamespace ? CLONE_NEWUSER : 0) | (w.utsNamespace ? CLONE_NEWUTS : 0);
}

int PivotRoot(const char *newRoot, const char *putOld)
{
    return static_cast<int>(syscall(SYS_pivot_root, newRoot, putOld));
}

// One entry of the terminal's tree at the same place in the new root: a directory or file bound
// there (with whatever is mounted below it), a symbolic link copied.
std::string Mirror(const std::string &to)
{
    std::string from = kOldRoot + to;
    struct stat st;
    if (lstat(from.c_str(), &st) < 0)
        return ""; // gone meanwhile
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
        if (n < 0)
            return Why("readlink " + from);
        target[n] = '\0';
        return symlink(target, to.c_str()) < 0 ? Why("symlink " + to) : "";
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(to.c_str(), st.st_mode & 07777) < 0)
            return Why("mkdir " + to);
    } else {
        int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return Why("create " + to);
        close(fd);
    }
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0 ? Why("bind " + to) : "";
}

// The directory dir (already made in the new root; "" for the root) furnished with every entry of
// the terminal's, except the next component of the mount point, which becomes a directory of the
// new root, furnished the same way unless it is the last.
std::string Furnish(const std::string &dir, const std::vector<std::string> &comps, size_t k)
{
    std::string old = kOldRoot + dir;
    if (DIR *d = opendir(old.empty() ? "/" : old.c_str())) {
        std::string failed;
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == ".." || name == comps[k] || (dir.empty() && "/" + name == kOldRoot))
                continue;
            failed = Mirror(dir + "/" + name);
            if (!failed.empty())
                break;
        }
        closedir(d);
        if (!failed.empty())
            return failed;
    } // a directory that cannot be listed stays empty
    std::string next = dir + "/" + comps[k];
    struct stat st;
    mode_t mode = lstat((kOldRoot + next).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? st.st_mode & 07777 : 0755;
    if (mkdir(next.c_str(), mode) < 0)
        return Why("mkdir " + next);
    return k + 1 < comps.size() ? Furnish(next, comps, k + 1) : "";
}

} // namespace

World CallerWorld(bool identity)
{
    World w;
    w.uid = getuid();
    w.gid = getgid();
    w.userNamespace = geteuid() != 0 || identity;
    w.utsNamespace = identity;
    return w;
}

std::string Preflight(const World &w)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return Why("hostrun: pipe");
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string why;
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(Flags(w)) < 0) {
            why = w.userNamespace
                      ? Why("hostrun: no user namespace can be made") +
                            ": allow them (sysctl user.max_user_namespaces, kernel.unprivileged_userns_clone) "
                            "or run hostrun as root"
                      : Why("hostrun: no mount namespace can be made") + ": hostrun needs the right to mount";
        } else if (w.userNamespace && (!WriteText("/proc/self/setgroups", "deny") ||
                                       !WriteText("/proc/self/uid_map", MapLine(uid, uid)) ||
                                       !WriteText("/proc/self/gid_map", MapLine(gid, gid)))) {
            why = Why("hostrun: the user namespace takes no id mapping") + ": allow user namespaces for this user";
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) < 0 ||
                   mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=4k") < 0) {
            why = Why("hostrun: cannot mount in a private namespace") + ": hostrun needs a /tmp to mount on";
        } else if (int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC); fd < 0) {
            why = errno == ENOENT ? std::string("hostrun: /dev/fuse is missing: load the fuse module (modprobe fuse)")
                                  : Why("hostrun: /dev/fuse cannot be opened") +
                                        ": make it readable and writable for this user, or run hostrun as root";
        }
        if (!why.empty() && write(p[1], why.data(), why.size()) < 0)
            _exit(2);
        _exit(why.empty() ? 0 : 1);
    }
    close(p[1]);
    std::string why;
    char buf[512];
    ssize_t n;
    while (pid > 0 && (n = read(p[0], buf, sizeof buf)) > 0)
        why.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    if (pid < 0)
        return Why("hostrun: fork");
    if (waitpid(pid, &st, 0) != pid || (why.empty() && st != 0))
        return "hostrun: the check for namespaces failed";
    return why;
}

std::string EnterWorld(const World &w)
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(Flags(w)) < 0)
        return Why("hostrun: unshare");
    if (w.userNamespace && (!WriteText("/proc/self/setgroups", "deny") ||
                            !WriteText("/proc/self/uid_map", MapLine(w.uid, uid)) ||
                            !WriteText("/proc/self/gid_map", MapLine(w.gid, gid))))
        return Why("hostrun: cannot map the ids");
    if (w.utsNamespace && sethostname(w.hostName.data(), w.hostName.size()) < 0) // too long here, say
        fprintf(stderr, "%s: the program keeps this machine's name\n",
                Why("hostrun: cannot take the host's name \"" + w.hostName + "\"").c_str());
    if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) < 0)
        return Why("hostrun: cannot make the mounts private");
    return "";
}

std::string BuildRoot(const std::string &mountPoint)
{
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") < 0)
        return Why("hostrun: cannot mount the new root");
    if (mkdir((std::string("/tmp") + kOldRoot).c_str(), 0700) < 0 || chdir("/tmp") < 0 ||
        PivotRoot(".", kOldRoot + 1) < 0 || chdir("/") < 0)
        return Why("hostrun: cannot move into the new root");
    std::string why = Furnish("", Components(mountPoint), 0);
    if (!why.empty())
        return "hostrun: cannot build the new root: " + why;
    if (umount2(kOldRoot, MNT_DETACH) < 0 || rmdir(kOldRoot) < 0)
        return Why("hostrun: cannot leave the old root");
    // Read-only from now on: what a program would make in / would vanish with the namespace.
    if (mount(nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) < 0)
        return Why("hostrun: cannot make the new root read-only");
    return "";
}

bool BindInto(const std::string &root, const std::string &dir)
{
    std::string to = root + dir;
    struct stat st;
    if (lstat(to.c_str(), &st) < 0 || !S_ISDIR(st.st_mode))
        return false;
    return mount(dir.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

std::string EnterRoot(const std::string &root)
{
    if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return Why("hostrun: unshare");
    if (chdir(root.c_str()) < 0 || PivotRoot(".", ".") < 0 || umount2(".", MNT_DETACH) < 0 || chdir("/") < 0)
        return Why("hostrun: cannot make the host's / the root");
    return "";
}

void KeepMountRight()
{
    struct __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &head, data) < 0)
        return;
    data[CAP_SYS_ADMIN / 32].inheritable |= 1u << (CAP_SYS_ADMIN % 32);
    if (syscall(SYS_capset, &head, data) == 0)
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_ADMIN, 0, 0);
}

} // namespace hostrun
