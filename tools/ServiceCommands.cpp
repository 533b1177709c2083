//===-- tools/ServiceCommands.cpp - tmctl service ..., tmctl dll status ---===//
//
// Installing, removing and listing the delivery service through the
// library's InstallService and RemoveService, and a look at the optional
// libraries that CTmScript and CRasDial load. "dll status" loads them
// itself rather than through those classes, so that asking writes nothing
// to the event log.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "Tmctl.h"

namespace tmctl {
namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

std::string StartName(DWORD start) {
    static const char* const kNames[] = {"boot", "system", "auto", "demand", "disabled"};
    if (start < sizeof kNames / sizeof kNames[0]) return kNames[start];
    return std::to_string(start);
}

// The names of a key's subkeys or values, read before anything changes.
std::vector<std::string> SubkeyNames(CRegistry& reg) {
    std::vector<std::string> names;
    CString name;
    for (DWORD i = 0; reg.EnumKey(i, name) == ERROR_SUCCESS; ++i) names.emplace_back(name);
    return names;
}

// Whether the service is still there: opening it lets the manager finish
// deleting a service whose last holder is gone.
bool ServiceExists(SC_HANDLE manager, const std::string& name) {
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    if (!service) return false;
    CloseServiceHandle(service);
    return true;
}

int ListNt() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return Win32Failure("service list", GetLastError());
    CRegistry services;
    LONG rc = services.OpenKey(HKEY_LOCAL_MACHINE, kServicesKey, KEY_READ);
    if (rc != ERROR_SUCCESS) {
        CloseServiceHandle(manager);
        return rc == ERROR_FILE_NOT_FOUND ? kOk : Win32Failure("service list", static_cast<DWORD>(rc));
    }
    for (const std::string& name : SubkeyNames(services)) {
        if (!ServiceExists(manager, name)) continue;
        CRegistry service;
        if (service.OpenKey(services.m_hKey, name.c_str(), KEY_READ) != ERROR_SUCCESS) continue;
        CString display, image;
        DWORD start = 0, marked = 0;
        service.QueryValue("DisplayName", display);
        service.QueryValue("ImagePath", image);
        service.QueryValue("Start", start);
        service.QueryValue("DeleteFlag", marked);
        printf("%s\t%s\t%s\t%s%s\n", name.c_str(), static_cast<const char*>(display),
               StartName(start).c_str(), static_cast<const char*>(image),
               marked ? "\tmarked for deletion" : "");
    }
    CloseServiceHandle(manager);
    return kOk;
}

int ListWin95() {
    CRegistry run;
    LONG rc = run.OpenKey(HKEY_LOCAL_MACHINE, kRunServicesKey, KEY_READ);
    if (rc == ERROR_FILE_NOT_FOUND) return kOk;
    if (rc != ERROR_SUCCESS) return Win32Failure("service list", static_cast<DWORD>(rc));
    CString name;
    DWORD type = 0;
    for (DWORD i = 0; run.EnumValue(i, name, type) == ERROR_SUCCESS; ++i) {
        CString command;
        run.QueryValue(name, command);
        printf("%s\t%s\n", static_cast<const char*>(name), static_cast<const char*>(command));
    }
    return kOk;
}

// What InstallService registered for the name, as the system will run it.
std::string RegisteredCommand(const std::string& name) {
    CRegistry reg;
    CString command;
    if (IsWindowsNT()) {
        if (reg.OpenKey(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + "\\" + name).c_str(),
                        KEY_READ) == ERROR_SUCCESS) {
            reg.QueryValue("ImagePath", command);
        }
    } else if (reg.OpenKey(HKEY_LOCAL_MACHINE, kRunServicesKey, KEY_READ) == ERROR_SUCCESS) {
        reg.QueryValue(name.c_str(), command);
    }
    return static_cast<const char*>(command);
}

int Install(const std::vector<std::string>& args) {
    DWORD rc = InstallService(args[0].c_str(), args[1].c_str());
    if (rc != ERROR_SUCCESS) return Win32Failure("service install " + args[0], rc);
    printf("installed %s: %s\n", args[0].c_str(), RegisteredCommand(args[0]).c_str());
    return kOk;
}

int Remove(const std::vector<std::string>& args) {
    DWORD rc = RemoveService(args[0].c_str());
    if (rc != ERROR_SUCCESS) return Win32Failure("service remove " + args[0], rc);
    if (IsWindowsNT() && !RegisteredCommand(args[0]).empty()) {
        printf("%s is marked for deletion; it goes when the last program holding it lets go\n",
               args[0].c_str());
    } else {
        printf("removed %s\n", args[0].c_str());
    }
    return kOk;
}

