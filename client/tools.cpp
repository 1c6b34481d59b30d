#include <hostlink/tools.h>

#include "client/callnumbers.h"

#include <cerrno>
#include <deque>
#include <unistd.h>

namespace hostlink {

// ---- Directories ----

int listDirectory(Link &link, std::string_view dir, std::vector<DirEntry> *entries, const ListOptions &options)
{
    entries->clear();
    Batch batch(link);
    batch.setDeadline(options.totalSeconds);
    uint32_t handle = static_cast<uint32_t>(batch.opendir(dir).value());
    if (handle == 0)
        return -1;
    std::string prefix(dir);
    if (prefix.empty() || prefix.back() != '/')
        prefix.push_back('/');
    // Readdirs stay ahead by a window; each name's lstat follows it into the pipeline. Readdirs
    // sent past the end are answered with the end again and cost nothing else.
    int window = options.readdirWindow > 0 ? options.readdirWindow : 1;
    std::deque<Pending> names;
    std::deque<std::pair<size_t, Pending>> statuses;
    for (int i = 0; i < window; i++)
        names.push_back(batch.readdir(handle));
    batch.flush();
    int error = 0;
    bool atEnd = false;
    auto collectStatuses = [&](bool all) {
        while (!statuses.empty() && (all || statuses.front().second.ready())) {
            const Result &r = statuses.front().second.get();
            DirEntry &e = (*entries)[statuses.front().first];
            e.error = r.error;
            if (r.ok())
                e.status = r.status;
            statuses.pop_front();
        }
    };
    size_t nameBytes = 0;
    while (!names.empty()) {
        Result r = names.front().get();
        names.pop_front();
        if (atEnd)
            continue;
        if (r.value <= 0) {
            atEnd = true;
            error = r.value < 0 ? r.error : 0;
            continue;
        }
        if (!options.includeDots && (r.text == "." || r.text == ".."))
            continue;
        nameBytes += r.text.size();
        if (entries->size() >= options.maxEntries || nameBytes > options.maxNameBytes) {
            atEnd = true;
            error = EOVERFLOW;
            continue;
        }
        names.push_back(batch.readdir(handle));
        entries->push_back(DirEntry{std::move(r.text), {}, 0});
        if (options.withStatus)
            statuses.emplace_back(entries->size() - 1, batch.lstat(prefix + entries->back().name));
        collectStatuses(false);
    }
    collectStatuses(true);
    batch.closedir(handle).get();
    if (error) {
        errno = error;
        return -1;
    }
    return 0;
}

// ---- Whole files ----

namespace detail {

bool writeAllLocal(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace detail

namespace {

int64_t fail(int error)
{
    errno = error;
    return -1;
}

size_t chunkOf(const TransferOptions &o)
{
    return o.chunk == 0 || o.chunk > static_cast<size_t>(kMaxData) ? static_cast<size_t>(kMaxData) : o.chunk;
}

} // namespace

int64_t readFile(Link &link, std::string_view path, const std::function<bool(const char *, size_t)> &sink,
                 const TransferOptions &options)
{
    size_t chunk = chunkOf(options);
    size_t window = options.window > 0 ? static_cast<size_t>(options.window) : 1;
    // The buffers outlive the batch (declared first); the batch, abandoned by an exception,
    // also stops writing into them.
    std::vector<std::string> buffers(window, std::string(chunk, '\0'));
    std::deque<std::pair<size_t, Pending>> reads;
    Batch batch(link, window * (chunk + 128) + 4096);
    batch.setDeadline(options.totalSeconds);
    int32_t fd = batch.open(path, kOpenRead).value();
    if (fd < 0)
        return -1;
    Pending size = batch.fstat(fd);
    // Consecutive reads of one descriptor return consecutive parts of the file; the first short
    // one marks the end, and the reads in flight behind it return 0.
    size_t next = 0;
    for (; next < window; next++)
        reads.emplace_back(next, batch.read(fd, buffers[next].data(), chunk));
    int64_t total = size.get().ok() ? size.get().status.size : -1;
    int64_t done = 0;
    int error = 0;
    bool atEnd = false;
    while (!reads.empty()) {
        auto [index, pending] = std::move(reads.front());
        reads.pop_front();
        const Result &r = pending.get();
        if (atEnd)
            continue;
        if (r.value < 0) {
            error = r.error;
            atEnd = true;
            continue;
        }
        if (options.maxBytes >= 0 && r.value > options.maxBytes - done) {
            error = EFBIG;
            atEnd = true;
            continue;
        }
        if (r.value > 0 && !sink(buffers[index].data(), static_cast<size_t>(r.value))) {
            error = errno ? errno : EIO;
            atEnd = true;
            continue;
        }
        done += r.value;
        if (options.progress)
            options.progress(done, total);
        if (static_cast<size_t>(r.value) < chunk) {
            atEnd = true;
            continue;
        }
        reads.emplace_back(index, batch.read(fd, buffers[index].data(), chunk));
    }
    batch.close(fd).get();
    return error ? fail(error) : done;
}

int64_t readFile(Link &link, std::string_view path, std::string *contents, const TransferOptions &options)
{
    contents->clear();
    TransferOptions capped = options;
    if (capped.maxBytes < 0 || capped.maxBytes > kMaxStringRead)
        capped.maxBytes = kMaxStringRead;
    return readFile(
        link, path,
        [contents](const char *p, size_t n) {
            contents->append(p, n);
            return true;
        },
        capped);
}

int64_t readFileToFd(Link &link, std::string_view path, int localFd, const TransferOptions &options)
{
    return readFile(
        link, path, [localFd](const char *p, size_t n) { return detail::writeAllLocal(localFd, p, n); }, options);
}

namespace {

// Writes what source yields (false at its end, or on an error with errno set).
int64_t writeFrom(Link &link, std::string_view path, int32_t mode, const TransferOptions &options, int64_t total,
                  const std::function<bool(std::string *chunk, size_t max)> &source)
{
    size_t chunk = chunkOf(options);
    size_t window = options.window > 0 ? static_cast<size_t>(options.window) : 1;
    Batch batch(link, window * (chunk + 128) + 4096);
    batch.setDeadline(options.totalSeconds);
    int32_t fd = batch.open(path, kOpenWrite | kOpenCreate | kOpenTruncate, mode).value();
    if (fd < 0)
        return -1;
    std::deque<std::pair<size_t, Pending>> writes;
    int64_t done = 0;
    int error = 0;
    auto collect = [&](bool all) {
        while (!writes.empty() && (all || writes.size() >= window)) {
            auto [want, pending] = std::move(writes.front());
            writes.pop_front();
            const Result &r = pending.get();
            if (error)
                continue;
            if (r.value < 0)
                error = r.error;
            else if (static_cast<size_t>(r.value) != want)
                error = EIO;
            else {
                done += r.value;
                if (options.progress)
                    options.progress(done, total);
            }
        }
    };
    std::string piece;
    while (!error) {
        errno = 0;
        if (!source(&piece, chunk)) {
            if (errno)
                error = errno;
            break;
        }
        writes.emplace_back(piece.size(), batch.write(fd, piece.data(), piece.size()));
        collect(false);
    }
    collect(true);
    Pending closed = batch.close(fd);
    if (closed.get().value < 0 && !error)
        error = closed.get().error;
    return error ? fail(error) : done;
}

} // namespace

int64_t writeFile(Link &link, std::string_view path, std::string_view data, int32_t mode,
                  const TransferOptions &options)
{
    size_t pos = 0;
    return writeFrom(link, path, mode, options, static_cast<int64_t>(data.size()),
                     [&](std::string *piece, size_t max) {
                         if (pos >= data.size())
                             return false;
                         size_t n = std::min(max, data.size() - pos);
                         piece->assign(data.substr(pos, n));
                         pos += n;
                         return true;
                     });
}

int64_t writeFileFromFd(Link &link, std::string_view path, int localFd, int32_t mode, const TransferOptions &options)
{
    return writeFrom(link, path, mode, options, -1, [localFd](std::string *piece, size_t max) {
        piece->resize(max);
        size_t got = 0;
        while (got < max) {
            ssize_t r = ::read(localFd, piece->data() + got, max - got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return false;
            if (r == 0)
                break;
            got += static_cast<size_t>(r);
        }
        piece->resize(got);
        return got > 0;
    });
}

} // namespace hostlink
