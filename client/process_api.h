// Typed process-control calls over a Link.
#pragma once
#include "client/hostlink.h"

namespace hostlink {
} // namespace hostlink
