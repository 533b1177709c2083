//===-- tests/support/StoreSandbox.h - The registry store of a sandbox ----===//
//
// A test program runs against the SQLite store, a database file in its
// sandbox, unless $TM_TEST_STORE is "postgresql" or $TM_TEST_PG_STATE is
// set: then against a schema of its own, made fresh for the run, in the
// database of a private PostgreSQL server (PgServer.h). The server is the
// one described by the state file $TM_TEST_PG_STATE (the ctest
// fixture's), else one started for this program run alone and stopped
// after it.
//
// The child that runs the tests finds, in its environment:
//   TAMARAK_REGISTRY         the location: a file, or the server's URI
//                            with "&schema=NAME"
//   TM_TEST_PG_STATE         the server's state file (PgServer::Attach)
//   TM_TEST_PG_SCHEMA        NAME; further locations of the test use
//                            schemas whose names begin with it
//   TM_TEST_PG_UNAVAILABLE   why there is no server: every test skips
//===----------------------------------------------------------------------===//
#pragma once

#include <string>
#include <vector>

#include "support/PgServer.h"

namespace tmtest {

class StoreSandbox {
public:
    // Chooses the registry of a sandbox in dir and sets the environment
    // above for the child; returns the location.
    std::string Prepare(const std::string& dir);
    // Every location the run used: the sandbox's and those that its tests
    // made with NewRegistryLocation (their named objects are removed).
    std::vector<std::string> Locations() const;
    // Drops the run's schemas; stops a server started for the run.
    void Cleanup();

private:
    std::string m_dir;
    std::string m_location;
    std::string m_schema;
    PgServer m_server;
};

}  // namespace tmtest
