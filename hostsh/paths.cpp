// Commands that change host paths: rm, mkdir, rmdir, rename, ln, symlink, chmod, chown, chgrp,
// and readlink beside them.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include <hostlink/calls.h>
#include <hostlink/ext.h>

#include "hostsh/shell.h"
#include "hostsh/ui.h"

namespace hostsh {

namespace {

// A whole decimal or octal number within [0, most]; -1 otherwise.
long Number(const std::string &text, int base, long most)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, base);
    if (text.empty() || *end || errno || v < 0 || v > most)
        return -1;
    return v;
}

} // namespace

int Shell::removeTree(const std::string &top, bool force)
{
    auto self = remote_.statMany({top}, false);
    if (self[0].result < 0) {
        if (force && self[0].error == ENOENT)
            return 0;
        Complain("rm", top, self[0].error);
        return 1;
    }
    // Everything below first, each directory after its entries; a name the host lists that
    // could lead elsewhere ("..", "a/b") stops the removal.
    std::vector<std::string> files, dirs;
    std::vector<std::string> todo;
    if (IsDirMode(self[0].st.mode))
        todo.push_back(top);
    else
        files.push_back(top);
    while (!todo.empty() && !gInterrupted) {
        std::string dir = todo.back();
        todo.pop_back();
        dirs.push_back(dir);
        std::vector<std::string> names;
        if (remote_.listNames(dir, &names) < 0) {
            Complain("rm", dir, errno);
            return 1;
        }
        std::vector<std::string> full;
        for (const std::string &n : names) {
            if (!SafeName(n)) {
                Complain("rm: " + ShowText(dir) + ": the host lists an entry named \"" + ShowText(n) +
                         "\"; nothing removed");
                return 1;
            }
            full.push_back(JoinPath(dir, n));
        }
        auto st = remote_.statMany(full, false);
        for (size_t k = 0; k < full.size(); k++) {
            if (st[k].result < 0 && st[k].error != ENOENT) {
                Complain("rm", full[k], st[k].error);
                return 1;
            }
            if (st[k].result >= 0 && IsDirMode(st[k].st.mode))
                todo.push_back(full[k]);
            else if (st[k].result >= 0)
                files.push_back(full[k]);
        }
    }
    if (gInterrupted)
        return 130;
    std::vector<std::string> order = files;
    std::vector<bool> isDir(files.size(), false);
    for (size_t k = dirs.size(); k-- > 0;) {
        order.push_back(dirs[k]);
        isDir.push_back(true);
    }
    int error = 0;
    long failed = remote_.removeMany(order, isDir, &error);
    if (failed >= 0) {
        Complain("rm", order[static_cast<size_t>(failed)], error);
        return 1;
    }
    return 0;
}

int Shell::cmdRm(const Parsed &p)
{
    std::vector<std::string> paths;
    int status = 0;
    for (const Word &w : p.args) {
        std::vector<std::string> one;
        if (!expand("rm", w, &one) && !p.has('f'))
            status = 1;
        paths.insert(paths.end(), one.begin(), one.end());
    }
    bool recursive = p.has('r') || p.has('R');
    for (const std::string &path : paths) {
        if (gInterrupted)
            break;
        if (recursive) {
            status |= removeTree(path, p.has('f'));
            continue;
        }
        if (hostlink::unlink(link_, path) < 0 && !(p.has('f') && errno == ENOENT)) {
            Complain("rm", path, errno);
            status = 1;
        }
    }
    return status;
}

int Shell::cmdMkdir(const Parsed &p)
{
    std::vector<std::string> paths;
    for (const Word &w : p.args) {
        if (!p.has('p')) {
            paths.push_back(w.text);
            continue;
        }
        // Each parent first.
        const std::string &t = w.text;
        for (size_t i = 1; i <= t.size(); i++)
            if ((i == t.size() || t[i] == '/') && t[i - 1] != '/')
                paths.push_back(t.substr(0, i));
    }
    auto made = remote_.mkdirMany(paths, 0777);
    std::vector<std::string> existing;
    for (size_t k = 0; k < paths.size(); k++)
        if (made[k] == EEXIST && p.has('p'))
            existing.push_back(paths[k]);
    auto st = remote_.statMany(existing, true);
    int status = 0;
    for (size_t k = 0, e = 0; k < paths.size(); k++) {
        if (made[k] == EEXIST && p.has('p')) {
            if (st[e].result >= 0 && IsDirMode(st[e].st.mode)) {
                e++;
                continue;
            }
            e++;
        }
        if (made[k]) {
            Complain("mkdir", paths[k], made[k]);
            status = 1;
            if (p.has('p'))
                break; // what lies below cannot be made either
        }
    }
    return status;
}

