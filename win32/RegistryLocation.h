//===-- win32/RegistryLocation.h - Where a registry lives (internal) ------===//
//
// A registry location is what TAMARAK_REGISTRY holds: a SQLite database
// file, or a libpq connection URI (postgresql://... or postgres://...)
// that names a PostgreSQL database, with an optional query parameter
// schema=NAME naming the schema that holds this installation's registry
// (several installations share a database through several schemas). The
// parameter is ours: it is taken out before the URI goes to libpq.
//
//   postgresql://user@db.example.com/mail?schema=site1
//   postgresql:///tamarak?host=/run/postgresql&schema=test_42
//
// Limits: a schema name is 1 to 63 characters of [A-Za-z0-9_], not starting
// with a digit, used as written (case kept); without the parameter the
// schema is "tamarak". A location that breaks these rules, or a URI that
// libpq cannot parse, is kept with its problem (ERROR_BAD_PATHNAME), which
// every registry call then returns.
//===----------------------------------------------------------------------===//
#pragma once

#include <string>
#include <string_view>

#include "tmwin32.h"

namespace w32::reg {

inline constexpr const char kDefaultSchema[] = "tamarak";

struct RegistryLocation {
    bool postgres = false;
    std::string path;      // SQLite: the file as given
    std::string conninfo;  // PostgreSQL: the URI without our parameter
    std::string schema;    // PostgreSQL: the schema's name
    // For people: the location with any password left out.
    std::string display;
    // What identifies one installation's registry whoever connects to it:
    // the server's host and port, the database and the schema (not the
    // user, the password or other options). Named objects derive from it.
    std::string identity;
    LONG problem = ERROR_SUCCESS;
};

// True for a location that names a PostgreSQL database.
bool IsPostgresLocation(std::string_view location);

RegistryLocation ParseRegistryLocation(const std::string& location);

}  // namespace w32::reg
