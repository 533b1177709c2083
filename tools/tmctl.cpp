//===-- tools/tmctl.cpp - The operators' command-line tool ----------------===//
//
// tmctl COMMAND [ARGS...]: registry values, the event log, the queue and
// the process environment of the installation named by $TAMARAK_REGISTRY,
// through the library only. "tmctl help" lists the commands.
//
// The command line is parsed by CLI11: one app per word of the registered
// names, so "reg query" is the subcommand "query" of the family "reg".
// Every app takes -h/--help; "--" ends the options; the root takes
// --version, and the hidden --generate-man and --generate-completion that
// the build runs to write the manual page and the bash completion from the
// same text. Help is formatted here, within 80 columns, in the words of
// the registered usage lines; parse errors become "tmctl: ..." and the
// command's usage, with exit status 2.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "CommandTree.h"

#ifndef TMCTL_VERSION
#error "TMCTL_VERSION must be defined by the build"
#endif

namespace tmctl {
namespace {

std::map<std::string, CommandInfo>& Registry() {
    static std::map<std::string, CommandInfo> commands;
    return commands;
}

std::map<const CLI::Option*, std::vector<std::string>>& Choices() {
    static std::map<const CLI::Option*, std::vector<std::string>> choices;
    return choices;
}

// Width of the command names in the overview.
constexpr size_t kNameColumn = 16;

std::string UsageLine(const CommandInfo& c) { return std::string("tmctl ") + c.name + (*c.args ? " " : "") + c.args; }

void PrintOverview(FILE* out) {
    fprintf(out,
            "usage: tmctl COMMAND [ARGS...]\n"
            "       tmctl COMMAND --help\n"
            "       tmctl help [COMMAND]\n"
            "       tmctl --version\n\n"
            "Works on the installation whose registry database $TAMARAK_REGISTRY names,\n"
            "else the default; this one uses:\n  %s\n\ncommands:\n",
            TmRegistryPath());
    for (const auto& [name, c] : Registry()) {
        std::string head = "  " + name;
        head.resize(std::max(head.size() + 2, kNameColumn + 4), ' ');
        fprintf(out, "%s\n", Wrap(head + c.summary, head.size()).c_str());
    }
    fprintf(out, "\nExit status: 0 success, 1 failure, 2 bad usage.\n");
}

void PrintCommandHelp(FILE* out, const CommandInfo& c, const CLI::App& app) {
    fprintf(out, "%s\n%s\n", Wrap("usage: " + UsageLine(c), 8).c_str(), Wrap("  " + std::string(c.summary), 2).c_str());
    std::vector<OptionText> options = OptionsOf(app);
    size_t width = 0;
    for (const OptionText& o : options) width = std::max(width, o.names.size() + (o.value.empty() ? 0 : o.value.size() + 1));
    width = std::min<size_t>(width, 24);
    fprintf(out, "\noptions:\n");
    for (const OptionText& o : options) {
        std::string head = "  " + o.names + (o.value.empty() ? "" : " " + o.value);
        if (head.size() > width + 2) {
            fprintf(out, "%s\n", head.c_str());
            head.clear();
        }
        head.resize(width + 4, ' ');
        fprintf(out, "%s\n", Wrap(head + o.description, width + 4).c_str());
    }
    if (*c.details) fprintf(out, "\n%s\n", c.details);
}

// The help of a command, or of every command of a family.
int PrintHelp(FILE* out, const std::string& topic, const CommandTree& tree) {
    auto family = Family(topic);
    if (family.empty()) {
        fprintf(stderr, "tmctl: no command '%s'; try 'tmctl help'\n", topic.c_str());
        return kUsage;
    }
    bool first = true;
    for (const CommandInfo* c : family) {
        if (!first) fprintf(out, "\n");
        first = false;
        PrintCommandHelp(out, *c, *tree.apps.at(c->name));
    }
    return kOk;
}

const CommandTree* g_tree = nullptr;

class HelpCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("COMMAND", m_words, "a command or a family of commands"); }
    int Run() override {
        std::string topic;
        for (const std::string& w : m_words) topic += (topic.empty() ? "" : " ") + w;
        if (topic.empty()) {
            PrintOverview(stdout);
            return kOk;
        }
        return PrintHelp(stdout, topic, *g_tree);
    }

private:
    std::vector<std::string> m_words;
};

// The app that the parse reached: the last subcommand selected.
CLI::App* Deepest(CLI::App& root) {
    CLI::App* app = &root;
    for (;;) {
        std::vector<CLI::App*> selected = app->get_subcommands();
        if (selected.empty()) return app;
        app = selected.front();
    }
}

// The full name of an app below the root: its words from the top.
std::string FullName(const CLI::App* app) {
    std::string name;
    for (; app && app->get_parent(); app = app->get_parent()) {
        name = app->get_name() + (name.empty() ? "" : " " + name);
    }
    return name;
}

