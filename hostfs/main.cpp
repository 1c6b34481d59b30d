// hostfs: a host's file system mounted on the terminal through the host agent's link.
//
// The command line and the mount point are checked first, FUSE's own options too, so that a
// mistake never uses up an agent. Then the link is made (or taken over: fd:N), the mount is made,
// and FUSE's threads serve it over the one shared link until it is unmounted or the link is lost.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include <hostlink/connect.h>
#include <hostlink/ext.h>

#include "hostfs/fs.h"
#include "hostfs/options.h"

namespace {

using hostfs::FileHandle;
using hostfs::Fs;
namespace hl = hostlink;

Fs &fs() { return *static_cast<Fs *>(fuse_get_context()->private_data); }
FileHandle *handle(struct fuse_file_info *fi) { return fi ? reinterpret_cast<FileHandle *>(fi->fh) : nullptr; }

void *opInit(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    conn->max_write = 1u << 20;
    conn->max_readahead = std::max(conn->max_readahead, 1u << 20);
    const hostfs::Options &o = fs().options();
    cfg->use_ino = 1;
    // hard_remove stays off: a file unlinked while open through the mount is renamed to a
    // hidden name until closed, so that fstat still answers (with no links).
    cfg->attr_timeout = o.attrTimeout;
    cfg->entry_timeout = o.entryTimeout;
    cfg->negative_timeout = 0; // absent names are known from listings, which changes here update
    return &fs();
}

int opGetattr(const char *path, struct stat *st, struct fuse_file_info *fi) { return fs().getattr(path, st, handle(fi)); }
int opReadlink(const char *path, char *buf, size_t size) { return fs().readlink(path, buf, size); }
// In multi-user mode (allow_other) what another user makes becomes theirs.
int owned(const char *path, int result)
{
    const struct fuse_context *c = fuse_get_context();
    if (result == 0 && fs().options().multiUser && c->uid != geteuid())
        fs().giveTo(path, c->uid, c->gid);
    return result;
}

int opMkdir(const char *path, mode_t mode) { return owned(path, fs().mkdir(path, mode)); }
int opMknod(const char *path, mode_t mode, dev_t dev) { return owned(path, fs().mknod(path, mode, dev)); }
int opUnlink(const char *path) { return fs().unlink(path); }
int opRmdir(const char *path) { return fs().rmdir(path); }
int opSymlink(const char *target, const char *path) { return owned(path, fs().symlink(target, path)); }
int opLink(const char *from, const char *to) { return fs().link(from, to); }
int opRename(const char *from, const char *to, unsigned flags) { return fs().rename(from, to, flags); }
int opChmod(const char *path, mode_t mode, struct fuse_file_info *) { return fs().chmod(path, mode); }
int opChown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *) { return fs().chown(path, uid, gid); }
int opTruncate(const char *path, off_t size, struct fuse_file_info *fi) { return fs().truncate(path, size, handle(fi)); }
int opUtimens(const char *path, const struct timespec tv[2], struct fuse_file_info *) { return fs().utimens(path, tv); }
int opStatfs(const char *path, struct statvfs *sv) { return fs().statfs(path, sv); }
int opAccess(const char *path, int mode) { return fs().access(path, mode); }

int opOpen(const char *path, struct fuse_file_info *fi)
{
    FileHandle *fh = nullptr;
    int r = fs().open(path, fi->flags, &fh);
    if (r == 0)
        fi->fh = reinterpret_cast<uint64_t>(fh);
    return r;
}

int opCreate(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    FileHandle *fh = nullptr;
    int r = fs().create(path, mode, fi->flags, &fh);
    if (r == 0)
        fi->fh = reinterpret_cast<uint64_t>(fh);
    return owned(path, r);
}

int opRead(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    return fs().read(handle(fi), buf, size, off);
}
int opWrite(const char *, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    return fs().write(handle(fi), buf, size, off);
}
int opFlush(const char *, struct fuse_file_info *fi) { return fs().flush(handle(fi)); }
int opFsync(const char *, int datasync, struct fuse_file_info *fi) { return fs().fsync(handle(fi), datasync != 0); }
int opRelease(const char *, struct fuse_file_info *fi) { return fs().release(handle(fi)); }

