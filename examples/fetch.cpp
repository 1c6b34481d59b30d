// fetch HOST:PORT REMOTE LOCAL: copies a host file here, with a window of reads in flight and a
// progress line on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <hostlink/hostlink.h>

int main(int argc, char **argv)
{
    auto where = argc == 4 ? hostlink::parseEndpoint(argv[1]) : std::nullopt;
    if (!where) {
        fprintf(stderr, "usage: fetch HOST:PORT REMOTE LOCAL\n");
        return 2;
    }
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        fprintf(stderr, "fetch: %s: %s\n", argv[3], strerror(errno));
        return 1;
    }
    int status = 0;
    try {
        hostlink::Link link = hostlink::connectTo(*where);
        hostlink::TransferOptions options;
        options.progress = [](int64_t done, int64_t total) {
            if (total > 0)
                fprintf(stderr, "\r%lld of %lld bytes (%d%%)", static_cast<long long>(done),
                        static_cast<long long>(total), static_cast<int>(done * 100 / total));
            else
                fprintf(stderr, "\r%lld bytes", static_cast<long long>(done));
        };
        int64_t n = hostlink::readFileToFd(link, argv[2], out, options);
        if (n < 0) {
            fprintf(stderr, "\nfetch: %s: %s\n", argv[2], strerror(errno));
            status = 1;
        } else
            fprintf(stderr, "\rfetched %lld bytes\n", static_cast<long long>(n));
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "fetch: %s (%s)\n", e.what(), hostlink::kindName(e.kind()));
        status = 1;
    }
    if (close(out) < 0 && status == 0) {
        fprintf(stderr, "fetch: %s: %s\n", argv[3], strerror(errno));
        status = 1;
    }
    return status;
}
