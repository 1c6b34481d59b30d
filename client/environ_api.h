// Typed environment, identity, clock and name-service calls over a Link.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/hostlink.h"

namespace hostlink {

// Call numbers of this family.
enum EnvironCall : int {
    kGetenv = wire::CALL_GETENV,
    kGettimeofday = wire::CALL_GETTIMEOFDAY,
    kGetuid = wire::CALL_GETUID,
    kGetgid = wire::CALL_GETGID,
    kGeteuid = wire::CALL_GETEUID,
    kGetegid = wire::CALL_GETEGID,
    kGetlogin = wire::CALL_GETLOGIN,
    kGethostname = wire::CALL_GETHOSTNAME,
    kGethostbyname = wire::CALL_GETHOSTBYNAME,
    kGethostbyaddr = wire::CALL_GETHOSTBYADDR,
    kSetenv = wire::CALL_SETENV,
    kGetservbyname = wire::CALL_GETSERVBYNAME,
};

struct TimeOfDay {
    int32_t result = 0;  // 0, or negative when the host's clock could not be read
    int32_t error = 0;   // wire error number, when result is negative
    int64_t seconds = 0;
    int32_t microseconds = 0;
    int32_t minutesWest = 0;
    int32_t dstFlag = 0;
};

struct HostEntry {
    std::string name;
    std::vector<std::string> aliases;
    int32_t addressType = 0;
    int32_t addressLength = 0;
    std::vector<std::string> addresses; // raw bytes, network byte order
};

struct ServiceEntry {
    std::string name;
    std::string protocol;
    std::vector<std::string> aliases;
    int32_t port = 0;
};

// The agent's whole environment, NAME=value strings in its order (cut where a reply ends).
std::vector<std::string> getEnvironment(Link &link);
// Adds or changes variables of the agent's environment; strings without '=' are ignored there.
void setEnvironment(Link &link, const std::vector<std::string> &settings);

TimeOfDay getTimeOfDay(Link &link);
int32_t getUid(Link &link);
int32_t getGid(Link &link);
int32_t getEuid(Link &link);
int32_t getEgid(Link &link);
// Up to 64 bytes; empty when the agent has no login name.
std::string getLogin(Link &link);
std::string getHostName(Link &link);

std::optional<HostEntry> getHostByName(Link &link, const std::string &name);
// family 2 is the Internet; address holds the raw address bytes.
std::optional<HostEntry> getHostByAddr(Link &link, int32_t family, std::string_view address);
// Not found: nullopt, and *error (when given) receives the wire error number.
std::optional<ServiceEntry> getServByName(Link &link, const std::string &service, const std::string &protocol,
                                          int32_t *error = nullptr);

// Decoders of the replies, for callers that build their own requests.
std::vector<std::string> DecodeEnvironment(const Reply &reply);
std::optional<HostEntry> DecodeHostEntry(const Reply &reply);
std::optional<ServiceEntry> DecodeServiceEntry(const Reply &reply, int32_t *error = nullptr);

} // namespace hostlink
