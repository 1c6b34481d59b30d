// Whether a program can take a preloaded library at all.
#pragma once
#include <string>

namespace hostrun {

// Why the program at path cannot run with a preloaded library (statically linked, set-user-ID or
// set-group-ID, a Go program, another machine's or word size's code, not a program), or an empty
// string when it can. A script is judged by its interpreter.
std::string WhyUnpreloadable(const std::string &path);

} // namespace hostrun
