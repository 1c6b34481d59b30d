// The authentication exchange. This build has none: asking for it fails cleanly.
#include <hostlink/auth.h>

namespace hostlink {

bool authenticationAvailable() { return false; }

void authenticate(Link &, std::string_view)
{
    throw LinkError(LinkError::Kind::Auth, "this library was built without authentication");
}

} // namespace hostlink
