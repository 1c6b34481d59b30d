// A program of another project built against an installed hostlink: connects to the agent on
// 127.0.0.1:PORT, performs the handshake and asks for the agent's process id.
#include <cstdio>
#include <cstdlib>
#include <hostlink/hostlink.h>
#include <hostlink/version.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    try {
        auto link = hostlink::Link::connect("127.0.0.1", atoi(argv[1]));
        link.setTimeout(20);
        uint32_t answer = link.handshake(41);
        int pid = hostlink::getpid(link);
        printf("hostlink %s: handshake %u, agent pid %d\n", HOSTLINK_VERSION, answer, pid);
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
