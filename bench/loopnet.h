// Loopback TCP plumbing shared by the benchmark's relay and launcher: both refuse any address
// outside 127.0.0.0/8, so nothing they start can reach beyond this machine.
#pragma once

#include <netinet/in.h>
#include <string>

namespace loopnet {

// "HOST:PORT" with HOST a dotted IPv4 address in 127.0.0.0/8 (or "localhost") and PORT 1 to
// 65535; false for anything else.
bool ParseEndpoint(const std::string &text, sockaddr_in *out);

// A listening socket on 127.0.0.1:port (0: the system picks one); the port bound is stored in
// *bound. -1 when it cannot listen.
int Listen(int port, int backlog, int *bound);

// A connected, blocking socket to a loopback endpoint with TCP_NODELAY set; -1 on failure.
int Connect(const sockaddr_in &to);

// Turns Nagle's algorithm off, as an interactive server does on its connection.
void NoDelay(int fd);

// Strictly parsed decimal in [lo, hi]; false otherwise.
bool ParseNumber(const char *text, long lo, long hi, long *out);

} // namespace loopnet
