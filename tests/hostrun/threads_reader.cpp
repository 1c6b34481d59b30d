// Reads a host file from four threads at once, each many times over, and compares every read
// with the same file read here. Run through hostrun: threads_reader HOSTPATH LOCALPATH.
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

static std::string Slurp(const char *path, size_t chunk)
{
    std::string out;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return "(cannot open)";
    std::vector<char> buf(chunk);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        out.append(buf.data(), static_cast<size_t>(n));
    close(fd);
    return out;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    std::string want = Slurp(argv[2], 65536);
    int bad = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; i++)
                if (Slurp(argv[1], 1000 + 40000 * static_cast<size_t>(t)) != want)
                    __atomic_add_fetch(&bad, 1, __ATOMIC_RELAXED);
        });
    for (auto &th : threads)
        th.join();
    if (bad) {
        printf("%d reads differ\n", bad);
        return 1;
    }
    printf("4 threads read the same bytes as here\n");
    return 0;
}
