//===-- tools/tmctl.cpp - The operators' command-line tool ----------------===//
//
// tmctl COMMAND [ARGS...]: registry values, the event log and the
// process environment of the installation named by $TAMARAK_REGISTRY,
// through the library only. "tmctl help" lists the commands.
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Tmctl.h"

namespace tmctl {
namespace {

std::map<std::string, Command>& Commands() {
    static std::map<std::string, Command> commands;
    return commands;
}

void PrintUsageLine(FILE* out, const Command& c) {
    fprintf(out, "  tmctl %s%s%s\n", c.name, *c.args ? " " : "", c.args);
}

void PrintOverview(FILE* out) {
    fprintf(out,
            "usage: tmctl COMMAND [ARGS...]\n"
            "       tmctl help [COMMAND]\n\n"
            "Works on the installation whose registry database $TAMARAK_REGISTRY names\n"
            "(default: %s).\n\ncommands:\n",
            TmRegistryPath());
    size_t width = 0;
    for (const auto& [name, c] : Commands()) {
        width = std::max(width, name.size() + 1 + strlen(c.args));
    }
    for (const auto& [name, c] : Commands()) {
        std::string head = name + (*c.args ? std::string(" ") + c.args : "");
        fprintf(out, "  %-*s  %s\n", static_cast<int>(width), head.c_str(), c.summary);
    }
    fprintf(out, "\nExit status: 0 success, 1 failure, 2 bad usage.\n");
}

// Commands whose name begins with the given words.
std::vector<const Command*> Family(const std::string& prefix) {
    std::vector<const Command*> family;
    for (const auto& [name, c] : Commands()) {
        if (name == prefix || name.rfind(prefix + " ", 0) == 0) family.push_back(&c);
    }
    return family;
}

int Help(const std::vector<std::string>& words) {
    std::string topic;
    for (const std::string& w : words) topic += (topic.empty() ? "" : " ") + w;
    if (topic.empty()) {
        PrintOverview(stdout);
        return kOk;
    }
    auto family = Family(topic);
    if (family.empty()) {
        fprintf(stderr, "tmctl: no command '%s'; try 'tmctl help'\n", topic.c_str());
        return kUsage;
    }
    for (const Command* c : family) {
        printf("usage: tmctl %s%s%s\n  %s\n", c->name, *c->args ? " " : "", c->args, c->summary);
        if (*c->details) printf("\n%s\n", c->details);
        if (family.size() > 1) printf("\n");
    }
    return kOk;
}

}  // namespace

bool RegisterCommand(const Command& command) {
    Commands()[command.name] = command;
    return true;
}

int UsageError(const char* commandName, const std::string& message) {
    if (!message.empty()) fprintf(stderr, "tmctl: %s\n", message.c_str());
    auto family = Family(commandName);
    fprintf(stderr, "usage:\n");
    for (const Command* c : family) PrintUsageLine(stderr, *c);
    return kUsage;
}

bool TakeFlag(std::vector<std::string>& args, const char* name) {
    auto it = std::find(args.begin(), args.end(), std::string("--") + name);
    if (it == args.end()) return false;
    args.erase(it);
    return true;
}

bool TakeOption(std::vector<std::string>& args, const char* name, std::string* value) {
    std::string flag = std::string("--") + name;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == flag && i + 1 < args.size()) {
            *value = args[i + 1];
            args.erase(args.begin() + i, args.begin() + i + 2);
            return true;
        }
        if (args[i].rfind(flag + "=", 0) == 0) {
            *value = args[i].substr(flag.size() + 1);
            args.erase(args.begin() + i);
            return true;
        }
    }
    return false;
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
    std::string t = text;
    std::replace(t.begin(), t.end(), '/', '\\');
    if (_stricmp(t.c_str(), "params") == 0) {
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
    size_t sep = t.find('\\');
    std::string first = t.substr(0, sep);
    for (const auto& r : kRoots) {
        if (_stricmp(first.c_str(), r.name) == 0) {
            *root = r.root;
            *path = sep == std::string::npos ? "" : t.substr(sep + 1);
            return true;
        }
    }
    if (first.rfind("HKEY_", 0) == 0 || first.rfind("hkey_", 0) == 0) return false;
    *root = HKEY_LOCAL_MACHINE;
    *path = t;
    return true;
}

}  // namespace tmctl

int main(int argc, char** argv) {
    using namespace tmctl;
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        PrintOverview(stderr);
        return kUsage;
    }
    if (words[0] == "help" || words[0] == "--help" || words[0] == "-h") {
        return Help(std::vector<std::string>(words.begin() + 1, words.end()));
    }
    // The longest registered name that the words begin with.
    const Command* found = nullptr;
    size_t used = 0;
    std::string name;
    for (size_t i = 0; i < words.size() && i < 3; ++i) {
        name += (i ? " " : "") + words[i];
        auto it = Commands().find(name);
        if (it != Commands().end()) {
            found = &it->second;
            used = i + 1;
        }
    }
    if (!found) {
        if (!Family(words[0]).empty()) {
            std::string sub = words.size() > 1 ? words[0] + " " + words[1] : words[0];
            return UsageError(words[0].c_str(), words.size() > 1 ? "unknown command '" + sub + "'" : "");
        }
        fprintf(stderr, "tmctl: unknown command '%s'; try 'tmctl help'\n", words[0].c_str());
        return kUsage;
    }
    std::vector<std::string> args(words.begin() + used, words.end());
    if (std::find(args.begin(), args.end(), "--help") != args.end()) return Help({found->name});
    return found->run(args);
}
