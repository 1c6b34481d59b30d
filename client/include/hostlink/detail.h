// Hooks for tests and benchmarks: not part of the library's stable interface.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <hostlink/link.h>

namespace hostlink::detail {

// The sizes of one request and of the reply that answered it, as they went over the wire.
struct Exchange {
    int request = 0;
    int reply = 0;
};

// While log is set, every request sent and reply received through the link's own send and
// receive adds its size to it.
void record(Link &link, std::vector<Exchange> *log);
// A word and a header length as this link puts them on the wire.
std::string encodeWord(const Link &link, int32_t v);
uint16_t encodeLength(const Link &link, int len);
// Overrides the header's length field of a request (for malformed requests).
void setLength(Request &req, int len);

} // namespace hostlink::detail
