// The commands of hostsh as data: each command's flags, the kinds of its arguments, its usage
// and help text. One parser reads every command's options from this table, and completion asks
// it what kind of word a position takes.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "hostsh/text.h"

namespace hostsh {

// What a word in an argument position names.
enum class ArgKind {
    None,    // nothing to complete
    Host,    // a path on the host
    Local,   // a path on this machine
    Command, // a command name
    Other,   // a mode, an owner, a number, a variable
};

struct Flag {
    char letter;
    const char *meaning;
};

struct CommandRow {
    const char *name;
    std::vector<Flag> flags;
    // Kinds of the argument positions; the last one repeats when maxArgs allows more.
    std::vector<ArgKind> kinds;
    int minArgs = 0;
    int maxArgs = 0; // -1: any number
    const char *usage;
    const char *help;
};

// Every command, in the order help lists them.
const std::vector<CommandRow> &Commands();
// The command of that name (aliases included), or nullptr.
const CommandRow *FindCommand(const std::string &name);

struct Parsed {
    std::string flags; // the letters given, each once, in the order first seen
    std::vector<Word> args;
    bool has(char letter) const { return flags.find(letter) != std::string::npos; }
};

// Options first, as the shell and sftp take them: "-rf" is -r and -f; "--" ends the options;
// a lone "-" and every word after the first argument are arguments. nullopt with a message
// in *error for an unknown flag or a wrong count of arguments.
std::optional<Parsed> ParseArgs(const CommandRow &row, const std::vector<Word> &words, std::string *error);

// The kind of the argument that the words typed so far (the command name left out) lead to.
ArgKind KindAt(const CommandRow &row, const std::vector<std::string> &typedBefore);

// "usage: ..." and the help of one command, the flags listed one per line.
std::string HelpFor(const CommandRow &row);
// The list of every command with a one-line help.
std::string HelpAll();

} // namespace hostsh
