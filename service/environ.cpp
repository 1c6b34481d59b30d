// Environment, identity, clock and name-service calls.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/environ.h"
#include "service/errnomap.h"
#include "service/handlers.h"
#include "service/protocol.h"
#include "service/reply.h"

extern char **environ;

namespace {

constexpr int NAME_FIELD = 64;      // the name field of getlogin and gethostname
constexpr int HOST_FIXED = 24;      // header and five words of a host reply
constexpr int SERV_FIXED = 20;      // header and four words of a service reply

// Copies of NAME=value strings that setenv handed to the environment. A copy that a later
// setenv of the same name displaces is no longer referenced by the environment and is given
// back; a copy that cannot be recorded is simply kept for good.
char **ownedstrings;
int ownedcount;
int ownedroom;

bool RecordOwned(char *copy)
{
    if (ownedcount == ownedroom) {
        int room = ownedroom ? 2 * ownedroom : 16;
        void *grown = realloc(ownedstrings, static_cast<size_t>(room) * sizeof(char *));
        if (!grown)
            return false;
        ownedstrings = static_cast<char **>(grown);
        ownedroom = room;
    }
    ownedstrings[ownedcount++] = copy;
    return true;
}

int OwnedIndex(const char *string)
{
    for (int i = 0; i < ownedcount; i++)
        if (ownedstrings[i] == string)
            return i;
    return -1;
}

bool InEnvironment(const char *string)
{
    for (char **e = environ; e && *e; e++)
        if (*e == string)
            return true;
    return false;
}

// The first environment entry for the name of namelen bytes, or null.
char *FindVariable(const char *name, size_t namelen)
{
    for (char **e = environ; e && *e; e++)
        if (strncmp(*e, name, namelen) == 0 && (*e)[namelen] == '=')
            return *e;
    return nullptr;
}

// Puts one NAME=value string of n bytes (its NUL included) into the environment.
void ApplySetting(const char *string, size_t n)
{
    const char *equals = strchr(string, '=');
    if (!equals || equals == string) // no variable to set
        return;
    size_t namelen = static_cast<size_t>(equals - string);
    char *old = FindVariable(string, namelen);
    if (old && strcmp(old + namelen + 1, equals + 1) == 0)
        return;
    char *copy = static_cast<char *>(malloc(n));
    if (!copy)
        return;
    memcpy(copy, string, n);
    Verbose("putenv(%s)\n", Shown(copy));
    if (putenv(copy) != 0) {
        free(copy);
        return;
    }
    bool recorded = RecordOwned(copy);
    int index = old ? OwnedIndex(old) : -1;
    if (recorded && index >= 0 && !InEnvironment(old)) {
        ownedstrings[index] = ownedstrings[--ownedcount];
        free(old);
    }
}

// The bytes of the request from offset, for a trace of a string that has no NUL.
int TraceWidth(const char *request, int offset)
{
    int size = RequestSize(request);
    return offset < size ? size - offset : 0;
}

// The one-word reply of an identity call, traced under the call's name.
char *IdentityCall(int call, int id)
{
    Verbose("Request: %d = %s()\n", id, CallName(call));
    return WordReply(id);
}

} // namespace

// The host entry as far as it fits in one message. The addresses are placed first, since
// they are what a lookup is for; aliases fill the room that is left.
char *HostReply(const struct hostent *entry)
{
    int pos = HOST_FIXED;
    if (!entry || !entry->h_name || !AppendString(&pos, MAX_MESSAGE, entry->h_name)) {
        SetLength(replybuf, HOST_FIXED);
        PutWord(replybuf, 1, -1);
        return replybuf;
    }
    int length = entry->h_length > 0 ? entry->h_length : 0;
    int addresses = 0;
    if (length > 0 && entry->h_addr_list) {
        int fit = (MAX_MESSAGE - pos) / length;
        while (addresses < fit && entry->h_addr_list[addresses])
            addresses++;
    }
    int aliaslimit = MAX_MESSAGE - addresses * length;
    int aliases = 0;
    for (char **a = entry->h_aliases; a && *a; a++) {
        if (!AppendString(&pos, aliaslimit, *a))
            break;
        aliases++;
    }
    for (int i = 0; i < addresses; i++)
        AppendBytes(&pos, MAX_MESSAGE, entry->h_addr_list[i], static_cast<size_t>(length));
    PutWord(replybuf, 1, 0);
    PutWord(replybuf, 2, aliases);
    PutWord(replybuf, 3, addresses);
    PutWord(replybuf, 4, length);
    PutWord(replybuf, 5, entry->h_addrtype);
    return DataReply(pos);
}

// The service entry as far as it fits in one message: its official and protocol names
// must fit, aliases are added while they fit.
char *ServiceReply(const struct servent *entry, int error)
{
    int pos = SERV_FIXED;
    if (!entry || !entry->s_name || !entry->s_proto || !AppendString(&pos, MAX_MESSAGE, entry->s_name) ||
        !AppendString(&pos, MAX_MESSAGE, entry->s_proto)) {
        SetLength(replybuf, SERV_FIXED);
        PutWord(replybuf, 3, -1);
        PutWord(replybuf, 4, maperrno(entry ? EMSGSIZE : error));
        return replybuf;
    }
    int aliases = 0;
    for (char **a = entry->s_aliases; a && *a; a++) {
        if (!AppendString(&pos, MAX_MESSAGE, *a))
            break;
        aliases++;
    }
    PutWord(replybuf, 1, ntohs(static_cast<uint16_t>(entry->s_port)));
    PutWord(replybuf, 2, aliases);
    PutWord(replybuf, 3, 0);
    return DataReply(pos);
}

