#include "hostrun/wire.h"

#include "common/wire.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>

namespace hostrun {

namespace {

bool ReadAll(int fd, char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

int LocalErrno(int32_t error) { return wire::LocalErrno(error); }

int32_t WireOpenFlags(int flags)
{
    int32_t w = 0;
    switch (flags & O_ACCMODE) {
    case O_WRONLY: w = wire::WIRE_O_WRONLY; break;
    case O_RDWR: w = wire::WIRE_O_RDWR; break;
    default: break;
    }
    if (flags & O_APPEND)
        w |= wire::WIRE_O_APPEND;
    if (flags & O_CREAT)
        w |= wire::WIRE_O_CREAT;
    if (flags & O_EXCL)
        w |= wire::WIRE_O_EXCL;
    if (flags & O_NONBLOCK)
        w |= wire::WIRE_O_NONBLOCK;
    if (flags & O_TRUNC)
        w |= wire::WIRE_O_TRUNC;
    return w;
}

Message &Message::word(int32_t v)
{
    if (n_ + 4 > cap_) {
        ok_ = false;
        return *this;
    }
    memcpy(b_ + n_, &v, 4);
    n_ += 4;
    return *this;
}

Message &Message::str(const char *s)
{
    size_t len = strlen(s) + 1;
    if (n_ + len > cap_) {
        ok_ = false;
        return *this;
    }
    memcpy(b_ + n_, s, len);
    n_ += len;
    return *this;
}

const char *Message::finish()
{
    uint16_t len = static_cast<uint16_t>(n_);
    memcpy(b_, &len, 2);
    return b_;
}

bool Wire::send(const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t r = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool Wire::send2(const void *head, size_t n1, const void *data, size_t n2)
{
    struct iovec iov[2] = {{const_cast<void *>(head), n1}, {const_cast<void *>(data), n2}};
    struct msghdr mh = {};
    mh.msg_iov = iov;
    mh.msg_iovlen = 2;
    size_t total = n1 + n2;
    while (total > 0) {
        ssize_t r = ::sendmsg(fd_, &mh, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        total -= static_cast<size_t>(r);
        size_t done = static_cast<size_t>(r);
        while (done > 0 && mh.msg_iovlen > 0) {
            size_t take = done < mh.msg_iov->iov_len ? done : mh.msg_iov->iov_len;
            mh.msg_iov->iov_base = static_cast<char *>(mh.msg_iov->iov_base) + take;
            mh.msg_iov->iov_len -= take;
            done -= take;
            if (mh.msg_iov->iov_len == 0) {
                mh.msg_iov++;
                mh.msg_iovlen--;
            }
        }
    }
    return true;
}

bool Wire::receive(int call, char *head, int headMax, int *length, char *tail, size_t tailMax, size_t *tailGot)
{
    if (!ReadAll(fd_, head, 4))
        return false;
    uint16_t len;
    memcpy(&len, head, 2);
    if (len < 4 || len > kMaxMessage || static_cast<unsigned char>(head[2]) != call || head[3] != 0)
        return false;
    *length = len;
    int first = len < headMax ? len : headMax;
    if (first > 4 && !ReadAll(fd_, head + 4, static_cast<size_t>(first - 4)))
        return false;
    size_t rest = static_cast<size_t>(len - first);
    size_t kept = rest < tailMax ? rest : tailMax;
    if (kept && !ReadAll(fd_, tail, kept))
        return false;
    if (tailGot)
        *tailGot = kept;
    char drop[256];
    for (size_t left = rest - kept; left > 0;) {
        size_t n = left < sizeof drop ? left : sizeof drop;
        if (!ReadAll(fd_, drop, n))
            return false;
        left -= n;
    }
    // Words a caller reads but the reply did not carry are zero, never stale.
    if (first < headMax)
        memset(head + first, 0, static_cast<size_t>(headMax - first));
    return true;
}

void FillStat(const char *reply, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = static_cast<mode_t>(Word(reply, 3));
    st->st_ino = static_cast<uint32_t>(Word(reply, 4));
    st->st_dev = static_cast<uint32_t>(Word(reply, 5));
    st->st_nlink = static_cast<nlink_t>(Word(reply, 6));
    st->st_uid = static_cast<uid_t>(Word(reply, 7));
    st->st_gid = static_cast<gid_t>(Word(reply, 8));
    st->st_size = Word(reply, 9);
    st->st_atim.tv_sec = Word(reply, 10);
    st->st_mtim.tv_sec = Word(reply, 11);
    st->st_ctim.tv_sec = Word(reply, 12);
    st->st_blksize = 4096;
    // The wire carries no block count: a whole number of 4 KiB blocks, as most file systems keep.
    // (symbolic links keep their text in the inode).
    st->st_blocks = S_ISLNK(st->st_mode) ? 0 : (st->st_size + 4095) / 4096 * 8;
}

} // namespace hostrun

namespace hostrun {

void FillStat64(const char *rec, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = static_cast<mode_t>(Word(rec, 0));
    st->st_nlink = static_cast<nlink_t>(static_cast<uint32_t>(Word(rec, 1)));
    st->st_uid = static_cast<uid_t>(Word(rec, 2));
    st->st_gid = static_cast<gid_t>(Word(rec, 3));
    st->st_size = Word64(rec, 4);
    st->st_ino = static_cast<ino_t>(Word64(rec, 6));
    st->st_dev = makedev(static_cast<uint32_t>(Word(rec, 8)), static_cast<uint32_t>(Word(rec, 9)));
    st->st_rdev = makedev(static_cast<uint32_t>(Word(rec, 10)), static_cast<uint32_t>(Word(rec, 11)));
    st->st_blocks = Word64(rec, 12);
    st->st_blksize = Word(rec, 14);
    st->st_atim = {Word64(rec, 15), Word(rec, 17)};
    st->st_mtim = {Word64(rec, 18), Word(rec, 20)};
    st->st_ctim = {Word64(rec, 21), Word(rec, 23)};
}

} // namespace hostrun
