// What the plain calls cannot do, done by host programs (mv, truncate, touch, chown, df, mkfifo,
// mknod) through the library's runner, with the link to themselves.
#pragma once
#include <string>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <vector>

#include <hostlink/link.h>

namespace hostfs {

// Runs name with args on the host; 0, or -errno from what it said when it failed.
int runOnHost(hostlink::Link &link, const std::string &name, const std::vector<std::string> &args,
              std::string *output = nullptr);

int renameByProgram(hostlink::Link &link, const std::string &from, const std::string &to);
int truncateByProgram(hostlink::Link &link, const std::string &path, off_t size);
int chownByProgram(hostlink::Link &link, const std::string &path, uid_t uid, gid_t gid);
int touchByProgram(hostlink::Link &link, const std::string &path, const struct timespec times[2]);
int mknodByProgram(hostlink::Link &link, const std::string &path, mode_t mode, dev_t dev);
int statfsByProgram(hostlink::Link &link, const std::string &path, struct statvfs *sv);

} // namespace hostfs
