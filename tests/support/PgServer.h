//===-- tests/support/PgServer.h - A private PostgreSQL server for tests --===//
//
// The PostgreSQL runs of the registry tests use a server of their own,
// made with the distribution's initdb and pg_ctl in a new directory below
// /tmp (short, as a Unix socket path must be), listening on a Unix socket
// in that directory only (listen_addresses is empty), with trust
// authentication. PostgreSQL refuses to run as root: when the tests run as
// root, as they do in CI, the server's processes run as the unprivileged
// user "nobody", who owns the directory.
//
// Two roles: "postgres", the cluster's superuser, used only to set the
// server up, and "tmreg", an ordinary role that owns the database "tmreg"
// where the registry schemas live, as an installation would be set up.
//
// Binaries: $TM_PG_BINDIR, else the newest /usr/lib/postgresql/*/bin
// that has initdb, pg_ctl and postgres.
//
// A server started by one process can be used by others through a state
// file (WriteState, Attach): the ctest fixture starts one for a whole run.
//
// Diagnostics: every failing step says why in *why, with the end of the
// server's or initdb's log.
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

namespace tmtest {

class PgServer {
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Makes and starts a new server; false (nothing left behind) when it
    // cannot, the reason in *why.
    bool Start(std::string* why);
    // A line of postgresql.conf for the next Start, after the tests' own
    // (which turn fsync off): "fsync = on" for figures worth reporting.
    void AddSetting(const std::string& line) { m_settings += line + "\n"; }
    // Uses a server that another process started and described in
    // stateFile. Such a server is not stopped by this object.
    bool Attach(const std::string& stateFile, std::string* why);
    // Describes this server in stateFile for Attach; "unavailable" with a
    // reason when there is none, so that users can tell why.
    bool WriteState(const std::string& stateFile) const;
    static bool WriteUnavailable(const std::string& stateFile, const std::string& why);

    // Stops the server at once and removes its directory.
    bool Stop(std::string* why = nullptr);
    // pg_ctl restart -m fast: connected clients are cut off, the server
    // comes back with everything committed.
    bool Restart(std::string* why);

    // Leaves a server started here running when this object goes.
    void Release() { m_owned = false; }
    bool Owned() const { return m_owned; }

    bool Running() const { return !m_dir.empty(); }
    // The registry location of the database, without a schema:
    // "postgresql:///tmreg?host=DIR&port=5432&user=tmreg".
    std::string Uri() const;
    // The same as a libpq key/value string, for the tests' own connections.
    std::string ConnInfo() const;
    const std::string& Dir() const { return m_dir; }

    // Runs sql as tmreg in the database tmreg; "" or libpq's message. With
    // rows, the last statement's rows, "a|b" a line.
    std::string Exec(const std::string& sql, std::string* rows = nullptr) const;
    // Drops every schema whose name begins with prefix, with all in it.
    std::string DropSchemas(const std::string& prefix) const;

private:
    bool RunTool(const std::string& tool, const std::string& args, std::string* why) const;

    std::string m_dir;     // socket directory; the cluster is in m_dir/data
    std::string m_binDir;
    std::string m_settings;
    bool m_owned = false;  // started here, stopped by the destructor
};

// A schema name no other test process uses: "t<pid>_<random>".
std::string UniqueSchemaName();

}  // namespace tmtest
