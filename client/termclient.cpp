// The bundled terminal client: started as NAME -peer PORT ARGS..., it connects back to the
// host agent, performs the handshake and reports what it received.
//   host: $HOSTAGENT_HOST, else the loopback address.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "client/environ_api.h"
#include "client/hostlink.h"

// The host's name, the user the agent runs as, and the host's clock.
static void ShowHost(hostlink::Link &link)
{
    std::string login = hostlink::getLogin(link);
    int uid = hostlink::getUid(link);
    hostlink::TimeOfDay now = hostlink::getTimeOfDay(link);
    printf("host: %s\n", hostlink::getHostName(link).c_str());
    printf("user: %s (uid %d)\n", login.empty() ? "(no login name)" : login.c_str(), uid);
    if (now.result < 0)
        printf("time: unavailable (error %d)\n", now.error);
    else {
        time_t seconds = static_cast<time_t>(now.seconds);
        char when[64] = "?";
        if (struct tm *utc = gmtime(&seconds))
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
        printf("time: %s (%lld.%06d)\n", when, static_cast<long long>(now.seconds), now.microseconds);
    }
}

int main(int argc, char **argv)
{
    int port = -1;
    bool swapped = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-peer") == 0 && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (strcmp(argv[i], "-swapped") == 0)
            swapped = true;
    }
    if (port <= 0) {
        fprintf(stderr, "usage: %s -peer PORT [-swapped] [ARGS...]\n", argv[0]);
        return 2;
    }
    const char *host = getenv("HOSTAGENT_HOST");
    if (!host || !*host)
        host = "127.0.0.1";
    try {
        auto link = hostlink::Link::connect(host, port, swapped);
        uint32_t answer = link.handshake(41);
        printf("connected to the host agent at %s:%d (%s byte order)\n", host, port,
               swapped ? "opposite" : "same");
        printf("handshake: nonce 41 answered with %u\n", answer);
        ShowHost(link);
        link.close();
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