int ParseFailure(CLI::App& root, const CLI::ParseError& error, int argc, char** argv) {
    CLI::App* app = Deepest(root);
    const std::string name = FullName(app);
    const bool isCommand = Registry().count(name) != 0;
    std::vector<std::string> extras = app->remaining();
    // Words after a command's last argument may end up with the root.
    if (extras.empty()) extras = root.remaining();
    // CLI11 may keep the "--" that ended the options among them.
    if (!extras.empty() && extras.front() == "--") extras.erase(extras.begin());
    // What follows "--" on the command line is an argument however it looks.
    bool afterMark = false;
    if (!extras.empty()) {
        const std::vector<std::string> words(argv + 1, argv + argc);
        auto mark = std::find(words.begin(), words.end(), "--");
        afterMark = std::find(words.begin(), mark, extras.front()) == mark;
    }
    // CLI11 checks the required arguments before it reports what it did
    // not know; an unknown option is the better thing to say first.
    const bool unknownOption =
        !afterMark && !extras.empty() && extras.front().size() > 1 && extras.front()[0] == '-';
    if ((dynamic_cast<const CLI::ExtrasError*>(&error) || unknownOption) && !extras.empty()) {
        const std::string& first = extras.front();
        if (unknownOption) {
            std::string message = "unknown option '" + first.substr(0, first.find('=')) + "'";
            if (name.empty()) {
                fprintf(stderr, "tmctl: %s; try 'tmctl help'\n", message.c_str());
                return kUsage;
            }
            return UsageError(name.c_str(), message);
        }
        if (name.empty()) {
            fprintf(stderr, "tmctl: unknown command '%s'; try 'tmctl help'\n", first.c_str());
            return kUsage;
        }
        if (!isCommand) return UsageError(name.c_str(), "unknown command '" + name + " " + first + "'");
        return UsageError(name.c_str(), "unexpected argument '" + first + "'");
    }
    std::string message = error.what();
    // CLI11's sentences begin with a capital; a name in capitals stays.
    if (message.size() > 1 && islower(static_cast<unsigned char>(message[1])))
        message[0] = static_cast<char>(tolower(static_cast<unsigned char>(message[0])));
    if (name.empty()) {
        fprintf(stderr, "tmctl: %s; try 'tmctl help'\n", message.c_str());
        return kUsage;
    }
    return UsageError(name.c_str(), message);
}

// One app per word of every registered name, the families made on the
// way; each command declares its own options on its app.
void BuildTree(CLI::App& root, CommandTree* tree) {
    tree->root = &root;
    for (auto& [name, info] : Registry()) {
        CLI::App* parent = &root;
        std::string path;
        size_t start = 0;
        while (start <= name.size()) {
            size_t end = name.find(' ', start);
            if (end == std::string::npos) end = name.size();
            const std::string word = name.substr(start, end - start);
            path += (path.empty() ? "" : " ") + word;
            auto it = tree->apps.find(path);
            if (it == tree->apps.end()) {
                CLI::App* app = parent->add_subcommand(word, path == name ? info.summary : "");
                // One command a run: a later word that names another
                // command is an argument, never a second command.
                app->require_subcommand(0, 1);
                it = tree->apps.emplace(path, app).first;
            }
            parent = it->second;
            start = end + 1;
        }
        info.command->Define(*parent);
    }
}

// Writes a generated file whole, or says why it could not.
template <class Writer>
bool WriteWhole(const std::string& path, Writer write) {
    OutputFile out;
    int error = 0;
    if (!out.Open(path)) {
        error = errno;
    } else {
        write(out.Stream());
        error = out.Commit();
    }
    if (error) fprintf(stderr, "tmctl: cannot write %s: %s\n", path.c_str(), strerror(error));
    return error == 0;
}

HelpCommand g_help;
const bool g_helpRegistered = RegisterCommand(
    {"help", "[COMMAND]", "show the commands, or the usage of one command or family",
     "'tmctl COMMAND --help' and 'tmctl COMMAND -h' show the same.", &g_help});

}  // namespace

const std::map<std::string, CommandInfo>& Commands() { return Registry(); }

std::vector<const CommandInfo*> Family(const std::string& prefix) {
    std::vector<const CommandInfo*> family;
    for (const auto& [name, c] : Registry()) {
        if (name == prefix || name.rfind(prefix + " ", 0) == 0) family.push_back(&c);
    }
    return family;
}

bool RegisterCommand(const CommandInfo& info) {
    Registry()[info.name] = info;
    return true;
}

void SetChoices(CLI::Option* option, std::vector<std::string> choices) { Choices()[option] = std::move(choices); }

std::vector<std::string> PositionalChoices(const CLI::App& app) {
    std::vector<std::string> choices;
    for (const CLI::Option* o : app.get_options()) {
        auto it = Choices().find(o);
        if (o->get_positional() && it != Choices().end()) choices.insert(choices.end(), it->second.begin(), it->second.end());
    }
    return choices;
}

