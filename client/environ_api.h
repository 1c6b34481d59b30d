// Typed environment, identity, clock and name-service calls over a Link.
#pragma once
#include "client/hostlink.h"

namespace hostlink {
} // namespace hostlink
