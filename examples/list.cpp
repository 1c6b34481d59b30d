// list [--key FILE] HOST:PORT DIR: one line per entry of a host directory, its size and its
// name. Readdir and status requests go out pipelined; the listing comes back in the host's
// order. Sizes are 64 bits wide where the agent serves the extension calls.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <hostlink/hostlink.h>

int main(int argc, char **argv)
{
    hostlink::ClientArgs args;
    std::string dir;
    try {
        for (int i = 1; i < argc;) {
            int n = args.take(argc, argv, i);
            if (n == 0 && dir.empty() && args.complete())
                dir = argv[i], n = 1;
            if (n == 0)
                throw hostlink::UsageError(std::string("unexpected ") + argv[i]);
            i += n;
        }
        if (!args.complete() || dir.empty())
            throw hostlink::UsageError("an agent and a directory are needed");
    } catch (const hostlink::UsageError &e) {
        fprintf(stderr, "list: %s\nusage: list %s DIR\n", e.what(), hostlink::kClientArgsUsage);
        return 2;
    }
    try {
        args.searchKey();
        hostlink::Connected c = hostlink::connectClient(args);
        std::vector<hostlink::DirEntry> entries;
        hostlink::ListOptions options;
        options.withStatus = !c.extensions; // the 64-bit status is asked for below instead
        if (hostlink::listDirectory(c.link, dir, &entries, options) < 0) {
            fprintf(stderr, "list: %s: %s\n", dir.c_str(), strerror(errno));
            return 1;
        }
        std::vector<struct stat> st(entries.size());
        std::vector<int> errors(entries.size());
        if (c.extensions) {
            hostlink::Batch batch(c.link);
            for (size_t i = 0; i < entries.size(); i++) {
                auto request = hostlink::stat64Request(hostlink::kCallLstat64, dir + "/" + entries[i].name);
                batch.submit(request, [&, i](const hostlink::Reply &r, hostlink::Result &) {
                    hostlink::Status64 s;
                    if (hostlink::parseStatus64(r, hostlink::kCallLstat64, &s) == 0)
                        hostlink::toStat(s, &st[i]);
                    else
                        errors[i] = errno;
                });
            }
            batch.drain();
        } else {
            for (size_t i = 0; i < entries.size(); i++) {
                errors[i] = entries[i].error;
                hostlink::toStat(entries[i].status, &st[i]);
            }
        }
        for (size_t i = 0; i < entries.size(); i++) {
            if (errors[i])
                printf("%12s %s\n", "?", entries[i].name.c_str());
            else
                printf("%12lld %s\n", static_cast<long long>(st[i].st_size), entries[i].name.c_str());
        }
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "list: %s (%s)\n", e.what(), hostlink::kindName(e.kind()));
        return 1;
    }
    return 0;
}
