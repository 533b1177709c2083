//===-- tools/Manual.cpp - The manual page and the bash completion --------===//
//
// Both are written from the registered commands and the options their
// apps declare, the text of "tmctl CMD --help": the build runs
// "tmctl --generate-man" and "tmctl --generate-completion" and keeps the
// results beside the program (tmctl.1, tmctl.bash). Neither touches the
// registry or the event log.
//
// The manual is plain man(7) roff. Text is escaped so that no line of it
// is taken for a request: a backslash becomes \e, every '-' a minus (\-),
// so that options copied from the page work, and a line that begins with
// '.' or '\'' is guarded with \&.
//
// The completion walks the words typed so far to the deepest command or
// family they name, then offers its subcommands, its options, the values
// an option declares, or file names.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <set>

#include "CommandTree.h"

namespace tmctl {
namespace {

std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        lineStart = c == '\n';
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

// Paragraphs of a help text: blank lines become paragraph breaks, and
// lines that were indented in the help keep their own line.
void WriteParagraphs(FILE* out, const std::string& text) {
    size_t start = 0;
    bool blank = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.find_first_not_of(' ') == std::string::npos) {
            blank = true;
        } else {
            if (blank) fputs(".PP\n", out);
            if (line[0] == ' ') fputs(".br\n", out);
            fprintf(out, "%s\n", Roff(line.substr(line.find_first_not_of(' '))).c_str());
            blank = false;
        }
        start = end + 1;
    }
}

std::string ShellWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

}  // namespace

void WriteManual(FILE* out, const CommandTree& tree, const char* version) {
    fprintf(out,
            ".\\\" The manual page of tmctl, written by \"tmctl --generate-man\".\n"
            ".TH TMCTL 1 \"\" \"tmctl %s\" \"User Commands\"\n"
            ".SH NAME\n"
            "tmctl \\- look after a Tamarak mail server installation\n"
            ".SH SYNOPSIS\n"
            ".B tmctl\n.I COMMAND\n.RI [ ARGS ...]\n.br\n"
            ".B tmctl\n.I COMMAND\n.B \\-\\-help\n.br\n"
            ".B tmctl help\n.RI [ COMMAND ]\n.br\n"
            ".B tmctl \\-\\-version\n"
            ".SH DESCRIPTION\n"
            "Reads and changes the registry of an installation, writes and follows its\n"
            "event log, looks at its mail queue and services, and runs the library's\n"
            "mail functions from a shell, all through the installation's common\n"
            "library. Every command takes\n.B \\-h\nand\n.BR \\-\\-help ;\n"
            ".B \\-\\-\nends the options, so that an argument may begin with '\\-'.\n"
            ".PP\n"
            "A registry\n.I KEY\n"
            "is written with an optional root (HKLM, HKCU, HKCR, HKU or the HKEY_\n"
            "names), then subkeys separated by '\\e' or '/'. Without a root the path\n"
            "is below HKLM; 'params' names the parameters key\n"
            "HKLM\\eSoftware\\eKelt\\eTamarak\\eParameters.\n"
            ".SH COMMANDS\n",
            Roff(version).c_str());
    for (const auto& [name, c] : Commands()) {
        fprintf(out, ".SS \"%s\"\n", Roff(std::string("tmctl ") + name + (*c.args ? " " : "") + c.args).c_str());
        fprintf(out, "%s\n", Roff(c.summary).c_str());
        std::vector<OptionText> options = OptionsOf(*tree.apps.at(name));
        for (const OptionText& o : options) {
            if (o.names == "-h, --help") continue;
            fprintf(out, ".TP\n.B %s%s\n%s\n", Roff(o.names).c_str(),
                    o.value.empty() ? "" : (" \\fI" + Roff(o.value) + "\\fR").c_str(), Roff(o.description).c_str());
        }
        if (*c.details) {
            fputs(".PP\n", out);
            WriteParagraphs(out, c.details);
        }
    }
    fputs(".SH ENVIRONMENT\n"
          ".TP\n.B TAMARAK_REGISTRY\n"
          "The registry database of the installation to work on. Without it, the\n"
          "library's default;\n.B tmctl env\nshows the file in use.\n"
          ".TP\n.B TZ\n"
          "The local time zone, which names the day's log files and dates the\n"
          "lines.\n"
          ".SH EXIT STATUS\n"
          "0 success, 1 failure (the message names the Win32 code and its\n"
          "meaning), 2 bad usage.\n"
          ".SH SEE ALSO\n"
          ".B tmctl env\n"
          "shows the root path, the version, the registry file and the log\n"
          "directory of the installation.\n",
          out);
}

