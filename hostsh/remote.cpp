#include "hostsh/remote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <deque>
#include <unistd.h>

#include <hostlink/ext.h>
#include <hostlink/tools.h>

namespace hostsh {

using hostlink::Batch;
using hostlink::Pending;

namespace {

// The most entries one listing takes in.
constexpr size_t kMostEntries = size_t(1) << 22;

Info FromPlain(const hostlink::FileStatus &s)
{
    Info i;
    i.mode = static_cast<uint32_t>(s.mode);
    i.nlink = static_cast<uint32_t>(s.nlink);
    i.uid = static_cast<uint32_t>(s.uid);
    i.gid = static_cast<uint32_t>(s.gid);
    i.size = s.size;
    i.ino = static_cast<uint32_t>(s.ino);
    i.dev = static_cast<uint32_t>(s.dev);
    i.atime = s.atime;
    i.mtime = s.mtime;
    i.ctime = s.ctime;
    return i;
}

Info FromWide(const hostlink::Status64 &s)
{
    Info i;
    i.mode = s.mode;
    i.nlink = s.nlink;
    i.uid = s.uid;
    i.gid = s.gid;
    i.size = s.size;
    i.ino = s.ino;
    i.dev = (static_cast<uint64_t>(s.devMajor) << 32) | s.devMinor;
    i.atime = s.atime.tv_sec;
    i.mtime = s.mtime.tv_sec;
    i.ctime = s.ctime.tv_sec;
    return i;
}

} // namespace

Remote::Remote(hostlink::Link &link) : link_(link) { hostlink::detail::record(link_, &single_); }
Remote::~Remote() { hostlink::detail::record(link_, nullptr); }

void Remote::start(int32_t *uid, std::string *login)
{
    Batch batch(link_);
    Pending env = batch.getenv(), id = batch.getuid(), name = batch.getlogin();
    batch.drain();
    rounds_++;
    ext_ = env.value() > 0; // the highest extension call the agent serves
    *uid = id.value();
    *login = name.get().text;
}

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
    for (int32_t fd : filesToClose_)
        batch.close(fd);
    filesToClose_.clear();
}

void Remote::forgetOpened()
{
    for (const Opened &o : opened_)
        if (o.fd >= 0)
            filesToClose_.push_back(o.fd);
    opened_.clear();
}

void Remote::settle()
{
    if (toClose_.empty() && filesToClose_.empty())
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
            if (names->size() > kMostEntries && !error)
                error = ENOMEM; // a directory without end: no more is taken in
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

std::vector<StatResult> Remote::statMany(const std::vector<std::string> &paths, bool follow, bool openToo)
{
    std::vector<StatResult> out(paths.size());
    if (paths.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    std::vector<hostlink::Status64> wide(ext_ ? paths.size() : 0);
    for (size_t k = 0; k < paths.size(); k++) {
        if (!ext_) {
            round.push_back(follow ? batch.stat(paths[k]) : batch.lstat(paths[k]));
            continue;
        }
        int call = follow ? hostlink::kCallStat64 : hostlink::kCallLstat64;
        hostlink::Status64 *into = &wide[k];
        round.push_back(batch.submit(hostlink::stat64Request(call, paths[k]),
                                     [call, into](const hostlink::Reply &r, hostlink::Result &res) {
                                         res.value = hostlink::parseStatus64(r, call, into);
                                         res.error = res.value < 0 ? errno : 0;
                                     }));
    }
    std::vector<Pending> opens;
    for (size_t k = 0; k < paths.size() && openToo; k++)
        opens.push_back(batch.open(paths[k], hostlink::kOpenRead));
    auto asked = std::chrono::steady_clock::now();
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < opens.size(); k++) {
        const hostlink::Result &r = opens[k].get();
        opened_.push_back({paths[k], r.value, r.error, std::chrono::steady_clock::now() - asked >= kFarRound});
    }
    for (size_t k = 0; k < paths.size(); k++) {
        const hostlink::Result &r = round[k].get();
        out[k].result = r.value;
        out[k].error = r.error;
        if (r.value >= 0)
            out[k].st = ext_ ? FromWide(wide[k]) : FromPlain(r.status);
        // The plain status words cannot carry a size of 2 GiB or more: the agent refuses them.
        else if (!ext_ && r.error == EINVAL)
            out[k].error = EOVERFLOW;
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

std::vector<int> Remote::errorsOf(size_t count, const std::function<Pending(Batch &, size_t)> &add)
{
    std::vector<int> out(count);
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (size_t k = 0; k < count; k++)
        round.push_back(add(batch, k));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < count; k++)
        out[k] = round[k].get().error;
    return out;
}

std::vector<int> Remote::mkdirMany(const std::vector<std::string> &paths, int32_t mode)
{
    return errorsOf(paths.size(), [&](Batch &batch, size_t k) { return batch.mkdir(paths[k], mode); });
}

std::vector<int> Remote::symlinkMany(const std::vector<std::pair<std::string, std::string>> &links)
{
    if (links.empty())
        return {};
    return errorsOf(links.size(), [&](Batch &batch, size_t k) { return batch.symlink(links[k].first, links[k].second); });
}

std::vector<int> Remote::chmodMany(const std::vector<std::pair<std::string, int32_t>> &modes)
{
    if (modes.empty())
        return {};
    return errorsOf(modes.size(), [&](Batch &batch, size_t k) { return batch.chmod(modes[k].first, modes[k].second); });
}

long Remote::removeMany(const std::vector<std::string> &paths, const std::vector<bool> &dirs, int *error)
{
    // In rounds of a few hundred, so that a failure stops the removal soon after it.
    for (size_t from = 0; from < paths.size();) {
        size_t to = std::min(paths.size(), from + 256);
        Batch batch(link_);
        begin(batch);
        std::vector<Pending> round;
        // The agent takes requests in order: a directory's entries go before it.
        for (size_t k = from; k < to; k++)
            round.push_back(dirs[k] ? batch.rmdir(paths[k]) : batch.unlink(paths[k]));
        batch.flush();
        rounds_++;
        for (size_t k = 0; k < round.size(); k++) {
            const hostlink::Result &r = round[k].get();
            if (r.value < 0) {
                *error = r.error;
                batch.drain();
                return static_cast<long>(from + k);
            }
        }
        from += round.size();
    }
    return -1;
}

} // namespace hostsh
