// Command line: own options, the client's arguments and their escaping (or, under -q, quoting).
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/settings.h"
#include "common/wire.h"
#include "launcher/launcher.h"

void SplitArgs(int *argc, char **argv, int *clientArgc, char **clientArgv)
{
    int total = *argc;
    *clientArgc = 0;
    *argc = 1;
    for (int i = 0; i < total; i++) {
        if (strcmp(argv[i], "--") == 0) {
            *argc = i;
            *clientArgc = 1;
        } else {
            clientArgv[(*clientArgc)++] = argv[i];
        }
    }
    argv[*argc] = nullptr;
    clientArgv[*clientArgc] = nullptr;
}

void ProcessClientArgs(int clientArgc, char **clientArgv)
{
    if (clientArgc < 2)
        return;
    for (int i = 1; i < clientArgc; i++) {
        if (strcmp(clientArgv[i], "-display") == 0 && i + 1 < clientArgc) {
            const char *value = clientArgv[++i];
            size_t size = strlen(value) + 9;
            char *entry = static_cast<char *>(malloc(size));
            if (entry) {
                snprintf(entry, size, "DISPLAY=%s", value);
                putenv(entry);
            }
        }
    }
}

// The classic line, for an own argument that matches no option.
void Usage()
{
    Error("usage: %s [ [-fs] [-nfs] [-v] [-d] [-r<remsh>] [-p<path>]\n\t[-t<timeout>] [-c<command>] -- ] ....\n",
          settings.prog);
}

// "--help --": the classic line and every own option by what it concerns, on standard output.
void Help()
{
    printf("usage: %s [ [-fs] [-nfs] [-v] [-d] [-r<remsh>] [-p<path>]\n\t[-t<timeout>] [-c<command>] -- ] ....\n"
           "  launch:     [-h<terminal>] [-r<remsh>] [-c<command>] [-p<path>] [-t<timeout>] [-fs] [-nfs] [-q] [-v]\n"
           "  daemon:     [-d] [-m[<connections>]] [-l<address>[:<port>]] [-i]\n"
           "  security:   [-a] [-k<keyfile>] [-I<seconds>]\n"
           "  extensions: [-x]\n"
           "  this list:  [--help]\n"
           "Own options stand before the last --; see hostagent(1).\n",
           settings.prog);
    fflush(stdout);
}

