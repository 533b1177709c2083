//===-- tools/EnvCommands.cpp - tmctl env ---------------------------------===//
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>

#include "Tmctl.h"

namespace tmctl {
namespace {

// The registry's location, and why it cannot be used when it cannot: the
// error, then what the library found (an unwritable directory, another
// program's database) unless the error says it already.
std::string RegistryLine(LONG* code) {
    char text[4096];
    *code = TmRegCheckRegistry(text, sizeof text);
    const std::string path = TmRegistryPath();
    if (*code == ERROR_SUCCESS) return path;
    const std::string described = DescribeWin32Error(static_cast<DWORD>(*code));
    std::string line = path + " (cannot be used: " + described + ")";
    // The library's text is "PATH: reason".
    std::string reason = text;
    if (reason.compare(0, path.size() + 2, path + ": ") == 0) reason.erase(0, path.size() + 2);
    const std::string core = reason.compare(0, 4, "the ") == 0 ? reason.substr(4) : reason;
    if (!core.empty() && described.find(core) == std::string::npos) line += ": " + reason;
    return line;
}

class EnvCommand final : public Command {
public:
    void Define(CLI::App&) override {}
    int Run() override {
        char root[256];
        GetRootPath(root, sizeof root);
        std::string logDir = LogDirectory();
        printf("root path:      %s\n", root);
        printf("version:        %s\n", GetOSVersionString());
        printf("platform:       %s\n", IsWindowsNT() ? "NT" : "Windows 95");
        printf("service pack:   %d\n", GetCSDLevel());
        LONG registry = ERROR_SUCCESS;
        printf("registry:       %s\n", RegistryLine(&registry).c_str());
        printf("registry store: %s\n", TmRegistryStore());
        printf("log directory:  %s%s\n", logDir.c_str(), IsDirectory(logDir) ? "" : " (missing: lines are lost)");
        return registry == ERROR_SUCCESS ? kOk : kFailed;
    }
};

}  // namespace

TMCTL_COMMAND(EnvCommand, "env", "", "show the root path, version, registry (file or server) and log directory",
              "A registry that cannot be used is shown with the reason, and the exit\n"
              "status is then 1.");

}  // namespace tmctl
