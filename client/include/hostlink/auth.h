// Authentication with a host agent started with -a or -k: where the client finds the key, and
// the mutual challenge-response exchange (call 48) that follows the connection request.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "client/hostlink.h"

namespace hostlink {

constexpr int kAuthCall = wire::CALL_AUTH;
using AuthKey = std::array<unsigned char, 32>;

// A key as key files and the launch key line hold it: 64 hexadecimal digits, then at most
// white space. nullopt for anything else.
std::optional<AuthKey> parseKey(std::string_view text);

// The key a launching agent hands to the client on its standard input, as the line
// "hostagent-key HEX". nullopt, after reading nothing, when fd is a terminal; nullopt when the
// input ends, holds another line or stays silent for seconds.
std::optional<AuthKey> readLaunchKey(int fd = 0, double seconds = 5);

// A key file; throws LinkError when it cannot be read, holds no key, or when group or others
// have access to it.
AuthKey loadKeyFile(const std::string &path);

// The key file named by HOSTAGENT_KEYFILE, or nullopt when the variable is unset or empty.
std::optional<AuthKey> keyFromEnvironment();

// Runs the exchange right after the handshake. Throws LinkError when the agent does not prove
// that it holds the key (the client then proves nothing) or refuses the client's answer.
void authenticate(Link &link, const AuthKey &key);

} // namespace hostlink
