#include "hostsh/remote.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <unistd.h>

#include <hostlink/tools.h>

namespace hostsh {

using hostlink::Batch;
using hostlink::Pending;

namespace {

constexpr int kWindow = 32; // reads or writes of a transfer in flight

int writeFull(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

ssize_t readFull(int fd, char *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

Remote::Remote(hostlink::Link &link) : link_(link) { hostlink::detail::record(link_, &single_); }
Remote::~Remote() { hostlink::detail::record(link_, nullptr); }

long Remote::waits() const { return static_cast<long>(single_.size()) + rounds_; }
void Remote::resetWaits()
{
    single_.clear();
    rounds_ = 0;
}

void Remote::begin(Batch &batch)
{
    for (uint32_t h : toClose_)
        batch.closedir(h);
    toClose_.clear();
}

void Remote::settle()
{
    if (toClose_.empty())
        return;
    Batch batch(link_);
    begin(batch);
    batch.drain();
    rounds_++;
}

int Remote::listNames(const std::string &path, std::vector<std::string> *names)
{
    Batch batch(link_);
    begin(batch);
    Pending opened = batch.opendir(path);
    rounds_++;
    auto handle = static_cast<uint32_t>(opened.value());
    if (!handle)
        return -1;
    // Rounds of readdirs, each larger than the last: a small directory costs little on the host,
    // a large one few waits.
    int error = 0;
    for (size_t window = 64; !error;) {
        std::vector<Pending> round;
        for (size_t i = 0; i < window; i++)
            round.push_back(batch.readdir(handle));
        batch.flush();
        rounds_++;
        bool end = false;
        for (Pending &p : round) {
            const hostlink::Result &r = p.get();
            if (end)
                continue;
            if (r.value <= 0) {
                end = true;
                error = r.value < 0 ? r.error : 0;
                continue;
            }
            if (r.text != "." && r.text != "..")
                names->push_back(r.text);
        }
        if (end)
            break;
        window = std::min<size_t>(window * 16, 16384);
    }
    // Closed with the next round: its answer is of no use.
    toClose_.push_back(handle);
    if (error) {
        errno = error;
        return -1;
    }
    return 0;
}

std::vector<StatResult> Remote::statMany(const std::vector<std::string> &paths, bool follow)
{
    std::vector<StatResult> out(paths.size());
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const std::string &p : paths)
        round.push_back(follow ? batch.stat(p) : batch.lstat(p));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++) {
        const hostlink::Result &r = round[k].get();
        out[k].result = r.value;
        out[k].error = r.error;
        out[k].st = r.status;
    }
    return out;
}

std::vector<std::optional<std::string>> Remote::readlinkMany(const std::vector<std::string> &paths)
{
    std::vector<std::optional<std::string>> out(paths.size());
    if (paths.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const std::string &p : paths)
        round.push_back(batch.readlink(p));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++) {
        const hostlink::Result &r = round[k].get();
        if (r.value >= 0)
            out[k] = r.text;
    }
    return out;
}

std::vector<int> Remote::mkdirMany(const std::vector<std::string> &paths, int32_t mode)
{
    std::vector<int> out(paths.size());
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const std::string &p : paths)
        round.push_back(batch.mkdir(p, mode));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++)
        out[k] = round[k].get().error;
    return out;
}

std::vector<int> Remote::symlinkMany(const std::vector<std::pair<std::string, std::string>> &links)
{
    std::vector<int> out(links.size());
    if (links.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const auto &[text, path] : links)
        round.push_back(batch.symlink(text, path));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < links.size(); k++)
        out[k] = round[k].get().error;
    return out;
}

void Remote::identity(int32_t *uid, std::string *login)
{
    // getlogin has no batch form; both go as single calls.
    *uid = hostlink::getuid(link_);
    if (hostlink::getlogin(link_, login) < 0)
        login->clear();
}

int Remote::getFile(const std::string &remote, int out, const ProgressFn &progress, char *where)
{
    settle();
    int64_t done = 0;
    int localError = 0;
    hostlink::TransferOptions options;
    options.window = kWindow;
    int64_t n = hostlink::readFile(
        link_, remote,
        [&](const char *p, size_t size) {
            if (writeFull(out, p, size) < 0) {
                localError = errno;
                return false;
            }
            done += static_cast<int64_t>(size);
            if (progress && !progress(done)) {
                localError = errno = EINTR;
                return false;
            }
            return true;
        },
        options);
    rounds_++;
    if (n >= 0)
        return 0;
    *where = localError ? 'l' : 'r';
    errno = localError ? localError : errno;
    return -1;
}

int Remote::putFile(int in, const std::string &remote, int32_t mode, const ProgressFn &progress, char *where)
{
    Batch batch(link_, kWindow * (hostlink::kMaxData + 128) + 4096);
    begin(batch);
    int32_t fd = batch.open(remote, hostlink::kOpenWrite | hostlink::kOpenCreate | hostlink::kOpenTruncate, mode)
                     .value();
    rounds_++;
    if (fd < 0) {
        *where = 'r';
        return -1;
    }
    std::deque<std::pair<size_t, Pending>> writes;
    int error = 0;
    char side = 0;
    auto collect = [&](size_t keep) {
        while (writes.size() > keep) {
            auto [want, pending] = std::move(writes.front());
            writes.pop_front();
            const hostlink::Result &r = pending.get();
            if (!error && r.value < 0)
                error = r.error, side = 'r';
            else if (!error && static_cast<size_t>(r.value) != want)
                error = EIO, side = 'r';
        }
    };
    std::vector<char> buffer(16 * static_cast<size_t>(hostlink::kMaxData));
    int64_t done = 0;
    for (bool end = false; !end && !error;) {
        ssize_t got = readFull(in, buffer.data(), buffer.size());
        if (got < 0) {
            error = errno, side = 'l';
            break;
        }
        end = static_cast<size_t>(got) < buffer.size();
        for (ssize_t off = 0; off < got && !error; off += hostlink::kMaxData) {
            size_t n = static_cast<size_t>(std::min<ssize_t>(hostlink::kMaxData, got - off));
            writes.emplace_back(n, batch.write(fd, buffer.data() + off, n));
            collect(kWindow);
        }
        done += got;
        if (!error && progress && !progress(done))
            error = EINTR, side = 'l';
    }
    collect(0);
    Pending closing = batch.close(fd);
    const hostlink::Result &closed = closing.get();
    if (!error && closed.value < 0)
        error = closed.error, side = 'r';
    if (error) {
        errno = error;
        *where = side;
        return -1;
    }
    return 0;
}

} // namespace hostsh
