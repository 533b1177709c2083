//===-- tools/RegMigrateCommand.cpp - tmctl reg migrate -------------------===//
//
// Copies a whole registry, the four roots with every key and value below
// them, from one location to another: a SQLite database file to a schema
// of a PostgreSQL database when an installation grows from one host to
// several, and back. FROM and TO are written as TAMARAK_REGISTRY takes
// them. The library makes the copy (TmRegCopyRegistry): every key with
// its access restriction, every value with its type and bytes, in
// creation order; the destination gets all of it or nothing. A source
// that does not exist and a destination that already holds keys are
// refused, so a migrate never merges two configurations. Volatile keys
// stay behind: they belong to the running boot of the host that made
// them.
//
// Messages name the locations without a password a URI may carry.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>

#include <string>

#include "Tmctl.h"

namespace tmctl {
namespace {

// A location as it may be shown: a URI without its password.
std::string Shown(const std::string& location) {
    char text[4096];
    DWORD length = TmRegFormatLocation(location.c_str(), text, sizeof text);
    return length < sizeof text ? std::string(text, length) : "(a location of " + std::to_string(location.size()) + " characters)";
}

class RegMigrateCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("FROM", m_from, "the registry to copy, as TAMARAK_REGISTRY takes it")->required();
        app.add_option("TO", m_to, "where to copy it; must hold no keys yet")->required();
    }
    int Run() override {
        if (m_from.empty() || m_to.empty()) return UsageError("reg migrate", "a location is empty");
        if (m_from == m_to) return UsageError("reg migrate", "FROM and TO are the same location");
        LONG rc = TmRegCopyRegistry(m_from.c_str(), m_to.c_str());
        if (rc != ERROR_SUCCESS) return Win32Failure("migrate from " + Shown(m_from) + " to " + Shown(m_to), rc);
        return kOk;
    }

private:
    std::string m_from, m_to;
};

const char kMigrateHelp[] =
    "Copies the whole registry at FROM (all four roots, every key with its\n"
    "access restriction, every value with its type and exact bytes) to TO.\n"
    "FROM and TO as TAMARAK_REGISTRY takes them: a SQLite database file, or\n"
    "postgresql://... with ?schema=NAME. FROM must exist; TO must hold no\n"
    "keys yet, and gets the whole registry or, on failure, nothing.\n"
    "Volatile keys are not copied. Stop the installation's programs first:\n"
    "changes made during the copy may be missed.";

}  // namespace

TMCTL_COMMAND(RegMigrateCommand, "reg migrate", "FROM TO", "copy a whole registry to another store (file <-> PostgreSQL)",
              kMigrateHelp);

}  // namespace tmctl
