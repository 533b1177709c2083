//===-- tools/RegInitCommand.cpp - tmctl reg init -------------------------===//
//
// Makes a registry: the library never makes one by itself (a registry
// call on a missing file fails with ERROR_CANTOPEN), so that a mistyped
// TAMARAK_REGISTRY is an error rather than a new, empty configuration.
// Without PATH it makes this process's registry (what `tmctl env` shows).
// A file that is a registry already is left as it is and is not an error,
// so that set-up scripts may run the command every time; another program's
// database is refused and left untouched.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>

#include <string>

#include "Tmctl.h"

namespace tmctl {
namespace {

class RegInitCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("PATH", m_location, "the registry to make, as TAMARAK_REGISTRY takes it");
    }
    int Run() override {
        std::string shown = TmRegistryPath();
        if (!m_location.empty()) {
            char text[4096];
            DWORD length = TmRegFormatLocation(m_location.c_str(), text, sizeof text);
            shown = length < sizeof text ? std::string(text, length) : m_location;
        }
        LONG rc = TmRegCreateRegistry(m_location.empty() ? nullptr : m_location.c_str());
        if (rc == ERROR_ALREADY_EXISTS) {
            printf("%s is a registry already: left as it is\n", shown.c_str());
            return kOk;
        }
        if (rc != ERROR_SUCCESS) return Win32Failure("reg init " + shown, rc);
        printf("made the registry %s\n", shown.c_str());
        return kOk;
    }

private:
    std::string m_location;
};

const char kInitHelp[] =
    "Makes the registry at PATH, or without PATH the registry that this\n"
    "process uses (TAMARAK_REGISTRY, else the default that `tmctl env`\n"
    "shows), with the directories on the way. Programs never make a\n"
    "registry themselves: until it exists every registry call fails with\n"
    "ERROR_CANTOPEN. A registry that exists already is left as it is (exit\n"
    "status 0); another program's database is refused and not changed.\n"
    "A postgresql:// location gets its schema made if it is missing.";

}  // namespace

TMCTL_COMMAND(RegInitCommand, "reg init", "[PATH]", "make a registry (this process's without PATH)", kInitHelp);

}  // namespace tmctl
