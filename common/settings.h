// Process-wide option values, diagnostics and full-transfer helpers.
#pragma once
#include <cstddef>

struct Settings {
    int verbose = 0;
    int pdaemon = 0;
    int failsafe = 1;
    int timeout = 100;
    const char *termCmd = nullptr;
    const char *terminalName = nullptr;
    const char *addToPath[2] = {"", nullptr};
    const char *remote_shell_commands[3] = {"", "rsh", nullptr};
    const char *prog = nullptr;
    int swaprequest = 0;
    // -x: extension calls from 49 up are served (off: every number above 47 ends the service).
    int extensions = 0;
    // Opt-in connection security; all off unless their options are given.
    int auth = 0;                        // -a: authenticated connections
    const char *keyFile = nullptr;       // -k: key file (daemon mode, socket activation)
    const char *listenAddress = nullptr; // -l: address the listener binds
    int inetd = 0;                       // -i: serve the connection on standard input
    int idleLimit = 0;                   // -I: seconds a connection may go without a request
    int quoteArgs = 0;                   // -q: quote the client's arguments for the remote shell
    int multi = 0;                       // -m: daemon mode serves up to this many connections at once
};

extern Settings settings;

// Under -m, the number of the connection that the diagnostics of this process concern: each
// line of Error and Verbose then begins with it in brackets. 0 (no number) otherwise.
extern long long traceConnection;

void Error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Verbose(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A string as a trace line shows it: control bytes (below 0x20, and 0x7f) escaped as \n, \t, \r
// or \xHH, every other byte as it is. A string without control bytes is returned itself; an
// escaped copy lives in a static area until the next TraceReset, and is cut when that is full.
const char *Shown(const char *string);
// The same for the bytes of string up to its first NUL or n bytes, whichever comes first.
const char *ShownBytes(const char *string, int n);
void TraceReset();

[[nodiscard]] long local_readx(int fd, void *buffer, long n);
[[nodiscard]] long local_writex(int fd, const void *buffer, long n);
