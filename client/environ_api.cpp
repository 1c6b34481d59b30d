#include "client/environ_api.h"

namespace hostlink {
} // namespace hostlink
