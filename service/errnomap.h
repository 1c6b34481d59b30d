// Translation of host error numbers into the wire error numbers of the protocol.
#pragma once

// Wire number for a host error number; 22 for error 0, for host errors without a
// counterpart, and for numbers outside the table.
int maperrno(int host_error);
