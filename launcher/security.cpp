// The opt-in connection security of the launcher: where the key comes from (a fresh one per
// launch, handed to the remote shell on its standard input, or a key file), the bind address,
// the connection loop that admits only right clients, and socket activation; and the peer check
// that every connection loop makes. Apart from that check nothing here runs unless one of -a, -k,
// -l, -i or -I is given.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "service/auth.h"
#include "service/protocol.h"

void InstallReaper()
{
    struct sigaction sa = {};
    sa.sa_handler = ReapChildren;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, nullptr);
}

namespace {

using authkey::KEY_HEX_DIGITS;
using authkey::KEY_LINE_PREFIX;

// Keepalive probes after a minute of silence, then every 15 seconds; four unanswered probes
// end the connection: a dead peer is noticed within two minutes.
constexpr int KEEPALIVE_IDLE = 60;
constexpr int KEEPALIVE_INTERVAL = 15;
constexpr int KEEPALIVE_COUNT = 4;

} // namespace

void SetConnectionOptions(int connection, bool lenient)
{
    fcntl(connection, F_SETFD, FD_CLOEXEC);
    int on = 1;
    if (setsockopt(connection, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 && !lenient) {
        perror("couldn't set keepalive");
        close(connection);
        exit(1);
    }
    if (setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0 && !lenient) {
        perror("couldn't set tcp_nodelay");
        close(connection);
        exit(1);
    }
    int idle = KEEPALIVE_IDLE, interval = KEEPALIVE_INTERVAL, count = KEEPALIVE_COUNT;
    setsockopt(connection, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(connection, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(connection, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // A client that stops reading its replies, or stops in the middle of a request under -I,
    // is dropped instead of holding the agent in a write or a read for ever.
    struct timeval send = {settings.idleLimit > 0 ? settings.idleLimit : SEND_SECONDS, 0};
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    if (settings.idleLimit > 0) {
        struct timeval receive = {settings.idleLimit, 0};
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
    }
}

void ServeConnection(int connection)
{
    InstallReaper();
    ServiceAdmittedPeer(connection);
    exit(0);
}

bool ParseKey(const char *text, unsigned char *key) { return authkey::ParseKeyText(text, strlen(text), key); }

bool LoadKeyFile(const char *path)
{
    const char *reason = nullptr;
    switch (authkey::ReadKeyFile(path, authKey, &reason)) {
    case authkey::KEY_FILE_OK:
        return true;
    case authkey::KEY_FILE_UNREADABLE:
        Error("Cannot read the key file %s: %s.\n", path, reason);
        return false;
    case authkey::KEY_FILE_REFUSED:
        Error("Key file %s refused: %s; it must be a regular file of this user or root that only its owner "
              "can read (chmod 600).\n",
              path, reason);
        return false;
    case authkey::KEY_FILE_NO_KEY:
        break;
    }
    Error("Key file %s holds no key: %d hexadecimal digits expected, then nothing but white space.\n", path,
          KEY_HEX_DIGITS);
    return false;
}

void PrepareSecurity()
{
    if (!settings.auth)
        return;
    if (!AuthAvailable()) {
        Error("%s: -a and -k are not available: this agent was built without libsodium.\n", settings.prog);
        exit(1);
    }
    if (settings.keyFile) {
        if (!LoadKeyFile(settings.keyFile))
            exit(1);
    } else if (settings.pdaemon || settings.inetd) {
        Error("%s: -a in daemon mode or with -i needs a key file (-kFILE).\n", settings.prog);
        exit(1);
    } else if (!RandomBytes(authKey, authkey::KEY_BYTES)) {
        Error("%s: no random key could be made.\n", settings.prog);
        exit(1);
    }
}

namespace {

// -lADDRESS or -lADDRESS:PORT, split once: the address part (empty: every address) and the port.
struct ListenPoint {
    char *host;
    int port;
};

ListenPoint ParseListenPoint()
{
    static ListenPoint point = {nullptr, -1};
    if (point.port >= 0)
        return point;
    point.host = strdup(settings.listenAddress);
    point.port = 0;
    char *colon = point.host ? strrchr(point.host, ':') : nullptr;
    if (colon) {
        char *end = nullptr;
        long port = strtol(colon + 1, &end, 10);
        if (!point.host || end == colon + 1 || *end || port < 1 || port > 65535) {
            Error("Bad listen port in %s: a number from 1 to 65535 expected.\n", settings.listenAddress);
            exit(1);
        }
        *colon = '\0';
        point.port = static_cast<int>(port);
    }
    return point;
}

} // namespace

in_addr_t ListenAddress()
{
    if (!settings.listenAddress)
        return htonl(INADDR_ANY);
    const char *host = ParseListenPoint().host;
    if (!host || !*host)
        return htonl(INADDR_ANY);
    struct in_addr address;
    if (inet_pton(AF_INET, host, &address) == 1)
        return address.s_addr;
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
        Error("Unknown listen address %s.\n", host);
        exit(1);
    }
    in_addr_t result = reinterpret_cast<struct sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return result;
}

int ListenPort() { return settings.listenAddress ? ParseListenPoint().port : 0; }

// Run in the remote shell's child: its standard input becomes a pipe holding the launch key
// line and then end of file, so that the key is on no command line and in no environment.
int LaunchKeyInput()
{
    if (!settings.auth || settings.keyFile)
        return open("/dev/null", O_RDONLY);
    int keyPipe[2];
    if (pipe(keyPipe) < 0)
        return -1;
    char line[sizeof KEY_LINE_PREFIX + KEY_HEX_DIGITS + 1];
    int n = snprintf(line, sizeof line, "%s", KEY_LINE_PREFIX);
    for (int i = 0; i < authkey::KEY_BYTES; i++)
        n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02x", authKey[i]);
    line[n++] = '\n';
    bool written = local_writex(keyPipe[1], line, n) == n;
    memset(line, 0, sizeof line);
    close(keyPipe[1]);
    if (!written) {
        close(keyPipe[0]);
        return -1;
    }
    return keyPipe[0];
}

// With a host entry, the peer must hold one of its addresses; without one, the dotted address.
bool PeerIsTerminal(const Terminal *terminal, const struct sockaddr_in *peer)
{
    if (terminal->host) {
        for (char **a = terminal->host->h_addr_list; *a; a++) {
            if (memcmp(*a, &peer->sin_addr, 4) == 0)
                return true;
        }
        return false;
    }
    return peer->sin_addr.s_addr == terminal->address;
}

int AcceptAfterWait(const Terminal *terminal, int listener, int ready, int clientArgc, char **clientArgv,
                    struct sockaddr_in *peer)
{
    if (ready <= 0) {
        Error("Timedout attempting to connect to %s on %s.\n", settings.prog, terminal->name);
        close(listener);
        StartBackupClient(clientArgc, clientArgv);
    }
    socklen_t len = sizeof *peer;
    int connection = accept(listener, reinterpret_cast<struct sockaddr *>(peer), &len);
    if (connection < 0) {
        Error("Error attempting to connect to %s on %s.\n", settings.prog, terminal->name);
        exit(0);
    }
    return connection;
}

bool SecureMode() { return settings.auth || settings.idleLimit > 0; }

// The launch under -I alone: one connection, as always, admitted under the handshake deadline.
// (With -a the launch admits side by side, and daemon mode has its own loop: daemon.cpp.)
void ServeSecurely(const Terminal *terminal, int listener, int clientArgc, char **clientArgv)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += settings.timeout;
    int ready;
    do {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        int wait = ms < 0 ? 0 : ms > 1000000000LL ? 1000000000 : static_cast<int>(ms);
        struct pollfd p = {listener, POLLIN, 0};
        ready = settings.timeout < 0 ? 0 : poll(&p, 1, wait);
    } while (ready < 0 && errno == EINTR);
    struct sockaddr_in peer = {};
    int connection = AcceptAfterWait(terminal, listener, ready, clientArgc, clientArgv, &peer);
    close(listener);
    if (!PeerIsTerminal(terminal, &peer)) {
        close(connection);
        Error("Response from unexpected host.\n");
        exit(1);
    }
    SetConnectionOptions(connection, false);
    Verbose("Accepted connection from peer.\n");
    Admission admission = AdmitPeer(connection);
    if (admission == ADMIT_GRANTED)
        ServeConnection(connection);
    exit(admission == ADMIT_CLOSED ? 0 : 1);
}

void ServeInetd()
{
    int connection = fcntl(0, F_DUPFD_CLOEXEC, 3);
    int type = 0;
    socklen_t len = sizeof type;
    if (connection < 0 || getsockopt(connection, SOL_SOCKET, SO_TYPE, &type, &len) < 0 || type != SOCK_STREAM) {
        Error("%s: -i: standard input is not a connected stream socket.\n", settings.prog);
        exit(1);
    }
    // Programs started for the client must not write into the connection: standard input and
    // output become /dev/null, and so does standard error when it is the connection as well.
    struct stat in, err;
    bool errIsConnection = fstat(0, &in) == 0 && fstat(2, &err) == 0 && in.st_dev == err.st_dev &&
                           in.st_ino == err.st_ino;
    int devnull = open("/dev/null", O_RDWR);
    if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || (errIsConnection && dup2(devnull, 2) < 0)) {
        perror("/dev/null");
        exit(1);
    }
    if (devnull > 2)
        close(devnull);
    SetConnectionOptions(connection, true);
    Verbose("Accepted connection from peer.\n");
    Admission admission = AdmitPeer(connection);
    if (admission != ADMIT_GRANTED)
        exit(admission == ADMIT_CLOSED ? 0 : 1);
    ServeConnection(connection);
}
