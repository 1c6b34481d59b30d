// Starting the client on the terminal through the remote shell: the terminal lookup, the
// command line for the terminal, the remote shell search, its start and the watch of its output.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"

namespace {

// The listener's port as text; the prepared client argument block points at it.
char portString[16];
char peerOption[] = "-peer";
char remoteShellPath[REMOTE_SHELL_PATH_SIZE];
pid_t remoteShell = -1;
// Index of the first of the client's own arguments in the client argument block.
int clientArgsFrom = 1;

// A copy of a resolver entry that later resolver calls cannot overwrite. Only IPv4 entries
// are kept: the peer check compares 4-byte addresses.
struct hostent *CopyHostEntry(const struct hostent *entry)
{
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list)
        return nullptr;
    int count = 0;
    while (entry->h_addr_list[count])
        count++;
    auto *copy = static_cast<struct hostent *>(calloc(1, sizeof(struct hostent)));
    auto **list = static_cast<char **>(calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    auto *addresses = static_cast<char *>(malloc(static_cast<size_t>(count) * 4 + 1));
    auto **aliases = static_cast<char **>(calloc(1, sizeof(char *)));
    char *name = strdup(entry->h_name ? entry->h_name : "");
    if (!copy || !list || !addresses || !aliases || !name) {
        free(copy);
        free(list);
        free(addresses);
        free(aliases);
        free(name);
        return nullptr;
    }
    for (int i = 0; i < count; i++) {
        memcpy(addresses + 4 * i, entry->h_addr_list[i], 4);
        list[i] = addresses + 4 * i;
    }
    copy->h_name = name;
    copy->h_aliases = aliases;
    copy->h_addrtype = AF_INET;
    copy->h_length = 4;
    copy->h_addr_list = list;
    return copy;
}

// Frees the remote shell argument vector and the quoted copies among its first count client entries.
void ReleaseQuoted(char **shellArgv, int count, char **clientArgv)
{
    for (int i = 0; i < count; i++)
        if (shellArgv[i + 2] != clientArgv[i])
            free(shellArgv[i + 2]);
    free(shellArgv);
}

[[noreturn]] void FallBack(int listener, int clientArgc, char **clientArgv)
{
    close(listener);
    StartBackupClient(clientArgc, clientArgv);
}

} // namespace

char *GetTerminal()
{
    if (settings.terminalName)
        return const_cast<char *>(settings.terminalName);
    const char *display = getenv("DISPLAY");
    if (!display)
        return nullptr;
    const char *colon = strchr(display, ':');
    if (!colon)
        return nullptr;
    size_t len = static_cast<size_t>(colon - display);
    char *name = static_cast<char *>(malloc(len + 1));
    if (!name)
        return nullptr;
    memcpy(name, display, len);
    name[len] = '\0';
    return name;
}

void LookupTerminal(Terminal *terminal)
{
    terminal->name = GetTerminal();
    terminal->host = nullptr;
    terminal->address = INADDR_NONE;
    if (!terminal->name) {
        Error("Unknown terminal, setup DISPLAY environment variable.\n");
        exit(1);
    }
    if (struct hostent *entry = gethostbyname(terminal->name)) {
        terminal->host = CopyHostEntry(entry);
        if (terminal->host)
            return;
    }
    terminal->address = inet_addr(terminal->name);
    if (terminal->address == INADDR_NONE) {
        Error("Unknown terminal name %s.\n", terminal->name);
        exit(1);
    }
    terminal->host = CopyHostEntry(gethostbyaddr(&terminal->address, 4, AF_INET));
}

const char *mapCmd(const char *name)
{
    if (settings.termCmd)
        return settings.termCmd;
    return StripClientPrefix(name);
}

void BuildCommandLine(int *clientArgc, char ***clientArgv, int port)
{
    int count = *clientArgc;
    auto **block = static_cast<char **>(realloc(*clientArgv, (static_cast<size_t>(count) + 3) * sizeof(char *)));
    if (!block)
        return;
    memmove(block + 2, block, (static_cast<size_t>(count) + 1) * sizeof(char *));
    snprintf(portString, sizeof portString, "%d", port);
    block[0] = const_cast<char *>(mapCmd(block[2]));
    block[1] = peerOption;
    block[2] = portString;
    *clientArgc = count + 2;
    *clientArgv = block;
    clientArgsFrom = 3;
}