int Shell::cmdRmdir(const Parsed &p)
{
    std::vector<std::string> paths;
    int status = expandAll("rmdir", p.args, &paths) ? 0 : 1;
    for (const std::string &path : paths)
        if (hostlink::rmdir(link_, path) < 0) {
            Complain("rmdir", path, errno);
            status = 1;
        }
    return status;
}

int Shell::cmdRename(const Parsed &p)
{
    const std::string &from = p.args[0].text, &to = p.args[1].text;
    remote_.settle();
    if (remote_.extended()) {
        if (hostlink::rename(link_, from, to) < 0) {
            Complain("rename", from, errno);
            return 1;
        }
        return 0;
    }
    // Without the extension calls: a new link, then the old name goes (not for directories,
    // and never over an existing path).
    if (hostIsDir(from))
        return needsExtensions("rename");
    if (hostlink::link(link_, from, to) < 0) {
        Complain("rename", errno == EEXIST ? to : from, errno);
        return 1;
    }
    if (hostlink::unlink(link_, from) < 0) {
        Complain("rename", from, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdLn(const Parsed &p)
{
    const std::string &target = p.args[0].text, &path = p.args[1].text;
    int rc = p.has('s') ? hostlink::symlink(link_, target, path) : hostlink::link(link_, target, path);
    if (rc < 0) {
        Complain("ln", path, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdSymlink(const Parsed &p)
{
    if (hostlink::symlink(link_, p.args[0].text, p.args[1].text) < 0) {
        Complain("symlink", p.args[1].text, errno);
        return 1;
    }
    return 0;
}

int Shell::cmdChmod(const Parsed &p)
{
    long mode = Number(p.args[0].text, 8, 07777);
    if (mode < 0) {
        Complain("chmod: " + ShowText(p.args[0].text) + ": not an octal mode");
        return 1;
    }
    std::vector<std::string> paths;
    int status = expandAll("chmod", std::vector<Word>(p.args.begin() + 1, p.args.end()), &paths) ? 0 : 1;
    for (const std::string &path : paths)
        if (hostlink::chmod(link_, path, static_cast<int32_t>(mode)) < 0) {
            Complain("chmod", path, errno);
            status = 1;
        }
    return status;
}

int Shell::changeOwner(const char *cmd, const Parsed &p, bool group)
{
    long id = Number(p.args[0].text, 10, INT32_MAX);
    if (id < 0) {
        Complain(std::string(cmd) + ": " + ShowText(p.args[0].text) + ": not a numeric id");
        return 1;
    }
    if (!remote_.extended())
        return needsExtensions(cmd);
    std::vector<std::string> paths;
    int status = expandAll(cmd, std::vector<Word>(p.args.begin() + 1, p.args.end()), &paths) ? 0 : 1;
    remote_.settle();
    auto v = static_cast<int32_t>(id);
    for (const std::string &path : paths)
        if (hostlink::lchown(link_, path, group ? -1 : v, group ? v : -1) < 0) {
            Complain(cmd, path, errno);
            status = 1;
        }
    return status;
}

int Shell::cmdChown(const Parsed &p) { return changeOwner("chown", p, false); }
int Shell::cmdChgrp(const Parsed &p) { return changeOwner("chgrp", p, true); }

int Shell::cmdReadlink(const Parsed &p)
{
    std::string target;
    if (hostlink::readlink(link_, p.args[0].text, &target) < 0) {
        Complain("readlink", p.args[0].text, errno);
        return 1;
    }
    printf("%s\n", ShowText(target).c_str());
    return 0;
}

} // namespace hostsh
