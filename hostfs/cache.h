// What the mount remembers about the host between calls: each path's status, and directories
// whose whole listing is known (so that a name missing from one is known not to be there).
// Everything lives for the cache time; a change through the mount updates or forgets what it
// touches at once. Safe to use from several threads.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace hostfs {

// A directory's entries as the host listed them, each with its status where it could be taken.
struct ListEntry {
    std::string name;
    struct stat st;
    bool hasStatus;
};
using Listing = std::vector<ListEntry>;

class StatusCache {
public:
    using Clock = std::function<double()>; // seconds, monotonic
    // attrSeconds: statuses; listSeconds: listings (0: nothing is kept).
    StatusCache(double attrSeconds, double listSeconds, Clock clock = {});

    enum class Answer { Unknown, Found, Missing };
    // Found with *st, Missing when path's directory is listed and lacks it, else Unknown.
    Answer recall(const std::string &path, struct stat *st);
    void remember(const std::string &path, const struct stat &st);
    // The whole listing of dir (names without "." and ".."), as far as the mount knows it: only
    // for directories made through the mount, since the host may add names at any time.
    void rememberListing(const std::string &dir, const std::vector<std::string> &names);
    // The host's listing of dir, served again to the next opendir within the cache time; not
    // kept when anything changed through the mount since changes() was since (before it was
    // asked for), since it may lack that change.
    void keepListing(const std::string &dir, std::shared_ptr<const Listing> listing, uint64_t since);
    uint64_t changes();
    std::shared_ptr<const Listing> listing(const std::string &dir);

    // A change through the mount: path was made (its directory's listing gains it), removed
    // (loses it), or changed in place. Its own status is forgotten, and its directory's.
    void added(const std::string &path);
    void removed(const std::string &path);
    void changed(const std::string &path);
    // path and everything below it (a renamed or removed directory).
    void forgetTree(const std::string &path);
    // Hard links: the other paths whose status shows the same file as st, forgotten (a change
    // through one name changes them all). Returns them.
    std::vector<std::string> forgetLinks(const std::string &path, const struct stat &st);
    void clear();

    static std::string parentOf(const std::string &path);
    static std::string nameOf(const std::string &path);

private:
    struct Status {
        struct stat st;
        double until;
    };
    struct Names {
        std::set<std::string> names;
        double until;
    };
    void forgetStatus(const std::string &path); // mu_ held
    // path's status forgotten; its directory's listing, if kept, gains or loses its name.
    void listed(const std::string &path, bool present);

    double attrSeconds_, listSeconds_;
    uint64_t changes_ = 0; // changes made through the mount
    Clock clock_;
    std::mutex mu_;
    std::map<std::string, Status> status_;
    std::map<std::string, Names> listings_;
    struct Kept {
        std::shared_ptr<const Listing> listing;
        double until;
    };
    std::map<std::string, Kept> kept_;
};

} // namespace hostfs
