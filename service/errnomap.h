// Translation of host error numbers into the wire error numbers of the protocol. The table is
// the wire vocabulary's (common/wire.h), shared with the terminal side.
#pragma once
#include "common/wire.h"

// Wire number for a host error number; 22 for error 0, for host errors without a
// counterpart, and for numbers outside the table.
inline int maperrno(int host_error) { return wire::WireErrno(host_error); }