int List() { return IsWindowsNT() ? ListNt() : ListWin95(); }

struct EntryPoint {
    const char* name;
    bool optional;
};

struct OptionalLibrary {
    const char* name;
    std::vector<EntryPoint> entries;
};

void ShowLibrary(const OptionalLibrary& library) {
    HMODULE module = LoadLibraryA(library.name);
    if (!module) {
        DWORD code = GetLastError();
        printf("%s: not loaded: error %u (%s)\n", library.name, static_cast<unsigned>(code),
               DescribeWin32Error(code).c_str());
        return;
    }
    char path[4096] = "";
    GetModuleFileNameA(module, path, sizeof path);
    printf("%s: loaded from %s\n", library.name, path);
    std::string missing;
    bool complete = true;
    for (const EntryPoint& entry : library.entries) {
        if (GetProcAddress(module, entry.name)) continue;
        missing += missing.empty() ? "" : ", ";
        missing += entry.name;
        if (entry.optional) {
            missing += " (optional)";
        } else {
            complete = false;
        }
    }
    if (missing.empty()) {
        printf("  all %zu entry points found\n", library.entries.size());
    } else {
        printf("  missing: %s\n", missing.c_str());
    }
    if (!complete) printf("  the features that need the missing entry points do nothing\n");
    FreeLibrary(module);
}

int DllStatus() {
    const OptionalLibrary kLibraries[] = {
        {"TMSCRIPT.DLL",
         {{"CreateScript", false}, {"CloseScript", false}, {"ParseScript", false},
          {"GetError", false}, {"RunScript", false}, {"ResetScript", true},
          {"AsyncResult", false}, {"FreeBuffer", false}, {"FileOpen", false},
          {"FileClose", false}}},
        {"RASAPI32.DLL",
         {{"RasDialA", false}, {"RasHangUpA", false}, {"RasGetConnectStatusA", false},
          {"RasGetErrorStringA", false}, {"RasEnumConnectionsA", false},
          {"RasEnumEntriesA", false}, {"RasGetProjectionInfoA", false},
          {"RasGetEntryPropertiesA", true}}},
    };
    for (const OptionalLibrary& library : kLibraries) ShowLibrary(library);
    return kOk;
}

class InstallCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("NAME", m_args[0], "the service's name")->required();
        app.add_option("DISPLAY-NAME", m_args[1], "the name the service manager shows")->required();
    }
    int Run() override { return Install(m_args); }

private:
    std::vector<std::string> m_args = std::vector<std::string>(2);
};

class RemoveCommand final : public Command {
public:
    void Define(CLI::App& app) override { app.add_option("NAME", m_args[0], "the service's name")->required(); }
    int Run() override { return Remove(m_args); }

private:
    std::vector<std::string> m_args = std::vector<std::string>(1);
};

class ListCommand final : public Command {
public:
    void Define(CLI::App&) override {}
    int Run() override { return List(); }
};

class DllStatusCommand final : public Command {
public:
    void Define(CLI::App&) override {}
    int Run() override { return DllStatus(); }
};

}  // namespace

TMCTL_COMMAND(InstallCommand, "service install", "NAME DISPLAY-NAME", "register the delivery service",
              "Registers the delivery service beside this program for automatic start:\n"
              "on Windows NT with the service control manager (binary path DIR/tmarksvc),\n"
              "on the Windows 95 family as a RunServices value (\"DIR/tmark95s\" -service;\n"
              "the display name is not used there). Prints what was registered.");
TMCTL_COMMAND(RemoveCommand, "service remove", "NAME", "remove the delivery service's registration",
              "On Windows NT the service is marked for deletion and goes when the last\n"
              "program holding it closes it; on the Windows 95 family the RunServices\n"
              "value is deleted (a missing one is no error).");
TMCTL_COMMAND(ListCommand, "service list", "", "list the registered services",
              "Windows NT: NAME<TAB>DISPLAY NAME<TAB>START<TAB>BINARY PATH, and\n"
              "<TAB>marked for deletion where DeleteService marked it. The Windows 95\n"
              "family: NAME<TAB>COMMAND of each RunServices value.");
TMCTL_COMMAND(DllStatusCommand, "dll status", "", "show whether the script engine and the dial-up library load",
              "Loads TMSCRIPT.DLL and RASAPI32.DLL as the library would (libtmscript.so and\n"
              "librasapi32.so beside this program, then along the search path) and names\n"
              "the entry points each one lacks. Writes nothing to the event log.");

}  // namespace tmctl