char *RemoteGetenv(int, char *)
{
    Verbose("Request: getenv(....)\n");
    int pos = 8;
    for (char **e = environ; e && *e; e++) {
        if (!AppendString(&pos, MAX_MESSAGE, *e))
            break;
    }
    PutWord(replybuf, 1, pos - 8);
    return DataReply(pos);
}

char *RemoteSetenv(int, char *request)
{
    Verbose("Request: setenv(....)\n");
    int32_t left = 0;
    if (!ReqWord(request, 1, &left))
        left = 0;
    int p = 8;
    while (left > 0) {
        int next;
        const char *string = ReqString(request, p, &next);
        if (!string) // the rest does not end inside the request
            break;
        int n = next - p;
        ApplySetting(string, static_cast<size_t>(n));
        left -= n;
        p = next;
    }
    SetLength(replybuf, 4);
    return replybuf;
}

char *RemoteGettimeofday(int, char *)
{
    struct timeval tv;
    struct timezone tz;
    SetLength(replybuf, 28);
    int result = gettimeofday(&tv, &tz);
    int error = errno;
    PutWord(replybuf, 1, result);
    if (result < 0) {
        PutWord(replybuf, 2, maperrno(error));
        return replybuf;
    }
    time_t seconds = tv.tv_sec;
    struct tm *local = localtime(&seconds);
    if (local) {
        time_t back = mktime(local);
        if (back != static_cast<time_t>(-1))
            seconds = back;
    }
    PutWord(replybuf, 3, static_cast<int32_t>(seconds));
    PutWord(replybuf, 4, static_cast<int32_t>(tv.tv_usec));
    PutWord(replybuf, 5, tz.tz_minuteswest);
    PutWord(replybuf, 6, tz.tz_dsttime);
    Verbose("Request: gettimeofday()\n");
    return replybuf;
}

char *RemoteGetuid(int, char *) { return IdentityCall(CALL_GETUID, static_cast<int>(getuid())); }

char *RemoteGetgid(int, char *) { return IdentityCall(CALL_GETGID, static_cast<int>(getgid())); }

char *RemoteGeteuid(int, char *) { return IdentityCall(CALL_GETEUID, static_cast<int>(geteuid())); }

char *RemoteGetegid(int, char *) { return IdentityCall(CALL_GETEGID, static_cast<int>(getegid())); }

char *RemoteGetlogin(int, char *)
{
    SetLength(replybuf, 4 + NAME_FIELD);
    const char *name = getlogin();
    if (!name)
        name = "";
    Verbose("Request: \"%s\" = getlogin()\n", Shown(name));
    strncpy(replybuf + 4, name, NAME_FIELD);
    return replybuf;
}

char *RemoteGethostname(int, char *)
{
    SetLength(replybuf, 4 + NAME_FIELD);
    char *field = replybuf + 4;
    memset(field, 0, NAME_FIELD);
    if (gethostname(field, NAME_FIELD) != 0)
        memset(field, 0, NAME_FIELD); // a failed call may have left part of a name
    Verbose("Request: \"%s\" = gethostname()\n", ShownBytes(field, NAME_FIELD));
    return replybuf;
}

char *RemoteGethost(int, char *request)
{
    struct hostent *entry;
    if (MsgCall(request) == CALL_GETHOSTBYNAME) {
        const char *name = ReqString(request, 4, nullptr);
        if (!name) {
            Verbose("Request: gethostbyname(\"%s\")\n", ShownBytes(request + 4, TraceWidth(request, 4)));
            return HostReply(nullptr);
        }
        Verbose("Request: gethostbyname(\"%s\")\n", Shown(name));
        entry = gethostbyname(name);
    } else {
        Verbose("Request: gethostbyaddr\n");
        int32_t family, length;
        const char *address = nullptr;
        if (ReqWord(request, 1, &family) && ReqWord(request, 2, &length))
            address = ReqBytes(request, 12, length);
        if (!address)
            return HostReply(nullptr);
        entry = gethostbyaddr(address, static_cast<socklen_t>(length), family);
    }
    return HostReply(entry);
}

char *RemoteGetservbyname(int, char *request)
{
    int next = 4;
    const char *service = ReqString(request, 4, &next);
    const char *protocol = service ? ReqString(request, next, nullptr) : nullptr;
    if (!service || !protocol) {
        // No lookup for names that do not end inside the request.
        if (!service)
            Verbose("Request: 0x%08x = getservbyname(\"%s\",\"\");\n", 0, ShownBytes(request + 4, TraceWidth(request, 4)));
        else
            Verbose("Request: 0x%08x = getservbyname(\"%s\",\"%s\");\n", 0, Shown(service),
                    ShownBytes(request + next, TraceWidth(request, next)));
        return ServiceReply(nullptr, EINVAL);
    }
    errno = 0; // what the lookup leaves, not what an earlier call left
    struct servent *entry = getservbyname(service, protocol);
    int error = errno;
    Verbose("Request: 0x%08lx = getservbyname(\"%s\",\"%s\");\n",
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(entry)), Shown(service), Shown(protocol));
    return ServiceReply(entry, error);
}
