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
#include <string>
#include <vector>

#include "Tmctl.h"

namespace tmctl {
namespace {

// A location as it may be shown: a URI without its password.
std::string Shown(const std::string& location) {
    char text[4096];
    DWORD length = TmRegFormatLocation(location.c_str(), text, sizeof text);
    return length < sizeof text ? std::string(text, length) : "(a location of " + std::to_string(location.size()) + " characters)";
}

int Migrate(const std::vector<std::string>& args) {
    if (args.size() != 2) return UsageError("reg migrate", "");
    if (args[0].empty() || args[1].empty()) return UsageError("reg migrate", "a location is empty");
    if (args[0] == args[1]) return UsageError("reg migrate", "FROM and TO are the same location");
    LONG rc = TmRegCopyRegistry(args[0].c_str(), args[1].c_str());
    if (rc != ERROR_SUCCESS) return Win32Failure("migrate from " + Shown(args[0]) + " to " + Shown(args[1]), rc);
    return kOk;
}

const char kMigrateHelp[] =
    "Copies the whole registry at FROM (all four roots, every key with its\n"
    "access restriction, every value with its type and exact bytes) to TO.\n"
    "FROM and TO as TAMARAK_REGISTRY takes them: a SQLite database file, or\n"
    "postgresql://... with ?schema=NAME. FROM must exist; TO must hold no\n"
    "keys yet, and gets the whole registry or, on failure, nothing.\n"
    "Volatile keys are not copied. Stop the installation's programs first:\n"
    "changes made during the copy may be missed.";

}  // namespace

TMCTL_COMMAND("reg migrate", "FROM TO", "copy a whole registry to another store (file <-> PostgreSQL)",
              kMigrateHelp, Migrate);

}  // namespace tmctl
