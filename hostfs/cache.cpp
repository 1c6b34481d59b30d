#include "hostfs/cache.h"

#include <chrono>

namespace hostfs {

namespace {
constexpr size_t kMostEntries = 200000; // beyond this the cache starts afresh
}

StatusCache::StatusCache(double attrSeconds, double listSeconds, Clock clock)
    : attrSeconds_(attrSeconds), listSeconds_(listSeconds), clock_(std::move(clock))
{
    if (!clock_)
        clock_ = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
}

std::string StatusCache::parentOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string StatusCache::nameOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

StatusCache::Answer StatusCache::recall(const std::string &path, struct stat *st)
{
    std::lock_guard<std::mutex> lock(mu_);
    double now = clock_();
    auto it = status_.find(path);
    if (it != status_.end()) {
        if (now < it->second.until) {
            *st = it->second.st;
            return Answer::Found;
        }
        status_.erase(it);
    }
    if (path == "/")
        return Answer::Unknown;
    auto dir = listings_.find(parentOf(path));
    if (dir == listings_.end())
        return Answer::Unknown;
    if (now >= dir->second.until) {
        listings_.erase(dir);
        return Answer::Unknown;
    }
    return dir->second.names.count(nameOf(path)) ? Answer::Unknown : Answer::Missing;
}

void StatusCache::remember(const std::string &path, const struct stat &st)
{
    if (attrSeconds_ <= 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (status_.size() >= kMostEntries)
        status_.clear();
    status_[path] = {st, clock_() + attrSeconds_};
}

void StatusCache::rememberListing(const std::string &dir, const std::vector<std::string> &names)
{
    if (listSeconds_ <= 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (listings_.size() >= kMostEntries / 16)
        listings_.clear();
    Names &n = listings_[dir];
    n.names = std::set<std::string>(names.begin(), names.end());
    n.until = clock_() + listSeconds_;
}

uint64_t StatusCache::changes()
{
    std::lock_guard<std::mutex> lock(mu_);
    return changes_;
}

void StatusCache::keepListing(const std::string &dir, std::shared_ptr<const Listing> listing, uint64_t since)
{
    if (listSeconds_ <= 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (changes_ != since)
        return;
    if (kept_.size() >= kMostEntries / 16)
        kept_.clear();
    kept_[dir] = {std::move(listing), clock_() + listSeconds_};
}

std::shared_ptr<const Listing> StatusCache::listing(const std::string &dir)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = kept_.find(dir);
    if (it == kept_.end())
        return nullptr;
    if (clock_() >= it->second.until) {
        kept_.erase(it);
        return nullptr;
    }
    return it->second.listing;
}

void StatusCache::forgetStatus(const std::string &path)
{
    changes_++;
    status_.erase(path);
    status_.erase(parentOf(path)); // its times and link count change
    kept_.erase(parentOf(path));   // the listing shows the entry and its status
}

void StatusCache::added(const std::string &path) { listed(path, true); }

void StatusCache::removed(const std::string &path) { listed(path, false); }

void StatusCache::listed(const std::string &path, bool present)
{
    std::lock_guard<std::mutex> lock(mu_);
    forgetStatus(path);
    auto dir = listings_.find(parentOf(path));
    if (dir == listings_.end())
        return;
    if (present)
        dir->second.names.insert(nameOf(path));
    else
        dir->second.names.erase(nameOf(path));
}

void StatusCache::changed(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mu_);
    changes_++;
    status_.erase(path);
    kept_.erase(parentOf(path));
}

void StatusCache::forgetTree(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mu_);
    forgetStatus(path);
    std::string below = path == "/" ? "/" : path + "/";
    for (auto it = status_.lower_bound(below); it != status_.end() && it->first.compare(0, below.size(), below) == 0;)
        it = status_.erase(it);
    listings_.erase(path);
    for (auto it = listings_.lower_bound(below);
         it != listings_.end() && it->first.compare(0, below.size(), below) == 0;)
        it = listings_.erase(it);
    kept_.erase(path);
    for (auto it = kept_.lower_bound(below); it != kept_.end() && it->first.compare(0, below.size(), below) == 0;)
        it = kept_.erase(it);
}

std::vector<std::string> StatusCache::forgetLinks(const std::string &path, const struct stat &st)
{
    std::vector<std::string> others;
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = status_.begin(); it != status_.end();) {
        const struct stat &o = it->second.st;
        if (it->first != path && o.st_ino == st.st_ino && o.st_dev == st.st_dev && !S_ISDIR(o.st_mode)) {
            others.push_back(it->first);
            kept_.erase(parentOf(it->first));
            it = status_.erase(it);
        } else {
            ++it;
        }
    }
    return others;
}

void StatusCache::clear()
{
    std::lock_guard<std::mutex> lock(mu_);
    changes_++;
    status_.clear();
    listings_.clear();
    kept_.clear();
}

} // namespace hostfs
