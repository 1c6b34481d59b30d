// The private world the program runs in: namespaces, the new root and its mounts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hostrun {

// Which namespaces the program needs and the ids it has in them.
struct World {
    bool userNamespace = false; // needed without root, and for -i
    bool utsNamespace = false;  // -i: the host's name
    uint32_t uid = 0, gid = 0;  // the ids inside (the caller's own, or the host's with -i)
    std::string hostName;       // set in the UTS namespace
};

// The world for this caller: ids from the caller, a user namespace unless the caller is root.
World CallerWorld(bool identity);

// Tries, in a child that is thrown away, what the real set-up will need: the namespaces and
// /dev/fuse. Empty when all is there, else one line that names what is missing and what to do.
std::string Preflight(const World &w);

// Enters the namespaces of w (this process), maps the ids and names the host; stops following
// the terminal's mounts. Empty, or why not.
std::string EnterWorld(const World &w);

// Builds a new root of bind mounts of the current one, with an empty directory at mountPoint
// (made on a memory file system: nothing is created on the terminal's own), and moves into it.
// Empty, or why not.
std::string BuildRoot(const std::string &mountPoint);

// Binds this machine's dir (such as /proc) onto the same path under root; false when the host
// has no such directory.
bool BindInto(const std::string &root, const std::string &dir);

// In a child: leaves the shared mount namespace for one of its own whose root is root.
std::string EnterRoot(const std::string &root);

// Lets the next program executed keep the right to mount (a user namespace drops it on exec for
// any id but 0).
void KeepMountRight();

} // namespace hostrun
