// The life of the agent: command line, listener, connection loop.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "service/protocol.h"

namespace {

int OpenListener(int *port)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) {
        perror("socket failed");
        exit(1);
    }
    // Programs started for the client have no business with the listener.
    fcntl(listener, F_SETFD, FD_CLOEXEC);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = ListenAddress();
    addr.sin_port = htons(static_cast<uint16_t>(ListenPort()));
    // A lasting service on a fixed port comes back at once after a restart.
    int on = 1;
    if (addr.sin_port != 0)
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind failed");
        close(listener);
        exit(1);
    }
    socklen_t len = sizeof addr;
    if (getsockname(listener, reinterpret_cast<struct sockaddr *>(&addr), &len) < 0) {
        perror("getsockaddr failed");
        close(listener);
        exit(1);
    }
    if (listen(listener, 1) < 0) {
        perror("listen failed");
        close(listener);
        exit(1);
    }
    *port = ntohs(addr.sin_port);
    return listener;
}

} // namespace

int main(int argc, char **argv)
{
    char **clientArgv = static_cast<char **>(calloc(static_cast<size_t>(argc) + 1, sizeof(char *)));
    if (!clientArgv) {
        Error("Couldn't allocate client argument block\n");
        exit(1);
    }
    if (argc < 1) {
        Error("started without a program name\n");
        exit(1);
    }
    settings.prog = argv[0];
    int clientArgc = 0;
    SplitArgs(&argc, argv, &clientArgc, clientArgv);
    ProcessClientArgs(clientArgc, clientArgv);
    ProcessArgs(argc, argv);
    // Under -q the arguments are quoted instead, on their way to the remote shell only.
    if (!settings.quoteArgs)
        EscapeMetaChars(clientArgc, clientArgv);
    if (settings.multi && (!settings.pdaemon || settings.inetd)) {
        Error("%s: -m serves connections in daemon mode: it needs -d and does not go with -i.\n", settings.prog);
        exit(1);
    }
    PrepareSecurity();
    if (settings.inetd)
        ServeInetd();

    // Daemon mode has no terminal; its messages name the wildcard listener instead.
    Terminal terminal = {"any host", nullptr, INADDR_NONE};
    if (!settings.pdaemon)
        LookupTerminal(&terminal);

    int port = 0;
    int listener = OpenListener(&port);
    if (settings.pdaemon) {
        (void)GuardDescriptor(listener); // the first of the agent's own descriptors
        printf("port = %d\n", port);
        fflush(stdout);
    } else {
        LaunchClient(&terminal, listener, port, &clientArgc, &clientArgv);
    }
    if (settings.pdaemon && (settings.multi || SecureMode()))
        ServeDaemon(listener);
    if (settings.auth)
        ServeLaunch(&terminal, listener, clientArgc, clientArgv);
    if (SecureMode())
        ServeSecurely(&terminal, listener, clientArgc, clientArgv);

    for (;;) {
        // Any descriptor number can be waited on: the listener may lie far above 1023.
        struct pollfd waiting = {listener, POLLIN, 0};
        int ready = -1; // a negative time limit is refused, as an invalid one
        if (settings.pdaemon)
            ready = poll(&waiting, 1, -1);
        else if (settings.timeout >= 0)
            ready = poll(&waiting, 1, settings.timeout > INT_MAX / 1000 ? INT_MAX : settings.timeout * 1000);
        struct sockaddr_in peer = {};
        int connection = AcceptAfterWait(&terminal, listener, ready, clientArgc, clientArgv, &peer);
        // Outside daemon mode there is one connection only, and it must come from the terminal.
        if (!settings.pdaemon) {
            close(listener);
            if (!PeerIsTerminal(&terminal, &peer)) {
                close(connection);
                Error("Response from unexpected host.\n");
                exit(1);
            }
        }
        fcntl(connection, F_SETFD, FD_CLOEXEC);
        int on = 1;
        if (setsockopt(connection, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
            perror("couldn't set keepalive");
            close(connection);
            exit(1);
        }
        if (setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
            perror("couldn't set tcp_nodelay");
            close(connection);
            exit(1);
        }
        Verbose("Accepted connection from peer.\n");
        InstallReaper();
        ServicePeer(connection);
        signal(SIGCHLD, SIG_DFL);
        UnguardDescriptor(connection);
        close(connection);
        if (!settings.pdaemon)
            exit(0);
    }
}