int opOpendir(const char *path, struct fuse_file_info *fi)
{
    auto listing = std::make_unique<hostfs::Listing>();
    if (int e = fs().list(path, *listing))
        return e;
    fi->fh = reinterpret_cast<uint64_t>(listing.release());
    // The kernel may keep the entries, until the directory's attributes say it changed.
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    return 0;
}

// Entries by their index, each with its status, so that the lookups of a following ls -l stay
// in the kernel.
int opReaddir(const char *, void *buf, fuse_fill_dir_t filler, off_t off, struct fuse_file_info *fi,
              enum fuse_readdir_flags)
{
    const auto &listing = *reinterpret_cast<hostfs::Listing *>(fi->fh);
    for (size_t i = static_cast<size_t>(std::max<off_t>(off, 0)); i < listing.size(); i++) {
        const auto &e = listing[i];
        if (filler(buf, e.name.c_str(), e.hasStatus ? &e.st : nullptr, static_cast<off_t>(i + 1),
                   e.hasStatus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)))
            break;
    }
    return 0;
}

int opReleasedir(const char *, struct fuse_file_info *fi)
{
    delete reinterpret_cast<hostfs::Listing *>(fi->fh);
    return 0;
}

struct fuse_operations operations()
{
    struct fuse_operations ops = {};
    ops.init = opInit;
    ops.getattr = opGetattr;
    ops.readlink = opReadlink;
    ops.mkdir = opMkdir;
    ops.mknod = opMknod;
    ops.unlink = opUnlink;
    ops.rmdir = opRmdir;
    ops.symlink = opSymlink;
    ops.link = opLink;
    ops.rename = opRename;
    ops.chmod = opChmod;
    ops.chown = opChown;
    ops.truncate = opTruncate;
    ops.utimens = opUtimens;
    ops.statfs = opStatfs;
    ops.access = opAccess;
    ops.open = opOpen;
    ops.create = opCreate;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.fsync = opFsync;
    ops.release = opRelease;
    ops.opendir = opOpendir;
    ops.readdir = opReaddir;
    ops.releasedir = opReleasedir;
    return ops;
}

// Started by the agent through the remote shell: leave it at once, since the agent answers only
// once the remote shell has ended; from then on messages go to the client log.
bool detachFromRemoteShell(const hostfs::Options &o)
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("hostfs: fork");
        return false;
    }
    if (pid > 0)
        _exit(0);
    setsid();
    int devnull = ::open("/dev/null", O_RDWR);
    std::string logPath;
    int log = hl::openClientLog("hostfs", o.client.where.port, "HOSTFS_LOG", &logPath);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(log >= 0 ? log : devnull, 2);
    }
    for (int fd : {devnull, log})
        if (fd > 2)
            ::close(fd);
    return true;
}

// The link, and whether the agent serves the extension calls.
hl::Connected connect(const hostfs::Options &o)
{
    if (o.fd >= 0) {
        hl::Connected c;
        c.link = hl::Link::adopt(o.fd, o.client.swapped);
        c.link.setTimeout(o.linkTimeout);
        c.lastExtension = o.noext ? 0 : hl::lastExtensionCall(c.link);
        c.extensions = c.lastExtension > 0;
        return c;
    }
    hl::ConnectOptions co;
    co.timeoutSeconds = o.linkTimeout;
    return hl::connectClient(o.client, co);
}

} // namespace

