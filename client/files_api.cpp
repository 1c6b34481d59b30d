#include "client/files_api.h"

namespace hostlink {
} // namespace hostlink
