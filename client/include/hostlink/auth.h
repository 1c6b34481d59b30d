// Authentication with a host agent started with -a or -k: where the client finds the key, and
// the mutual challenge-response exchange (call 48) right after the handshake. connectTo and
// connectPeer call authenticate when ConnectOptions::key is set.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include <hostlink/link.h>
#include <hostlink/wire.h>

namespace hostlink {

constexpr int kAuthCall = wire::CALL_AUTH;
constexpr size_t kAuthKeyBytes = 32;

// True when this library can authenticate (it was built with libsodium).
bool authenticationAvailable();

// Proves knowledge of key (the 32 key bytes, or their 64 hexadecimal digits) to the agent, after
// the agent has proved the same. LinkError of kind Auth when the agent does not hold the key,
// refuses the answer, or the library cannot authenticate.
void authenticate(Link &link, std::string_view key);

// The 32 key bytes of a key as key files and the launch key line hold it: 64 hexadecimal
// digits, then at most white space. nullopt for anything else.
std::optional<std::string> parseKey(std::string_view text);

// The key a launching agent hands to the client on its standard input, as the line
// "hostagent-key HEX". nullopt, after reading nothing, when fd is a terminal; nullopt when the
// input ends, holds another line or stays silent for seconds.
std::optional<std::string> readLaunchKey(int fd = 0, double seconds = 5);

// The key of a key file; LinkError of kind Auth when it cannot be read, holds no key, or when
// group or others have access to it.
std::string loadKeyFile(const std::string &path);

// The key file named by HOSTAGENT_KEYFILE, or nullopt when the variable is unset or empty.
std::optional<std::string> keyFromEnvironment();

} // namespace hostlink
