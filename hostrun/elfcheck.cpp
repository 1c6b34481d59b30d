#include "hostrun/elfcheck.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace hostrun {

namespace {

bool ReadAt(int fd, void *buf, size_t n, off_t at)
{
    return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

// True when a note segment holds a Go build note (owner "Go", type 4).
bool HasGoNote(int fd, const Elf64_Phdr &ph)
{
    if (ph.p_filesz > 65536)
        return false;
    std::vector<char> notes(ph.p_filesz);
    if (!ReadAt(fd, notes.data(), notes.size(), static_cast<off_t>(ph.p_offset)))
        return false;
    size_t at = 0;
    while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
        Elf64_Nhdr nh;
        memcpy(&nh, notes.data() + at, sizeof nh);
        size_t name = at + sizeof nh;
        size_t desc = name + ((nh.n_namesz + 3) & ~3u);
        if (nh.n_namesz == 3 && name + 3 <= notes.size() && memcmp(notes.data() + name, "Go", 3) == 0 && nh.n_type == 4)
            return true;
        at = desc + ((nh.n_descsz + 3) & ~3u);
    }
    return false;
}

std::string Judge(const std::string &path, int depth)
{
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
        return std::string("cannot be examined: ") + strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    if (st.st_mode & (S_ISUID | S_ISGID))
        return "is set-user-ID or set-group-ID, and the loader ignores preloaded libraries for such programs";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot be read: ") + strerror(errno);
    unsigned char head[256] = {};
    ssize_t n = pread(fd, head, sizeof head, 0);
    std::string why;
    if (n >= 2 && head[0] == '#' && head[1] == '!') {
        close(fd);
        std::string line(reinterpret_cast<char *>(head) + 2, static_cast<size_t>(n - 2));
        line = line.substr(0, line.find('\n'));
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos)
            return "is a script without an interpreter";
        std::string interp = line.substr(b, line.find_first_of(" \t", b) - b);
        if (depth > 4)
            return "is a script whose interpreters nest too deep";
        std::string inner = Judge(interp, depth + 1);
        return inner.empty() ? inner : "is a script for " + interp + ", which " + inner;
    }
    Elf64_Ehdr eh;
    if (n < static_cast<ssize_t>(sizeof eh) || memcmp(head, ELFMAG, SELFMAG) != 0) {
        close(fd);
        return "is neither an ELF program nor a script";
    }
    memcpy(&eh, head, sizeof eh);
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_machine != (sizeof(void *) == 8 ? EM_X86_64 : EM_386))
        why = "is built for another machine or word size than the preloaded library";
    else if (eh.e_type != ET_EXEC && eh.e_type != ET_DYN)
        why = "is not an executable";
    else {
        bool interp = false, go = false;
        for (int i = 0; i < eh.e_phnum && i < 512; i++) {
            Elf64_Phdr ph;
            if (!ReadAt(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + static_cast<Elf64_Off>(i) * eh.e_phentsize)))
                break;
            if (ph.p_type == PT_INTERP)
                interp = true;
            else if (ph.p_type == PT_NOTE && HasGoNote(fd, ph))
                go = true;
        }
        if (!interp)
            why = "is statically linked: there is no dynamic loader to preload a library into it";
        else if (go)
            why = "is a Go program, which makes its system calls itself, past any preloaded library";
    }
    close(fd);
    return why;
}

} // namespace

std::string WhyUnpreloadable(const std::string &path) { return Judge(path, 0); }

} // namespace hostrun
