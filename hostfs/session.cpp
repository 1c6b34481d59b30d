// The link under the mount: taking it over, noticing its loss, and connecting again.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hostfs/fs.h"

namespace hostfs {

namespace {

constexpr size_t kMostInFlight = 64u << 20; // bytes of requests and awaited replies on the wire

// The agent's side of a new link: the working directory at the root (paths go relative to it)
// and, with the extension calls, no file-creation mask (modes arrive as the terminal asks).
std::optional<std::string> prepare(hl::Link &link, const Options &opt, bool ext)
{
    link.setTimeout(opt.linkTimeout);
    if (ext)
        hl::umask(link, 0);
    if (hl::chdir(link, opt.root) < 0)
        return "hostfs: " + opt.root + " is no directory on the host: " + strerror(errno);
    return std::nullopt;
}

} // namespace

Fs::Fs(Options options)
    : opt_(std::move(options)), cache_(opt_.attrTimeout, std::min(opt_.attrTimeout, opt_.entryTimeout))
{
}

Fs::~Fs() = default;

std::optional<std::string> Fs::attach(hl::Link link, bool extensions, int lastExtension)
{
    ext_ = extensions && !opt_.noext;
    lastExt_ = ext_ ? lastExtension : 0;
    if (auto problem = prepare(link, opt_, ext_))
        return problem;
    link_ = std::make_unique<hl::SharedLink>(std::move(link), kMostInFlight);
    return std::nullopt;
}

std::string Fs::hostPath(const char *path)
{
    while (*path == '/')
        path++;
    return *path ? std::string(path) : std::string(".");
}

void Fs::connectionLost(const std::string &why)
{
    if (opt_.reconnect && connect_)
        return;
    if (gone_.exchange(true))
        return;
    std::string message = "hostfs: the link to the agent is lost (" + why + "): unmounting";
    fprintf(stderr, "%s\n", message.c_str());
    if (lost_)
        lost_(message);
}

bool Fs::reconnect()
{
    std::lock_guard<std::mutex> lock(lossMu_);
    if (!link_->broken())
        return true; // another thread has done it
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(opt_.linkTimeout, 0.5));
    std::string last;
    if (auto failure = link_->failure()) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception &e) {
            fprintf(stderr, "hostfs: the link to the agent is lost (%s): connecting again\n", e.what());
        }
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        try {
            hl::Link link = connect_();
            if (auto problem = prepare(link, opt_, ext_)) {
                last = *problem;
            } else {
                {
                    // Nothing streamed on the old link closes a descriptor number on the new one.
                    std::lock_guard<std::mutex> streaming(streamMu_);
                    link_->reset(std::move(link));
                    epoch_++; // open files are reopened by path as they are next used
                }
                cache_.clear();
                preloads_.clear();
                fprintf(stderr, "hostfs: connected to the agent again\n");
                return true;
            }
        } catch (const hl::LinkError &e) {
            last = e.what();
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    fprintf(stderr, "hostfs: cannot connect to the agent again: %s\n", last.c_str());
    return false;
}

int Fs::guard(const std::function<int()> &f, bool idempotent, bool ownFile)
{
    if (gone_ || !link_)
        return -EIO;
    try {
        if (opt_.reconnect && connect_ && link_->broken() && !reconnect())
            return -EIO;
        if (!ownFile)
            settleDeferred();
        return f();
    } catch (const hl::LinkError &e) {
        connectionLost(e.what());
        if (!(opt_.reconnect && connect_) || !reconnect() || !idempotent)
            return -EIO;
    }
    try {
        if (!ownFile)
            settleDeferred();
        return f();
    } catch (const hl::LinkError &e) {
        connectionLost(e.what());
        return -EIO;
    }
}

void Fs::watch()
{
    if (gone_ || !link_)
        return;
    if (!link_->broken()) {
        try {
            sweepStreamed(); // what was streamed and not opened goes in time
        } catch (const hl::LinkError &) {
            return; // the next operation finds the link broken
        }
    }
    if (!link_->idleButGone())
        return;
    link_->breakWith(std::make_exception_ptr(hl::LinkError(hl::LinkError::Kind::Closed, "the agent closed the connection")));
    if (opt_.reconnect && connect_)
        reconnect();
    else
        connectionLost("the agent closed the connection");
}

hl::Reply Fs::call(const hl::Request &req)
{
    hl::Reply r = link_->call(req);
    if (r.raw.size() < 12) // not answered on this link: it was lost and made again meanwhile
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
    return r;
}

int32_t Fs::simple(const hl::Request &req) { return hl::parseResult(call(req), req.call()); }

int Fs::simpleErr(const hl::Request &req) { return simple(req) < 0 ? -(errno ? errno : EIO) : 0; }

int Fs::exclusive(const std::function<int32_t(hl::Link &)> &f)
{
    int32_t r = link_->exclusive([&](hl::Link &link) {
        errno = 0;
        int32_t v = f(link);
        return v < 0 ? -(errno ? errno : EIO) : 0;
    });
    return r;
}

} // namespace hostfs
