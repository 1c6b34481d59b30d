// Older include path of the environment, identity, clock and name-service calls; new code
// includes <hostlink/calls.h>. The forms below are the library's first interface, kept for
// code written against it.
#pragma once
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/calls.h>

#include "common/wire.h"

namespace hostlink {

// Call numbers of this family.
enum EnvironCall : int {
    kGetenv = 11,
    kGettimeofday = 12,
    kGetuid = 13,
    kGetgid = 14,
    kGeteuid = 15,
    kGetegid = 16,
    kGetlogin = 27,
    kGethostname = 28,
    kGethostbyname = 29,
    kGethostbyaddr = 30,
    kSetenv = 35,
    kGetservbyname = 41,
};

struct TimeOfDay {
    int32_t result = 0;  // 0, or negative when the host's clock could not be read
    int32_t error = 0;   // this machine's errno value, when result is negative
    int64_t seconds = 0;
    int32_t microseconds = 0;
    int32_t minutesWest = 0;
    int32_t dstFlag = 0;
};

inline std::vector<std::string> getEnvironment(Link &link) { return getenv(link); }
inline void setEnvironment(Link &link, const std::vector<std::string> &settings)
{
    if (setenv(link, settings) < 0)
        throw LinkError("environment strings cannot be sent");
}

inline TimeOfDay getTimeOfDay(Link &link)
{
    TimeOfDay t;
    TimeValue tv;
    TimeZone tz;
    t.result = gettimeofday(link, &tv, &tz);
    if (t.result < 0) {
        t.error = errno;
        return t;
    }
    t.seconds = tv.seconds;
    t.microseconds = tv.microseconds;
    t.minutesWest = tz.minutesWest;
    t.dstFlag = tz.dstFlag;
    return t;
}

inline int32_t getUid(Link &link) { return getuid(link); }
inline int32_t getGid(Link &link) { return getgid(link); }
inline int32_t getEuid(Link &link) { return geteuid(link); }
inline int32_t getEgid(Link &link) { return getegid(link); }
inline std::string getLogin(Link &link)
{
    std::string name;
    getlogin(link, &name);
    return name;
}
inline std::string getHostName(Link &link)
{
    std::string name;
    gethostname(link, &name);
    return name;
}

inline std::optional<HostEntry> getHostByName(Link &link, const std::string &name)
{
    HostEntry e;
    if (gethostbyname(link, name, &e) < 0)
        return std::nullopt;
    return e;
}
inline std::optional<HostEntry> getHostByAddr(Link &link, int32_t family, std::string_view address)
{
    HostEntry e;
    if (gethostbyaddr(link, family, address, &e) < 0)
        return std::nullopt;
    return e;
}
// Not found: nullopt, and *error (when given) receives this machine's errno value.
inline std::optional<ServiceEntry> getServByName(Link &link, const std::string &service,
                                                 const std::string &protocol, int32_t *error = nullptr)
{
    ServiceEntry e;
    if (getservbyname(link, service, protocol, &e) < 0) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    return e;
}

inline std::vector<std::string> DecodeEnvironment(const Reply &reply) { return decodeEnvironment(reply); }
inline std::optional<HostEntry> DecodeHostEntry(const Reply &reply)
{
    HostEntry e;
    if (decodeHostEntry(reply, &e) < 0)
        return std::nullopt;
    return e;
}

} // namespace hostlink