int main(int argc, char **argv)
{
    hostfs::Parsed parsed = hostfs::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.exitStatus >= 0) {
        fputs(parsed.message.c_str(), parsed.exitStatus ? stderr : stdout);
        return parsed.exitStatus;
    }
    hostfs::Options o = parsed.options;
    signal(SIGPIPE, SIG_IGN);

    // FUSE's own options are checked by building the file system, before anything else.
    std::vector<std::string> args = {"hostfs", "-o", "fsname=hostfs#" + o.endpointText() + ":" + o.root,
                                     "-o", "subtype=hostfs"};
    if (o.debug)
        args.push_back("-d");
    for (const std::string &f : o.fuseOptions) {
        args.push_back("-o");
        args.push_back(f);
    }
    std::vector<char *> cargs;
    for (std::string &s : args)
        cargs.push_back(s.data());
    struct fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(cargs.size()), cargs.data());
    struct FreeArgs {
        struct fuse_args *a;
        ~FreeArgs() { fuse_opt_free_args(a); }
    } freeArgs{&fargs};
    Fs filesystem(o);
    struct fuse_operations ops = operations();
    struct fuse *fuse = fuse_new(&fargs, &ops, sizeof ops, &filesystem);
    if (!fuse) {
        fprintf(stderr, "hostfs: FUSE refused the options (%s)\n", o.fuseOptions.empty() ? "none" : "see above");
        return 1;
    }
    if (auto problem = hostfs::mountPointProblem(o.mountpoint)) {
        fprintf(stderr, "%s\n", problem->c_str());
        fuse_destroy(fuse);
        return 1;
    }

    // The key is looked for before the remote shell's input is left behind.
    try {
        if (o.fd < 0)
            o.client.searchKey();
    } catch (const hl::LinkError &e) {
        fprintf(stderr, "hostfs: %s\n", e.what());
        fuse_destroy(fuse);
        return 1;
    }
    bool detached = false;
    if (o.client.peer && !o.foreground) {
        if (!detachFromRemoteShell(o))
            return 1;
        detached = true;
    }
    try {
        hl::Connected c = connect(o);
        if (auto problem = filesystem.attach(std::move(c.link), c.extensions, c.lastExtension)) {
            fprintf(stderr, "%s\n", problem->c_str());
            fuse_destroy(fuse);
            return 1;
        }
    } catch (const hl::LinkError &e) {
        // The library's connect says where and what to do; a link handed over is named here.
        if (o.fd >= 0)
            fprintf(stderr, "hostfs: the link on %s: %s\n", o.endpointText().c_str(), e.what());
        else
            fprintf(stderr, "hostfs: %s\n", e.what());
        fuse_destroy(fuse);
        return 1;
    }
    if (o.reconnect)
        filesystem.setConnector([o] { return connect(o).link; });
    // Hard links: the kernel keeps attributes per name, so the other names of a changed file
    // are dropped from its cache too. Not with one thread: dropping them drops their cached
    // pages, which could wait for a read that only this thread would answer.
    if (!o.singleThread)
        filesystem.setStaleHandler([](const std::string &path) {
            if (struct fuse_context *c = fuse_get_context(); c && c->fuse)
                fuse_invalidate_path(c->fuse, path.c_str());
        });
    filesystem.setLostHandler([](const std::string &) { kill(getpid(), SIGTERM); });
    fprintf(stderr, "hostfs: %s\n",
            filesystem.extensions()
                ? "extension calls: rename, truncate, times, owners, fifos, statistics and 64-bit sizes served by the agent"
                : "agent without extension calls: rename, truncation, times, owners and statistics through host "
                  "programs; sizes of 2 GiB and more fail with EOVERFLOW");

    if (fuse_mount(fuse, o.mountpoint.c_str()) != 0) {
        fuse_destroy(fuse);
        return 1;
    }
    if (!o.foreground && !detached && fuse_daemonize(0) != 0) {
        fuse_unmount(fuse);
        fuse_destroy(fuse);
        return 1;
    }
    struct fuse_session *se = fuse_get_session(fuse);
    fuse_set_signal_handlers(se);

    // A watcher notices an agent that goes away while the mount is idle; it takes no signals.
    std::atomic<bool> stop{false};
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread watcher([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            filesystem.watch();
        }
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    int rc;
    if (o.singleThread) {
        rc = fuse_loop(fuse);
    } else {
        struct fuse_loop_config config = {};
        config.clone_fd = 0;
        config.max_idle_threads = 10;
        rc = fuse_loop_mt(fuse, &config);
    }
    stop = true;
    watcher.join();
    fuse_remove_signal_handlers(se);
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    return filesystem.lost() ? 1 : (rc == 0 ? 0 : 1);
}
