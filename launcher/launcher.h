// The client launcher: command line, terminal launch, fall-back and the connection loop.
#pragma once
#include <netdb.h>
#include <netinet/in.h>

void SplitArgs(int *argc, char **argv, int *clientArgc, char **clientArgv);
void ProcessClientArgs(int clientArgc, char **clientArgv);
void ProcessArgs(int argc, char **argv);
void Usage();
void Help();
bool ProcessSecurityArg(char *arg);
void EscapeMetaChars(int clientArgc, char **clientArgv);
char *EscapeArg(const char *arg);
char *QuoteArg(const char *arg);

[[noreturn]] void StartBackupClient(int clientArgc, char **clientArgv);
const char *StripClientPrefix(const char *name);

// -m: connections a daemon serves at once when no number is given, and the most it takes.
constexpr int DEFAULT_CONNECTIONS = 16;
constexpr int MAX_CONNECTIONS = 1024;

// Room for a PATH element, a slash, a remote shell name and the NUL.
constexpr int REMOTE_SHELL_PATH_SIZE = 1024;

// What the terminal lookup found: the name as given (never the resolved one), a private copy of
// the resolver's host entry or null, and the address parsed from a dotted name with no entry.
struct Terminal {
    const char *name;
    struct hostent *host;
    in_addr_t address;
};

char *GetTerminal();
void LookupTerminal(Terminal *terminal);
const char *mapCmd(const char *name);
void BuildCommandLine(int *clientArgc, char ***clientArgv, int port);
char *FindRemoteShellCommand(char *path);
int StartClient(const char *terminalName, int clientArgc, char **clientArgv);
void LaunchClient(const Terminal *terminal, int listener, int port, int *clientArgc, char ***clientArgv);

// security.cpp: the opt-in connection security (-a, -k, -l, -i, -I) and the peer check.
// ReapChildren for SIGCHLD while connections are served, restarting interrupted calls.
void InstallReaper();
void PrepareSecurity();
bool ParseKey(const char *text, unsigned char *key);
bool LoadKeyFile(const char *path);
in_addr_t ListenAddress();
// The port of -lADDRESS:PORT, or 0: the system assigns one.
int ListenPort();
int LaunchKeyInput();
bool PeerIsTerminal(const Terminal *terminal, const struct sockaddr_in *peer);
// After the wait for the client (ready: what poll gave): none came, and the backup client takes
// over; a failed accept ends the agent; otherwise the connection, its address in peer.
int AcceptAfterWait(const Terminal *terminal, int listener, int ready, int clientArgc, char **clientArgv,
                    struct sockaddr_in *peer);
bool SecureMode();
// Seconds a connection's reply may wait for the client to read, when no -I is given.
constexpr int SEND_SECONDS = 120;
// Close-on-exec, keepalive, no delay and the send deadline; a failure ends the agent unless lenient.
void SetConnectionOptions(int connection, bool lenient);
// Serves a connection that its admission granted, to the end of the process.
[[noreturn]] void ServeConnection(int connection);
[[noreturn]] void ServeSecurely(const Terminal *terminal, int listener, int clientArgc, char **clientArgv);
[[noreturn]] void ServeInetd();

// daemon.cpp: connections admitted side by side, in daemon mode with the security options or -m
// (each served by a child process of its own under -m) and in the launch under -a.
[[noreturn]] void ServeDaemon(int listener);
// The launch under -a: the same admission, for connections from the terminal until the -t limit.
[[noreturn]] void ServeLaunch(const Terminal *terminal, int listener, int clientArgc, char **clientArgv);
