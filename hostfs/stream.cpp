// Streaming across files: a program that reads a directory's files one after another (cat *,
// xargs over ls, several such readers at once) pays a round trip for each open. Once its opens
// in a listed directory follow an order (the listing's, or the names' sorted order), the files
// that come next in that order, of sizes one openread and its preadlasts bring whole, are
// opened and read before it asks: when it opens one, its data is on the way or in.
// What was streamed is used while nothing changed through the mount since and for at most the
// cache time (as the small files of a directory's read-ahead); an open that is not read-only
// drops it.
#include <algorithm>
#include <chrono>
#include <numeric>

#include <hostlink/ext.h>

#include "hostfs/fs.h"

namespace hostfs {

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr size_t kSmall = hl::kMaxData; // smaller ones are read ahead by the directory's read-ahead

} // namespace

std::optional<Fs::Streamed> Fs::takeStreamed(const char *path, int flags)
{
    std::lock_guard<std::mutex> lock(streamMu_);
    auto it = streamed_.find(path);
    if (it == streamed_.end())
        return std::nullopt;
    Streamed s = std::move(it->second);
    streamed_.erase(it);
    streamBytes_ -= static_cast<size_t>(s.size);
    if ((flags & O_ACCMODE) == O_RDONLY && s.generation == generation_ && s.epoch == epoch_ && now() < s.until)
        return s;
    streamDropped_.push_back(std::move(s));
    return std::nullopt;
}

void Fs::reapStreamed(double t)
{
    for (auto it = streamed_.begin(); it != streamed_.end();) {
        if (t < it->second.until && it->second.epoch == epoch_) {
            ++it;
            continue;
        }
        streamBytes_ -= static_cast<size_t>(it->second.size);
        streamDropped_.push_back(std::move(it->second));
        it = streamed_.erase(it);
    }
    for (auto it = streamDropped_.begin(); it != streamDropped_.end();) {
        if (!link_->done(it->chunks.back()->ticket)) {
            ++it;
            continue;
        }
        // Its descriptor is closed on the link that opened it; one of an earlier link is gone.
        FileHandle::Chunk &c = *it->chunks.front();
        int32_t count;
        if (it->epoch == epoch_ && c.reply.raw.size() >= 16)
            if (int32_t fd = hl::parseOpenread(c.reply, c.placed, &count); fd >= 0)
                link_->send(hl::Request(wire::CALL_CLOSE).word(fd));
        it = streamDropped_.erase(it);
    }
}

void Fs::streamAfter(const char *path)
{
    if (opt_.dirReadahead <= 0 || opt_.attrTimeout <= 0 || !serves(hl::kCallPreadlast))
        return; // (with no cache time, what was streamed could never be used)
    std::string dir = StatusCache::parentOf(path), name = StatusCache::nameOf(path);
    std::shared_ptr<const Listing> listing = cache_.listing(dir);
    double t = now();
    std::lock_guard<std::mutex> lock(streamMu_);
    reapStreamed(t);
    if (!listing)
        return;
    if (streaks_.size() > 64 && !streaks_.count(dir))
        streaks_.clear();
    Streak &k = streaks_[dir];
    if (k.listing != listing || t - k.when > kPreloadSeconds) { // a new streak
        k = Streak{};
        k.listing = listing;
        for (size_t i = 0; i < listing->size(); i++)
            k.at[(*listing)[i].name] = i;
        k.byName.resize(listing->size());
        std::iota(k.byName.begin(), k.byName.end(), size_t{0});
        std::sort(k.byName.begin(), k.byName.end(), [&](size_t a, size_t b) { return (*listing)[a].name < (*listing)[b].name; });
    }
    auto here = k.at.find(name);
    if (here == k.at.end())
        return;
    if (!k.last.empty()) {
        k.inListing += here->second > k.at[k.last];
        k.inNames += name > k.last;
    }
    k.last = name;
    k.when = t;
    k.seen.insert(name);
    if (k.inListing + k.inNames == 0)
        return; // one open is no order yet
    // The order with more opens after the one before (shell patterns sort by name); as many
    // files ahead as the order has held opens, doubling, so that a short run costs little.
    bool names = k.inNames >= k.inListing;
    size_t ahead = size_t{1} << std::min(std::max(k.inNames, k.inListing), 5);
    size_t from = here->second;
    if (names)
        from = static_cast<size_t>(std::lower_bound(k.byName.begin(), k.byName.end(), name,
                                                    [&](size_t i, const std::string &n) { return (*listing)[i].name < n; }) -
                                   k.byName.begin());
    double until = t + std::min(opt_.attrTimeout, kPreloadSeconds);
    for (size_t step = 1; step <= kStreamScan && from + step < listing->size(); step++) {
        const ListEntry &e = (*listing)[names ? k.byName[from + step] : from + step];
        if (!e.hasStatus || !S_ISREG(e.st.st_mode) || e.st.st_size < static_cast<off_t>(kSmall) ||
            e.st.st_size > kWholeAtOpen || k.seen.count(e.name))
            continue;
        size_t size = static_cast<size_t>(e.st.st_size);
        if (streamBytes_ + size > kStreamBytes || streamed_.size() >= std::min<size_t>(ahead, static_cast<size_t>(opt_.dirReadahead)))
            break;
        std::string p = dir == "/" ? "/" + e.name : dir + "/" + e.name;
        Streamed s;
        s.size = e.st.st_size;
        s.generation = generation_;
        s.epoch = epoch_;
        s.until = until;
        try {
            sendOpenread(p, O_RDONLY, std::min<int64_t>(s.size, static_cast<int64_t>(opt_.readaheadChunks) * hl::kMaxData), &s.chunks);
        } catch (...) {
            link_->abandon(std::current_exception()); // before the chunks go
            throw;
        }
        k.seen.insert(e.name);
        streamBytes_ += size;
        streamed_[p] = std::move(s);
    }
}

void Fs::sweepStreamed()
{
    std::lock_guard<std::mutex> lock(streamMu_);
    reapStreamed(now());
}

} // namespace hostfs
