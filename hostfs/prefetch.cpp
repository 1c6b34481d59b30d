#include "hostfs/prefetch.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include <hostlink/ext.h>

#include "hostfs/fs.h"

namespace hostfs {

void Preloads::put(const std::string &path, std::string data, uint64_t generation, double until)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (bytes_ + data.size() > kMostBytes) {
        entries_.clear();
        bytes_ = 0;
    }
    auto &e = entries_[path];
    bytes_ = bytes_ - e.data.size() + data.size();
    e = {std::move(data), generation, until};
}

std::optional<std::string> Preloads::take(const std::string &path, uint64_t generation, double now)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(path);
    if (it == entries_.end())
        return std::nullopt;
    Entry e = std::move(it->second);
    bytes_ -= e.data.size();
    entries_.erase(it);
    if (e.generation != generation || now >= e.until)
        return std::nullopt;
    return std::move(e.data);
}

bool Preloads::has(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mu_);
    return entries_.count(path) != 0;
}

void Preloads::clear()
{
    std::lock_guard<std::mutex> lock(mu_);
    entries_.clear();
    bytes_ = 0;
}

namespace {

constexpr size_t kSmall = hl::kMaxData; // a file that one read reply carries whole
constexpr size_t kSmallWithOpen = hl::kMaxOpenread; // one openread reply

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

FileHandle *Fs::preloadedHandle(const char *path, int flags, std::string data)
{
    auto *fh = new FileHandle;
    fh->path = path;
    fh->flags = flags;
    fh->epoch = epoch_;
    fh->preloaded = true;
    fh->content = std::move(data);
    std::lock_guard<std::mutex> lock(openMu_);
    open_.insert(fh);
    return fh;
}

// 0 with *out when path's data came from a read-ahead of its directory (taken now or earlier);
// 1 when the ordinary open should run.
int Fs::openPreloaded(const char *path, int flags, FileHandle **out)
{
    if (opt_.dirReadahead <= 0 || (flags & (O_ACCMODE | O_TRUNC | O_CREAT | O_APPEND)) != O_RDONLY)
        return 1;
    if (auto data = preloads_.take(path, generation_, now())) {
        *out = preloadedHandle(path, flags, std::move(*data));
        return 0;
    }
    std::string dir = StatusCache::parentOf(path), name = StatusCache::nameOf(path);
    auto listing = cache_.listing(dir);
    if (!listing)
        return 1;
    size_t at = 0;
    while (at < listing->size() && (*listing)[at].name != name)
        at++;
    // This file and the small regular files after it that are not waiting here already.
    std::vector<std::string> paths;
    for (size_t i = at; i < listing->size() && paths.size() < static_cast<size_t>(opt_.dirReadahead); i++) {
        const ListEntry &e = (*listing)[i];
        std::string p = dir == "/" ? "/" + e.name : dir + "/" + e.name;
        if (!e.hasStatus || !S_ISREG(e.st.st_mode) || e.st.st_size >= static_cast<off_t>(kSmall) ||
            (i > at && preloads_.has(p)))
            continue;
        if (i == at || paths.size() > 0)
            paths.push_back(p);
    }
    if (paths.size() < 2 || paths[0] != path)
        return 1;
    if (serves(hl::kCallOpenread))
        return preloadWithOpen(paths, flags, out);
    uint64_t generation = generation_;
    std::vector<hl::Reply> opened(paths.size()), data(paths.size());
    std::vector<std::unique_ptr<char[]>> buffers(paths.size());
    std::vector<size_t> placed(paths.size());
    hl::SharedLink::Ticket last = 0;
    try {
        for (size_t i = 0; i < paths.size(); i++) {
            hl::Expect e;
            e.reply = &opened[i];
            last = link_->send(hl::Request(wire::CALL_OPEN).word(hl::kOpenRead).word(0).str(hostPath(paths[i].c_str())), std::move(e));
        }
        link_->wait(last);
        bool any = false;
        for (size_t i = 0; i < paths.size(); i++) {
            if (opened[i].raw.size() < 12)
                throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
            int32_t fd = hl::parseResult(opened[i], wire::CALL_OPEN);
            if (fd < 0)
                continue;
            buffers[i].reset(new char[kSmall]);
            hl::Expect e = expectInto(&data[i], 12, buffers[i].get(), kSmall, &placed[i]);
            last = link_->send(ext_ ? hl::pread64Request(fd, kSmall, 0) : hl::Request(wire::CALL_READ).word(fd).word(static_cast<int32_t>(kSmall)),
                               std::move(e));
            link_->send(hl::Request(wire::CALL_CLOSE).word(fd)); // behind
            any = true;
        }
        if (!any)
            return 1;
        link_->wait(last);
    } catch (...) {
        link_->abandon(std::current_exception()); // nothing is written into the buffers any more when they go
        throw;
    }
    std::vector<std::optional<std::string>> contents(paths.size());
    for (size_t i = 0; i < paths.size(); i++) {
        if (!buffers[i])
            continue;
        if (data[i].raw.size() < 12)
            throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
        int32_t n = hl::parseResult(data[i], ext_ ? int(hl::kCallPread64) : int(wire::CALL_READ));
        if (n >= 0 && static_cast<size_t>(n) < kSmall && static_cast<size_t>(n) <= placed[i])
            contents[i].emplace(buffers[i].get(), static_cast<size_t>(n));
    }
    return placePreloads(paths, contents, generation, flags, out);
}

// The first path's data opens it now; the others wait for their opens while nothing has changed
// through the mount since they were asked for. A file without data (grown meanwhile, or
// unreadable) is opened the ordinary way when asked for. 0 when the first was placed, else 1.
int Fs::placePreloads(const std::vector<std::string> &paths, std::vector<std::optional<std::string>> &contents,
                      uint64_t generation, int flags, FileHandle **out)
{
    double until = now() + std::min(opt_.attrTimeout, kPreloadSeconds);
    int result = 1;
    for (size_t i = 0; i < paths.size(); i++) {
        if (!contents[i])
            continue;
        if (i == 0) {
            *out = preloadedHandle(paths[0].c_str(), flags, std::move(*contents[i]));
            result = 0;
        } else if (generation == generation_) {
            preloads_.put(paths[i], std::move(*contents[i]), generation, until);
        }
    }
    return result;
}

// The same with the extension calls: each file opened and read in one request, closed behind it,
// all of them in one round trip.
int Fs::preloadWithOpen(const std::vector<std::string> &paths, int flags, FileHandle **out)
{
    uint64_t generation = generation_;
    std::vector<hl::Reply> replies(paths.size());
    std::vector<std::unique_ptr<char[]>> buffers(paths.size());
    std::vector<size_t> placed(paths.size());
    hl::SharedLink::Ticket last = 0;
    try {
        for (size_t i = 0; i < paths.size(); i++) {
            buffers[i].reset(new char[kSmallWithOpen]);
            hl::Expect e = expectInto(&replies[i], 16, buffers[i].get(), kSmallWithOpen, &placed[i]);
            last = link_->send(hl::openreadRequest(hostPath(paths[i].c_str()), hl::kOpenRead, 0, kSmallWithOpen), std::move(e));
        }
        link_->wait(last);
    } catch (...) {
        link_->abandon(std::current_exception()); // nothing is written into the buffers any more when they go
        throw;
    }
    std::vector<std::optional<std::string>> contents(paths.size());
    for (size_t i = 0; i < paths.size(); i++) {
        if (replies[i].raw.size() < 16)
            throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
        int32_t n = -1;
        int32_t fd = hl::parseOpenread(replies[i], placed[i], &n);
        if (fd < 0)
            continue;
        link_->send(hl::Request(wire::CALL_CLOSE).word(fd)); // behind
        if (n >= 0 && static_cast<size_t>(n) < kSmallWithOpen)
            contents[i].emplace(buffers[i].get(), static_cast<size_t>(n));
    }
    return placePreloads(paths, contents, generation, flags, out);
}

} // namespace hostfs
