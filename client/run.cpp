#include <hostlink/tools.h>

#include <cerrno>

namespace hostlink {

int runProgram(Link &, const std::string &, const std::vector<std::string> &, const RunOptions &)
{
    errno = ENOSYS;
    return -1;
}

} // namespace hostlink