namespace {

// "-t%d" (and "-I%d" likewise): optional white space, optional sign, at least one digit, then
// anything. A number outside the 32-bit range is refused.
bool ParseNumber(const char *arg, const char *option, int *value)
{
    if (strncmp(arg, option, 2) != 0)
        return false;
    const char *p = arg + 2;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    const char *digits = p;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(p, &end, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// "-m", or "-m" and a number from 1 to MAX_CONNECTIONS and nothing else.
bool ParseConnectionLimit(const char *arg, int *value)
{
    if (strncmp(arg, "-m", 2) != 0)
        return false;
    const char *p = arg + 2;
    if (!*p) {
        *value = DEFAULT_CONNECTIONS;
        return true;
    }
    long v = 0;
    for (; *p; p++) {
        if (!isdigit(static_cast<unsigned char>(*p)) || v > MAX_CONNECTIONS)
            return false;
        v = v * 10 + (*p - '0');
    }
    if (v < 1 || v > MAX_CONNECTIONS)
        return false;
    *value = static_cast<int>(v);
    return true;
}

} // namespace

// The options of the opt-in connection security and of daemon mode's -m, tried after every other option. None of them
// begins with the letters of an earlier test, so no argument that one of those accepts changes
// its meaning.
bool ProcessSecurityArg(char *arg)
{
    int n;
    if (strcmp(arg, "-a") == 0) {
        settings.auth = 1;
    } else if (strcmp(arg, "-i") == 0) {
        settings.inetd = 1;
    } else if (strcmp(arg, "-q") == 0) {
        settings.quoteArgs = 1;
    } else if (strncmp(arg, "-k", 2) == 0) {
        settings.keyFile = arg + 2;
        settings.auth = 1;
    } else if (strncmp(arg, "-l", 2) == 0) {
        settings.listenAddress = arg + 2;
    } else if (ParseNumber(arg, "-I", &n) && n >= 0) {
        settings.idleLimit = n;
    } else if (ParseConnectionLimit(arg, &n)) {
        settings.multi = n;
    } else {
        return false;
    }
    return true;
}

void ProcessArgs(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        char *arg = argv[i];
        int t;
        if (strcmp(arg, "-v") == 0) {
            settings.verbose = 1;
        } else if (strcmp(arg, "-d") == 0) {
            settings.pdaemon = 1;
        } else if (strcmp(arg, "-fs") == 0) {
            settings.failsafe = 1;
        } else if (strcmp(arg, "-nfs") == 0) {
            settings.failsafe = 0;
        } else if (ParseNumber(arg, "-t", &t)) {
            settings.timeout = t;
        } else if (strncmp(arg, "-r", 2) == 0) {
            settings.remote_shell_commands[0] = arg + 2;
        } else if (strncmp(arg, "-p", 2) == 0) {
            settings.addToPath[0] = arg + 2;
        } else if (strncmp(arg, "-c", 2) == 0) {
            settings.termCmd = arg + 2;
        } else if (strncmp(arg, "-h", 2) == 0) {
            settings.terminalName = arg + 2;
        } else if (strcmp(arg, "-x") == 0) {
            // Tried last: it matches only what every earlier test refuses.
            settings.extensions = 1;
        } else if (strcmp(arg, "--help") == 0) {
            // No earlier test takes an argument that begins with two dashes.
            Help();
            exit(0);
        } else if (!ProcessSecurityArg(arg)) {
            Usage();
            exit(1);
        }
    }
    // Clients learn of the extensions through getenv, a call every agent answers.
    // The second entry names the highest call served, so that a client can tell the calls added
    // since the first extensions from an agent that ends the service on them.
    if (settings.extensions) {
        char last[16];
        snprintf(last, sizeof last, "%d", wire::NUM_NAMED_CALLS - 1);
        setenv("HOSTAGENT_EXTENSIONS", "1", 1);
        setenv("HOSTAGENT_EXTENSION_CALLS", last, 1);
    }
}

namespace {

bool IsMeta(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ';' || c == '|' ||
           c == '&' || c == '"' || c == '\'';
}

} // namespace

// The escaped copy of arg, or null when nothing needs escaping or no memory is left.
// Arguments of any length are escaped whole.
char *EscapeArg(const char *arg)
{
    size_t len = 0, metas = 0;
    for (const char *p = arg; *p; p++, len++)
        metas += IsMeta(static_cast<unsigned char>(*p));
    if (metas == 0)
        return nullptr;
    char *copy = static_cast<char *>(malloc(len + metas + 1));
    if (!copy)
        return nullptr;
    char *q = copy;
    for (const char *p = arg; *p; p++) {
        if (IsMeta(static_cast<unsigned char>(*p)))
            *q++ = '\\';
        *q++ = *p;
    }
    *q = '\0';
    return copy;
}

void EscapeMetaChars(int clientArgc, char **clientArgv)
{
    for (int i = 0; i < clientArgc; i++) {
        char *copy = EscapeArg(clientArgv[i]);
        if (copy)
            clientArgv[i] = copy;
    }
}

// Under -q: the argument in single quotes, each single quote in it written as '\''.
char *QuoteArg(const char *arg)
{
    size_t size = 3;
    for (const char *p = arg; *p; p++)
        size += *p == '\'' ? 4 : 1;
    char *quoted = static_cast<char *>(malloc(size));
    if (!quoted)
        return nullptr;
    char *q = quoted;
    *q++ = '\'';
    for (const char *p = arg; *p; p++) {
        if (*p == '\'') {
            memcpy(q, "'\\''", 4);
            q += 4;
        } else {
            *q++ = *p;
        }
    }
    *q++ = '\'';
    *q = '\0';
    return quoted;
}
