#include "client/process_api.h"

namespace hostlink {
} // namespace hostlink
