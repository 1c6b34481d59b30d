// The host-based fall-back: replace the agent with the local client.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"

// The last path component of name with at most one client prefix dropped. The prefixes
// cannot both begin one name, so the order in which they are tried does not matter.
const char *StripClientPrefix(const char *name)
{
    const char *slash = strrchr(name, '/');
    const char *base = slash ? slash + 1 : name;
    if (strncmp(base, "apt.", 4) == 0)
        return base + 4;
    if (strncmp(base, "vkxt.", 5) == 0)
        return base + 5;
    if (strncmp(base, "xt.", 3) == 0)
        return base + 3;
    return base;
}

void StartBackupClient(int, char **clientArgv)
{
    if (!settings.failsafe)
        exit(1);

    // The PATH entry is built without a size limit: a long PATH is never cut.
    const char *path = getenv("PATH");
    size_t size = strlen("PATH=") + strlen(path ? path : "/usr/bin:/bin") + 1;
    for (int i = 0; settings.addToPath[i]; i++)
        size += 1 + strlen(settings.addToPath[i]);
    char *entry = static_cast<char *>(malloc(size));
    if (entry) {
        snprintf(entry, size, "PATH=%s", path ? path : "/usr/bin:/bin");
        for (int i = 0; settings.addToPath[i]; i++) {
            if (settings.addToPath[i][0]) {
                strcat(entry, ":");
                strcat(entry, settings.addToPath[i]);
            }
        }
        putenv(entry);
    }

    const char *program = StripClientPrefix(clientArgv[0]);
    Verbose("Attemting to start host based %s\n", program);
    clientArgv[0] = const_cast<char *>(program);
    execvp(program, clientArgv);
    Verbose("  it also failed.\n");
    exit(1);
}
