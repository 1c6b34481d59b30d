// Older include path of the process-control calls; new code includes <hostlink/calls.h> and
// <hostlink/tools.h>. The forms below are the library's first interface, kept for code written
// against it.
#pragma once
#include <string>
#include <vector>

#include <hostlink/calls.h>

namespace hostlink {

inline void exit(Link &link, int32_t status) { _exit(link, status); }

// Runs a host program with its standard output sent back here and returns that output; the
// link is served by the host parent again afterwards. Throws LinkError when a step fails.
std::string runHostProgram(Link &link, const std::string &name, const std::vector<std::string> &argv,
                           double timeoutSeconds = 30);

} // namespace hostlink