// Directories outside, names inside: the first PATH directory holding either name wins. An
// element too long for the buffer together with a name is skipped for that name.
char *FindRemoteShellCommand(char *path)
{
    const char *search = getenv("PATH");
    if (!search)
        return nullptr;
    const char *element = search;
    for (;;) {
        const char *colon = strchr(element, ':');
        size_t len = colon ? static_cast<size_t>(colon - element) : strlen(element);
        size_t slash = (len > 0 && element[len - 1] != '/') ? 1 : 0;
        for (int i = 0; settings.remote_shell_commands[i]; i++) {
            const char *name = settings.remote_shell_commands[i];
            if (!*name)
                continue;
            size_t nameLen = strlen(name);
            if (len + slash + nameLen + 1 > static_cast<size_t>(REMOTE_SHELL_PATH_SIZE))
                continue;
            memcpy(path, element, len);
            if (slash)
                path[len] = '/';
            memcpy(path + len + slash, name, nameLen + 1);
            if (access(path, X_OK) == 0)
                return path;
        }
        if (!colon)
            return nullptr;
        element = colon + 1;
    }
}

int StartClient(const char *terminalName, int clientArgc, char **clientArgv)
{
    if (!FindRemoteShellCommand(remoteShellPath))
        return -1;
    const char *slash = strrchr(remoteShellPath, '/');
    const char *shellName = slash ? slash + 1 : remoteShellPath;

    auto **shellArgv = static_cast<char **>(malloc((static_cast<size_t>(clientArgc) + 3) * sizeof(char *)));
    if (!shellArgv)
        return -1;
    shellArgv[0] = const_cast<char *>(shellName);
    shellArgv[1] = const_cast<char *>(terminalName);
    for (int i = 0; i < clientArgc; i++) {
        shellArgv[i + 2] = clientArgv[i];
        if (settings.quoteArgs && i >= clientArgsFrom && !(shellArgv[i + 2] = QuoteArg(clientArgv[i]))) {
            ReleaseQuoted(shellArgv, i, clientArgv);
            return -1;
        }
    }
    shellArgv[clientArgc + 2] = nullptr;

    int launchPipe[2];
    if (pipe(launchPipe) < 0) {
        ReleaseQuoted(shellArgv, clientArgc, clientArgv);
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(launchPipe[0]);
        close(launchPipe[1]);
        ReleaseQuoted(shellArgv, clientArgc, clientArgv);
        errno = saved;
        return -1;
    }
    if (pid == 0) {
        close(launchPipe[0]);
        if (dup2(launchPipe[1], 1) < 0 || dup2(launchPipe[1], 2) < 0)
            _exit(1);
        if (launchPipe[1] > 2)
            close(launchPipe[1]);
        int devnull = LaunchKeyInput(); // /dev/null unless the launch key goes to the client
        if (devnull < 0 || dup2(devnull, 0) < 0)
            _exit(1);
        if (devnull > 2)
            close(devnull);
        execv(remoteShellPath, shellArgv);
        Error("Cannot execute the remote shell %s for terminal %s: %s\n", remoteShellPath, terminalName,
              strerror(errno));
        _exit(1);
    }
    remoteShell = pid;
    close(launchPipe[1]);
    ReleaseQuoted(shellArgv, clientArgc, clientArgv);
    return launchPipe[0];
}

// Starts the client on the terminal and returns only when the remote shell printed nothing and
// exited with status 0; every other outcome closes the listener and falls back.
void LaunchClient(const Terminal *terminal, int listener, int port, int *clientArgc, char ***clientArgv)
{
    BuildCommandLine(clientArgc, clientArgv, port);
    int output = StartClient(terminal->name, *clientArgc, *clientArgv);
    if (output < 0) {
        perror("sending command");
        FallBack(listener, *clientArgc, *clientArgv);
    }

    // Everything the remote shell says is copied through as it arrives; any of it means the
    // launch failed.
    bool outputSeen = false;
    for (;;) {
        static char chunk[16384];
        ssize_t got = read(output, chunk, sizeof chunk);
        if (got > 0) {
            (void)local_writex(1, chunk, got);
            outputSeen = true;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0) {
            perror("reading rcmd data");
            close(output);
            FallBack(listener, *clientArgc, *clientArgv);
        } else {
            close(output);
            break;
        }
    }
    if (outputSeen)
        FallBack(listener, *clientArgc, *clientArgv);

    // Only the remote shell's own status counts, not that of a child the agent may have
    // inherited from whoever started it.
    int status;
    pid_t ended;
    do
        ended = waitpid(remoteShell, &status, 0);
    while (ended < 0 && errno == EINTR);
    if (ended < 0 || WIFSIGNALED(status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        FallBack(listener, *clientArgc, *clientArgv);
}
