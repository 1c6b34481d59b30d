#include "hostsh/options.h"

#include <algorithm>
#include <cstdio>

namespace hostsh {

namespace {

using K = ArgKind;

const Flag kAppend = {'a', "continue a partial file where it ends (after checking that its start matches)"};
const Flag kSync = {'f', "flush the copy to disk once written"};
const Flag kKeep = {'p', "keep the modes and the access and modification times"};
const Flag kTree = {'r', "copy directories and everything in them (-R alike)"};
const Flag kTreeUpper = {'R', "as -r"};
const Flag kNoFollow = {'h', "accepted as sftp takes it; a symbolic link itself is changed"};

} // namespace

const std::vector<CommandRow> &Commands()
{
    static const std::vector<CommandRow> table = {
        {"!", {}, {K::Command}, 0, -1, "!COMMAND, !", "run a command in a local shell, or the shell itself"},
        {"bye", {}, {K::Other}, 0, 1, "bye [STATUS]", "leave hostsh (as quit)"},
        {"cat", {}, {K::Host}, 1, -1, "cat PATH...", "show host files"},
        {"cd", {}, {K::Host}, 0, 1, "cd [DIR]", "change the host directory (to the host's HOME without DIR)"},
        {"chgrp", {kNoFollow}, {K::Other, K::Host}, 2, -1, "chgrp [-h] GID PATH...", "change the group of host paths"},
        {"chmod", {kNoFollow}, {K::Other, K::Host}, 2, -1, "chmod [-h] MODE PATH...",
         "change the mode of host paths (octal MODE)"},
        {"chown", {kNoFollow}, {K::Other, K::Host}, 2, -1, "chown [-h] UID PATH...", "change the owner of host paths"},
        {"date", {}, {}, 0, 0, "date", "show the host's clock"},
        {"df",
         {{'h', "sizes with units (K, M, G)"}, {'i', "inodes instead of blocks"}},
         {K::Host},
         0,
         1,
         "df [-h] [-i] [PATH]",
         "show the free space of the host file system holding PATH (or the host directory)"},
        {"echo", {}, {K::Other}, 0, -1, "echo [WORD...]", "print words ($? is the last status)"},
        {"env", {}, {K::Other}, 0, -1, "env [NAME...]", "show the host environment, or some variables"},
        {"exit", {}, {K::Other}, 0, 1, "exit [STATUS]", "leave hostsh (as quit)"},
        {"get", {kAppend, kSync, kKeep, kTree, kTreeUpper}, {K::Host, K::Local}, 1, 2, "get [-afpr] REMOTE [LOCAL]",
         "copy host files here"},
        {"help", {}, {K::Command}, 0, 1, "help [COMMAND]", "list the commands, or show one"},
        {"hostname", {}, {}, 0, 0, "hostname", "show the host's name"},
        {"id", {}, {}, 0, 0, "id", "show the user and group ids on the host"},
        {"lcd", {}, {K::Local}, 0, 1, "lcd [DIR]", "change the local directory"},
        {"lls", {}, {K::Local}, 0, -1, "lls [LS-OPTIONS] [PATH...]", "list local files (runs ls here)"},
        {"lmkdir", {{'p', "make parents as needed; no error when it exists"}}, {K::Local}, 1, -1, "lmkdir [-p] DIR...",
         "make local directories"},
        {"ln", {{'s', "a symbolic link"}}, {K::Host, K::Host}, 2, 2, "ln [-s] TARGET LINK",
         "make a hard link, or a symbolic link, on the host"},
        {"lpwd", {}, {}, 0, 0, "lpwd", "show the local directory"},
        {"ls",
         {{'1', "one name per line"},
          {'a', "names beginning with '.' too"},
          {'f', "in the host's order, not sorted"},
          {'h', "sizes with units (with -l)"},
          {'l', "long listing"},
          {'n', "long listing with numeric ids"},
          {'r', "reverse the order"},
          {'S', "sort by size, largest first"},
          {'t', "sort by modification time, newest first"}},
         {K::Host},
         0,
         -1,
         "ls [-1afhlnrSt] [PATH...]",
         "list host files"},
        {"lumask", {}, {K::Other}, 1, 1, "lumask UMASK", "set the local file-creation mask (octal)"},
        {"mkdir", {{'p', "make parents as needed; no error when it exists"}}, {K::Host}, 1, -1, "mkdir [-p] DIR...",
         "make host directories"},
        {"progress", {}, {}, 0, 0, "progress", "turn the progress meter on or off"},
        {"put", {kAppend, kSync, kKeep, kTree, kTreeUpper}, {K::Local, K::Host}, 1, 2, "put [-afpr] LOCAL [REMOTE]",
         "copy local files to the host"},
        {"pwd", {}, {}, 0, 0, "pwd", "show the host directory"},
        {"quit", {}, {K::Other}, 0, 1, "quit [STATUS]", "leave hostsh"},
        {"readlink", {}, {K::Host}, 1, 1, "readlink PATH", "show the target of a host symbolic link"},
        {"reget", {kSync, kKeep, kTree, kTreeUpper}, {K::Host, K::Local}, 1, 2, "reget [-fpr] REMOTE [LOCAL]",
         "continue copying host files here (as get -a)"},
        {"rename", {}, {K::Host, K::Host}, 2, 2, "rename OLD NEW", "rename a host path"},
        {"reput", {kSync, kKeep, kTree, kTreeUpper}, {K::Local, K::Host}, 1, 2, "reput [-fpr] LOCAL [REMOTE]",
         "continue copying local files to the host (as put -a)"},
        {"rm",
         {{'f', "no error for paths that do not exist"}, {'r', "directories and everything in them (-R alike)"},
          {'R', "as -r"}},
         {K::Host},
         1,
         -1,
         "rm [-fr] PATH...",
         "remove host files"},
        {"rmdir", {}, {K::Host}, 1, -1, "rmdir DIR...", "remove empty host directories"},
        {"run", {}, {K::Command, K::Host}, 1, -1, "run PROGRAM [ARGS...] [< LOCAL]",
         "run a host program; its input is this terminal (or LOCAL), $? gets its status"},
        {"setenv", {}, {K::Other}, 1, -1, "setenv NAME=VALUE...", "set variables of the host environment"},
        {"stat", {}, {K::Host}, 1, -1, "stat PATH...", "show the status of host paths"},
        {"symlink", {}, {K::Host, K::Host}, 2, 2, "symlink TARGET LINK", "make a symbolic link on the host (ln -s)"},
        {"version", {}, {}, 0, 0, "version", "show the version of hostsh and what the agent offers"},
    };
    return table;
}

const CommandRow *FindCommand(const std::string &name)
{
    std::string n = name == "?" ? "help" : name;
    for (const CommandRow &c : Commands())
        if (n == c.name)
            return &c;
    return nullptr;
}

std::optional<Parsed> ParseArgs(const CommandRow &row, const std::vector<Word> &words, std::string *error)
{
    Parsed out;
    size_t i = 0;
    for (; i < words.size(); i++) {
        const std::string &w = words[i].text;
        if (w == "--") {
            i++;
            break;
        }
        if (w.size() < 2 || w[0] != '-' || row.flags.empty())
            break;
        for (char c : w.substr(1)) {
            bool known = std::any_of(row.flags.begin(), row.flags.end(), [c](const Flag &f) { return f.letter == c; });
            if (!known) {
                *error = std::string(row.name) + ": unknown option -" + c + "\nusage: " + row.usage;
                return std::nullopt;
            }
            if (!out.has(c))
                out.flags += c;
        }
    }
    out.args.assign(words.begin() + static_cast<long>(i), words.end());
    int n = static_cast<int>(out.args.size());
    if (n < row.minArgs || (row.maxArgs >= 0 && n > row.maxArgs)) {
        *error = std::string("usage: ") + row.usage;
        return std::nullopt;
    }
    return out;
}

ArgKind KindAt(const CommandRow &row, const std::vector<std::string> &typedBefore)
{
    size_t position = 0;
    bool options = !row.flags.empty();
    for (const std::string &w : typedBefore) {
        if (options && w == "--") {
            options = false;
            continue;
        }
        if (options && w.size() > 1 && w[0] == '-')
            continue;
        options = false;
        position++;
    }
    if (row.maxArgs >= 0 && position >= static_cast<size_t>(row.maxArgs))
        return ArgKind::None;
    if (row.kinds.empty())
        return ArgKind::None;
    return row.kinds[std::min(position, row.kinds.size() - 1)];
}

std::string HelpFor(const CommandRow &row)
{
    std::string out = std::string("usage: ") + row.usage + "\n" + row.help + "\n";
    for (const Flag &f : row.flags)
        out += std::string("  -") + f.letter + "  " + f.meaning + "\n";
    return out;
}

std::string HelpAll()
{
    std::string out;
    char line[256];
    for (const CommandRow &c : Commands()) {
        snprintf(line, sizeof line, "%-32s %s\n", c.usage, c.help);
        out += line;
    }
    out += "? is help. A line that begins with '-' does not end a batch when it fails.\n";
    return out;
}

} // namespace hostsh
