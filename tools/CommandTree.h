//===-- tools/CommandTree.h - The registered commands as a tree -----------===//
//
// What tmctl.cpp builds from the registered commands and what the help,
// the manual page and the shell completion (Manual.cpp) are written
// from: one CLI11 app per word of a command's name ("reg", then "reg
// query"), the command's own options declared on its app.
//===----------------------------------------------------------------------===//
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Tmctl.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tmctl {

// Every registered command by its full name, in name order.
const std::map<std::string, CommandInfo>& Commands();

// The registered commands whose name is prefix or begins with prefix and
// a blank.
std::vector<const CommandInfo*> Family(const std::string& prefix);

// An option as help texts show it.
struct OptionText {
    std::string names;        // "-f, --follow"
    std::string value;        // "N", or "" for a flag
    std::string description;
    std::vector<std::string> choices;  // values the shell may complete
};

// The options of a command's app (the help flag last).
std::vector<OptionText> OptionsOf(const CLI::App& app);

// The values an option takes, for the completion: declared by a command
// along with the option.
void SetChoices(CLI::Option* option, std::vector<std::string> choices);
// The values declared for the positional arguments of an app.
std::vector<std::string> PositionalChoices(const CLI::App& app);

// Text wrapped to width columns, each line after the first indented by
// indent blanks; existing line ends are kept.
std::string Wrap(const std::string& text, size_t indent, size_t width = 80);

// The whole tree under its root app, for the generators.
struct CommandTree {
    CLI::App* root;
    // The app of each command and each family, by full name.
    std::map<std::string, CLI::App*> apps;
};

// Writes tmctl.1, the manual page, in roff.
void WriteManual(FILE* out, const CommandTree& tree, const char* version);
// Writes the bash completion script.
void WriteCompletion(FILE* out, const CommandTree& tree);

}  // namespace tmctl
