//===-- tests/support/StoreSandbox.cpp - The registry store of a sandbox --===//
#include "support/StoreSandbox.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

constexpr char kLocationsFile[] = "/registry-locations";

bool WantPostgres() {
    const char* store = getenv("TM_TEST_STORE");
    const char* state = getenv("TM_TEST_PG_STATE");
    return (store && strcmp(store, "postgresql") == 0) || (state && *state);
}

}  // namespace

std::string StoreSandbox::Prepare(const std::string& dir) {
    m_dir = dir;
    m_location = dir + "/registry.db";
    if (WantPostgres()) {
        setenv("TM_TEST_STORE", "postgresql", 1);
        std::string why;
        const char* state = getenv("TM_TEST_PG_STATE");
        bool ok = state && *state ? m_server.Attach(state, &why) : m_server.Start(&why);
        if (ok && !(state && *state)) {
            // A server of this run alone: described in the sandbox for
            // the tests that need it.
            const std::string own = dir + "/pg-server.state";
            ok = m_server.WriteState(own);
            if (!ok) why = "cannot write " + own;
            setenv("TM_TEST_PG_STATE", own.c_str(), 1);
        }
        if (ok) {
            m_schema = UniqueSchemaName();
            m_location = m_server.Uri() + "&schema=" + m_schema;
            setenv("TM_TEST_PG_SCHEMA", m_schema.c_str(), 1);
        } else {
            setenv("TM_TEST_PG_UNAVAILABLE", why.c_str(), 1);
        }
    }
    setenv("TAMARAK_REGISTRY", m_location.c_str(), 1);
    // A registry file is only ever made on purpose; a PostgreSQL schema is
    // made by the first process that uses it.
    if (!UsingPostgres()) {
        if (LONG rc = TmRegCreateRegistry(m_location.c_str()); rc != ERROR_SUCCESS) {
            fprintf(stderr, "cannot make the sandbox's registry %s: error %ld\n", m_location.c_str(),
                    static_cast<long>(rc));
            exit(1);
        }
    }
    return m_location;
}

std::vector<std::string> StoreSandbox::Locations() const {
    std::vector<std::string> locations = {m_location};
    std::ifstream in(m_dir + kLocationsFile);
    for (std::string line; std::getline(in, line);) locations.push_back(line);
    return locations;
}

void StoreSandbox::Cleanup() {
    if (!m_schema.empty() && m_server.Running()) {
        std::string error = m_server.DropSchemas(m_schema);
        if (!error.empty()) fprintf(stderr, "the test's schemas %s* stay: %s\n", m_schema.c_str(), error.c_str());
    }
    if (m_server.Owned()) m_server.Stop();
}

bool UsingPostgres() { return WantPostgres(); }

std::string NewRegistryLocation(const std::string& name) {
    std::string location;
    if (UsingPostgres()) {
        const char* schema = getenv("TM_TEST_PG_SCHEMA");
        PgServer server;
        std::string why;
        const char* state = getenv("TM_TEST_PG_STATE");
        if (!schema || !state || !server.Attach(state, &why)) return "";
        std::string suffix;
        for (char c : name) suffix += isalnum(static_cast<unsigned char>(c)) ? char(tolower(c)) : '_';
        location = server.Uri() + "&schema=" + schema + "_" + suffix;
    } else {
        location = MakeDir(name) + "/reg.db";
    }
    RememberRegistryLocation(location);
    return location;
}

std::string ServerQuery(const std::string& sql) {
    PgServer server;
    std::string why, rows;
    const char* state = getenv("TM_TEST_PG_STATE");
    if (!state || !server.Attach(state, &why)) return "error: no server: " + why;
    why = server.Exec(sql, &rows);
    return why.empty() ? rows : "error: " + why;
}

void RememberRegistryLocation(const std::string& location) {
    std::ofstream(SandboxDir() + kLocationsFile, std::ios::app) << location << "\n";
}

}  // namespace tmtest
