// list HOST:PORT DIR: one line per entry of a host directory, its size and its name.
// Readdir and lstat requests go out pipelined; the listing comes back in the host's order.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <hostlink/hostlink.h>

int main(int argc, char **argv)
{
    auto where = argc == 3 ? hostlink::parseEndpoint(argv[1]) : std::nullopt;
    if (!where) {
        fprintf(stderr, "usage: list HOST:PORT DIR\n");
        return 2;
    }
    try {
        hostlink::Link link = hostlink::connectTo(*where);
        std::vector<hostlink::DirEntry> entries;
        if (hostlink::listDirectory(link, argv[2], &entries) < 0) {
            fprintf(stderr, "list: %s: %s\n", argv[2], strerror(errno));
            return 1;
        }
        for (const auto &e : entries) {
            if (e.error)
                printf("%12s %s\n", "?", e.name.c_str());
            else
                printf("%12d %s\n", e.status.size, e.name.c_str());
        }
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "list: %s (%s)\n", e.what(), hostlink::kindName(e.kind()));
        return 1;
    }
    return 0;
}
