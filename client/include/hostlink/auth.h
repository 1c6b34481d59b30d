// Authentication of a connection, right after the handshake.
//
// The exchange itself is provided by the authentication module (client/auth.cpp); a library
// built without it keeps a stub that fails. connectTo and connectPeer call authenticate when
// ConnectOptions::key is set.
#pragma once
#include <string_view>

#include <hostlink/link.h>

namespace hostlink {

// True when this library can authenticate.
bool authenticationAvailable();
// Proves knowledge of key to the agent; LinkError of kind Auth when the agent refuses or the
// library cannot authenticate.
void authenticate(Link &link, std::string_view key);

} // namespace hostlink
