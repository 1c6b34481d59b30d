// Typed file and directory calls over a Link.
#pragma once
#include "client/hostlink.h"

namespace hostlink {
} // namespace hostlink
