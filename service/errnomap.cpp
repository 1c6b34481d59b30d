#include "service/errnomap.h"

#include "common/wire.h"

int maperrno(int host_error) { return wire::WireErrno(host_error); }
