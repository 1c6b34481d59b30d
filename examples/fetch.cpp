// fetch [--key FILE] HOST:PORT REMOTE LOCAL: copies a host file here, with a window of reads in
// flight and a progress line on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <hostlink/hostlink.h>

int main(int argc, char **argv)
{
    hostlink::ClientArgs args;
    std::vector<std::string> paths; // REMOTE LOCAL
    try {
        for (int i = 1; i < argc;) {
            int n = args.take(argc, argv, i);
            if (n == 0 && args.complete() && paths.size() < 2)
                paths.push_back(argv[i]), n = 1;
            if (n == 0)
                throw hostlink::UsageError(std::string("unexpected ") + argv[i]);
            i += n;
        }
        if (!args.complete() || paths.size() != 2)
            throw hostlink::UsageError("an agent, a host file and a local file are needed");
    } catch (const hostlink::UsageError &e) {
        fprintf(stderr, "fetch: %s\nusage: fetch %s REMOTE LOCAL\n", e.what(), hostlink::kClientArgsUsage);
        return 2;
    }
    const char *remote = paths[0].c_str(), *local = paths[1].c_str();
    int out = open(local, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        fprintf(stderr, "fetch: %s: %s\n", local, strerror(errno));
        return 1;
    }
    int status = 0;
    try {
        args.searchKey();
        hostlink::Connected c = hostlink::connectClient(args);
        hostlink::Link &link = c.link;
        hostlink::TransferOptions options;
        options.progress = [](int64_t done, int64_t total) {
            if (total > 0)
                fprintf(stderr, "\r%lld of %lld bytes (%d%%)", static_cast<long long>(done),
                        static_cast<long long>(total), static_cast<int>(done * 100 / total));
            else
                fprintf(stderr, "\r%lld bytes", static_cast<long long>(done));
        };
        int64_t n = hostlink::readFileToFd(link, remote, out, options);
        if (n < 0) {
            fprintf(stderr, "\nfetch: %s: %s\n", remote, strerror(errno));
            status = 1;
        } else
            fprintf(stderr, "\rfetched %lld bytes\n", static_cast<long long>(n));
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "fetch: %s (%s)\n", e.what(), hostlink::kindName(e.kind()));
        status = 1;
    }
    if (close(out) < 0 && status == 0) {
        fprintf(stderr, "fetch: %s: %s\n", local, strerror(errno));
        status = 1;
    }
    return status;
}