void WriteCompletion(FILE* out, const CommandTree& tree) {
    // Every command and family, with its subcommands' words.
    std::map<std::string, std::set<std::string>> children;
    for (const auto& [path, app] : tree.apps) {
        const size_t blank = path.rfind(' ');
        children[blank == std::string::npos ? "" : path.substr(0, blank)].insert(app->get_name());
        children[path];
    }
    fputs("# bash completion for tmctl, written by \"tmctl --generate-completion\".\n"
          "_tmctl()\n"
          "{\n"
          "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
          "    local path='' i w next subs='' opts=''\n"
          "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
          "        w=${COMP_WORDS[i]}\n"
          "        [[ $w == -* ]] && continue\n"
          "        next=\"$path${path:+ }$w\"\n"
          "        case \"$next\" in\n",
          out);
    std::string paths;
    for (const auto& [path, kids] : children) {
        if (path.empty()) continue;
        paths += (paths.empty() ? "" : "|") + ("'" + path + "'");
    }
    fprintf(out,
            "            %s) path=$next ;;\n"
            "            *) break ;;\n"
            "        esac\n"
            "    done\n"
            "    case \"$path\" in\n",
            paths.c_str());
    auto optionWords = [](const CLI::App& app, std::vector<std::string>* valueOptions,
                          std::map<std::string, std::vector<std::string>>* choices) {
        std::vector<std::string> words;
        for (const OptionText& o : OptionsOf(app)) {
            size_t start = 0;
            while (start < o.names.size()) {
                size_t end = o.names.find(", ", start);
                if (end == std::string::npos) end = o.names.size();
                const std::string word = o.names.substr(start, end - start);
                words.push_back(word);
                if (!o.value.empty()) {
                    valueOptions->push_back(word);
                    if (!o.choices.empty()) (*choices)[word] = o.choices;
                }
                start = end + 2;
            }
        }
        return words;
    };
    std::string values;
    for (const auto& [path, kids] : children) {
        const CLI::App& app = path.empty() ? *tree.root : *tree.apps.at(path);
        std::vector<std::string> valueOptions;
        std::map<std::string, std::vector<std::string>> choices;
        std::vector<std::string> opts = optionWords(app, &valueOptions, &choices);
        if (path.empty()) opts = {"-h", "--help", "--version"};
        std::vector<std::string> subs(kids.begin(), kids.end());
        if (subs.empty()) subs = PositionalChoices(app);
        fprintf(out, "        '%s') subs='%s' opts='%s' ;;\n", path.c_str(), ShellWords(subs).c_str(),
                ShellWords(opts).c_str());
        for (const std::string& option : valueOptions) {
            auto it = choices.find(option);
            values += "        '" + path + ":" + option + "') ";
            if (it != choices.end()) {
                values += "COMPREPLY=($(compgen -W '" + ShellWords(it->second) + "' -- \"$cur\")) ;;\n";
            } else {
                values += "compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n";
            }
        }
    }
    fprintf(out,
            "    esac\n"
            "    case \"$path:$prev\" in\n"
            "%s"
            "        *)\n"
            "            if [[ $cur == -* ]]; then\n"
            "                COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
            "            elif [[ $path == help ]]; then\n"
            "                COMPREPLY=($(compgen -W \"$(_tmctl_commands)\" -- \"$cur\"))\n"
            "            elif [[ -n $subs && ( $path == \"\" || ${COMP_WORDS[COMP_CWORD-1]} == \"${path##* }\" ) ]]; then\n"
            "                COMPREPLY=($(compgen -W \"$subs\" -- \"$cur\"))\n"
            "            else\n"
            "                compopt -o filenames\n"
            "                COMPREPLY=($(compgen -f -- \"$cur\"))\n"
            "            fi\n"
            "            ;;\n"
            "    esac\n"
            "}\n"
            "_tmctl_commands()\n"
            "{\n"
            "    echo '%s'\n"
            "}\n"
            "complete -F _tmctl tmctl\n",
            values.c_str(),
            ShellWords(std::vector<std::string>(children[""].begin(), children[""].end())).c_str());
}

}  // namespace tmctl