std::vector<OptionText> OptionsOf(const CLI::App& app) {
    std::vector<OptionText> options;
    const CLI::Option* help = app.get_help_ptr();
    for (const CLI::Option* o : app.get_options()) {
        if (o->get_positional() && o->get_lnames().empty() && o->get_snames().empty()) continue;
        if (o->get_group().empty() || o == help) continue;
        OptionText text;
        for (const std::string& s : o->get_snames()) text.names += (text.names.empty() ? "-" : ", -") + s;
        for (const std::string& l : o->get_lnames()) text.names += (text.names.empty() ? "--" : ", --") + l;
        if (o->get_type_size() != 0) text.value = o->get_type_name();
        text.description = o->get_description();
        auto it = Choices().find(o);
        if (it != Choices().end()) text.choices = it->second;
        options.push_back(text);
    }
    if (help) options.push_back({"-h, --help", "", "show this help", {}});
    return options;
}

std::string Wrap(const std::string& text, size_t indent, size_t width) {
    std::string out, line;
    size_t at = 0;
    auto flush = [&] {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line;
    };
    while (at < text.size()) {
        if (text[at] == '\n') {
            flush();
            out += '\n';
            line.assign(indent, ' ');
            ++at;
            continue;
        }
        size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        const bool lineHasWord = line.find_first_not_of(' ') != std::string::npos;
        if (lineHasWord && line.size() + word.size() > width && line.back() == ' ') {
            flush();
            out += '\n';
            line.assign(indent, ' ');
        }
        line += word;
        if (end < text.size() && text[end] == ' ') {
            line += ' ';
            ++end;
        }
        at = end;
    }
    flush();
    return out;
}

int UsageError(const char* commandName, const std::string& message) {
    if (!message.empty()) fprintf(stderr, "tmctl: %s\n", message.c_str());
    fprintf(stderr, "usage:\n");
    for (const CommandInfo* c : Family(commandName)) fprintf(stderr, "%s\n", Wrap("  " + UsageLine(*c), 8).c_str());
    return kUsage;
}

bool ParseNumber(const std::string& text, DWORD* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > 0xFFFFFFFFull || text[0] == '-') return false;
    *value = static_cast<DWORD>(v);
    return true;
}

bool ParseKeyPath(const std::string& text, HKEY* root, std::string* path) {
    // The names between separators; "a//b/" is "a\b".
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\\/", start);
        if (end == std::string::npos) end = text.size();
        if (end > start) names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    auto join = [&](size_t from) {
        std::string joined;
        for (size_t i = from; i < names.size(); ++i) joined += (i > from ? "\\" : "") + names[i];
        return joined;
    };
    if (names.size() == 1 && _stricmp(names[0].c_str(), "params") == 0) {
        *root = HKEY_LOCAL_MACHINE;
        *path = TM_PARAMETERS_KEY;
        return true;
    }
    static const struct {
        const char* name;
        HKEY root;
    } kRoots[] = {
        {"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKCU", HKEY_CURRENT_USER},  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKCR", HKEY_CLASSES_ROOT},  {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKU", HKEY_USERS},          {"HKEY_USERS", HKEY_USERS},
    };
    const std::string first = names.empty() ? "" : names[0];
    for (const auto& r : kRoots) {
        if (_stricmp(first.c_str(), r.name) == 0) {
            *root = r.root;
            *path = join(1);
            return true;
        }
    }
    if (_strnicmp(first.c_str(), "HKEY_", 5) == 0) return false;
    *root = HKEY_LOCAL_MACHINE;
    *path = join(0);
    return true;
}

}  // namespace tmctl

int main(int argc, char** argv) {
    using namespace tmctl;
    CLI::App root{"", "tmctl"};
    root.set_help_flag("-h,--help", "show this help");
    root.require_subcommand(0, 1);
    bool version = false;
    std::string manual, completion;
    root.add_flag("--version", version, "print the version and exit");
    root.add_option("--generate-man", manual)->group("");
    root.add_option("--generate-completion", completion)->group("");
    CommandTree tree;
    BuildTree(root, &tree);
    g_tree = &tree;

    if (argc < 2) {
        PrintOverview(stderr);
        return kUsage;
    }
    try {
        root.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const std::string name = FullName(Deepest(root));
        if (name.empty()) {
            PrintOverview(stdout);
            return kOk;
        }
        return PrintHelp(stdout, name, tree);
    } catch (const CLI::ParseError& error) {
        return ParseFailure(root, error, argc, argv);
    }
    if (version) {
        printf("tmctl %s\n", TMCTL_VERSION);
        return kOk;
    }
    if (!manual.empty() || !completion.empty()) {
        if (!manual.empty() && !WriteWhole(manual, [&](FILE* fp) { WriteManual(fp, tree, TMCTL_VERSION); }))
            return kFailed;
        if (!completion.empty() && !WriteWhole(completion, [&](FILE* fp) { WriteCompletion(fp, tree); }))
            return kFailed;
        return kOk;
    }
    CLI::App* app = Deepest(root);
    const std::string name = FullName(app);
    auto it = Registry().find(name);
    if (it == Registry().end()) return UsageError(name.c_str(), "");
    return it->second.command->Run();
}
