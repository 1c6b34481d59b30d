#include <hostlink/status.h>

#include <cstring>
#include <sys/sysmacros.h>

namespace hostlink {

void toStat(const Status64 &s, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = s.mode; // the wire's type bits are the traditional ones, this machine's too
    st->st_nlink = s.nlink;
    st->st_uid = s.uid;
    st->st_gid = s.gid;
    st->st_size = s.size;
    st->st_ino = s.ino;
    st->st_dev = makedev(s.devMajor, s.devMinor);
    st->st_rdev = makedev(s.rdevMajor, s.rdevMinor);
    st->st_blocks = s.blocks;
    st->st_blksize = s.blksize;
    st->st_atim = s.atime;
    st->st_mtim = s.mtime;
    st->st_ctim = s.ctime;
}

void toStat(const FileStatus &s, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = static_cast<mode_t>(static_cast<uint32_t>(s.mode));
    st->st_ino = static_cast<uint32_t>(s.ino);
    st->st_dev = static_cast<uint32_t>(s.dev);
    st->st_nlink = static_cast<nlink_t>(static_cast<uint32_t>(s.nlink));
    st->st_uid = static_cast<uid_t>(s.uid);
    st->st_gid = static_cast<gid_t>(s.gid);
    st->st_size = static_cast<uint32_t>(s.size);
    st->st_blksize = 4096;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_atim.tv_sec = static_cast<uint32_t>(s.atime);
    st->st_mtim.tv_sec = static_cast<uint32_t>(s.mtime);
    st->st_ctim.tv_sec = static_cast<uint32_t>(s.ctime);
}

void toStatvfs(const FsStats &f, struct statvfs *out)
{
    memset(out, 0, sizeof *out);
    out->f_bsize = f.bsize;
    out->f_frsize = f.frsize;
    out->f_blocks = f.blocks;
    out->f_bfree = f.bfree;
    out->f_bavail = f.bavail;
    out->f_files = f.files;
    out->f_ffree = f.ffree;
    out->f_favail = f.favail;
    out->f_fsid = f.fsid;
    out->f_namemax = f.namemax;
    out->f_flag = ((f.flags & 1) ? ST_RDONLY : 0) | ((f.flags & 2) ? ST_NOSUID : 0);
}

} // namespace hostlink
