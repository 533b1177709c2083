//===-- tools/EnvCommands.cpp - tmctl env ---------------------------------===//
#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "Tmctl.h"

namespace tmctl {
namespace {

std::string LogDirectory() {
    char path[4096];
    TmGetEventLogPath(path, sizeof path);
    return path;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Why the registry file cannot be used, or "" when it can.
std::string RegistryProblem() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return "";
    return " (cannot be used: " + DescribeWin32Error(static_cast<DWORD>(rc)) + ")";
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
        printf("registry:       %s%s\n", TmRegistryPath(), RegistryProblem().c_str());
        printf("log directory:  %s%s\n", logDir.c_str(), IsDirectory(logDir) ? "" : " (missing: lines are lost)");
        return kOk;
    }
};

}  // namespace

TMCTL_COMMAND(EnvCommand, "env", "", "show the root path, version, registry file and log directory", "");

}  // namespace tmctl
