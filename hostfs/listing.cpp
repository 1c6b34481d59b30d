// Directory listings: taken whole when a directory is opened, each entry with its status, which
// is remembered, so that the lookups and status calls that follow a listing (ls -l, find, grep -r)
// are answered here. (A name a host listing lacks may be made on the host at any time: only
// directories made through the mount are known to lack what they lack.)
#include <cerrno>
#include <cstring>

#include <hostlink/calls.h>
#include <hostlink/ext.h>
#include <hostlink/status.h>
#include <hostlink/tools.h>

#include "hostfs/fs.h"

namespace hostfs {

namespace {

constexpr int kListingsInFlight = 4; // readdirplus requests kept on the wire
constexpr size_t kMostEntries = 1u << 20;

// A name from the agent is data: nothing that would make a path of its own.
bool usableName(const std::string &name) { return !name.empty() && name.find('/') == std::string::npos; }

std::string childPath(const char *dir, const std::string &name)
{
    return strcmp(dir, "/") == 0 ? "/" + name : std::string(dir) + "/" + name;
}

} // namespace

int Fs::list(const char *path, Listing &out)
{
    // Taken before the files whose creation was deferred are made on the host: one created
    // after it is missing from the listing, which is then not kept.
    uint64_t since = cache_.changes();
    return guard(
        [&]() -> int {
            out.clear();
            if (auto kept = cache_.listing(path)) {
                out = *kept;
                return 0;
            }
            std::string dir = hostPath(path);
            auto add = [&](const std::string &name, const struct stat *st) {
                if (!usableName(name) || out.size() >= kMostEntries)
                    return;
                bool dots = name == "." || name == "..";
                ListEntry entry{name, {}, st != nullptr};
                if (st)
                    entry.st = *st;
                out.push_back(std::move(entry));
                if (!dots && st)
                    cache_.remember(childPath(path, name), *st);
            };
            if (!ext_) {
                std::vector<hl::DirEntry> entries;
                hl::ListOptions lo;
                lo.includeDots = true;
                if (link_->exclusive([&](hl::Link &l) { return hl::listDirectory(l, dir, &entries, lo); }) < 0)
                    return -errno;
                for (const auto &e : entries) {
                    struct stat st;
                    if (!e.error)
                        hl::toStat(e.status, &st);
                    add(e.name, e.error ? nullptr : &st);
                }
                cache_.keepListing(path, std::make_shared<const Listing>(out), since);
                return 0;
            }
            hl::Reply r = call(hl::Request(wire::CALL_OPENDIR).str(dir));
            hl::parseResult(r, wire::CALL_OPENDIR);
            uint32_t handle = static_cast<uint32_t>(hl::decodeResult(r, 0));
            if (handle == 0)
                return -errno;
            // Several requests on the wire at once; those past the end are answered with 0.
            std::vector<hl::Reply> replies(kListingsInFlight);
            int error = 0;
            for (bool end = false; !end && out.size() < kMostEntries;) {
                std::vector<hl::SharedLink::Ticket> tickets;
                for (auto &reply : replies) {
                    hl::Expect e;
                    e.reply = &reply;
                    e.expectedSize = hl::kMaxMessage;
                    tickets.push_back(link_->send(hl::Request(hl::kCallReaddirplus).word(static_cast<int32_t>(handle)).word(0), std::move(e)));
                }
                for (size_t i = 0; i < replies.size(); i++) {
                    link_->wait(tickets[i]);
                    if (end)
                        continue;
                    std::vector<hl::DirEntryPlus> entries;
                    int32_t n = hl::parseReaddirplus(replies[i], entries);
                    if (n <= 0) {
                        end = true;
                        error = n < 0 ? errno : 0;
                        continue;
                    }
                    for (const auto &e : entries) {
                        struct stat st;
                        if (!e.error)
                            hl::toStat(e.status, &st);
                        add(e.name, e.error ? nullptr : &st);
                    }
                }
            }
            link_->send(hl::Request(wire::CALL_CLOSEDIR).word(static_cast<int32_t>(handle))); // behind
            if (error)
                return -error;
            cache_.keepListing(path, std::make_shared<const Listing>(out), since);
            return 0;
        },
        true);
}

} // namespace hostfs
