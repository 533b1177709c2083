//===-- bench/support/BenchMain.cpp - Benchmarks run in a sandbox ---------===//
//
// The library reads its registry when it is loaded, before main. So main
// makes a sandbox (a temporary directory with a registry database in it),
// runs the same program again as a child with $TAMARAK_REGISTRY and
// $TM_BENCH_SANDBOX pointing there, and removes the sandbox and the named
// objects of its installation afterwards.
//
// The registry is on PostgreSQL instead when $TM_BENCH_STORE is
// "postgresql" (or the program says so, TmBenchDefaultStore): in a
// schema of its own in the database that $TM_BENCH_PG_URI names (a
// location without schema), else on a private server started for the run
// (tests/support/PgServer.h) with fsync on and synchronous_commit off,
// the durability of the SQLite store's WAL with synchronous=NORMAL. The
// child finds the database in $TM_BENCH_PG_URI and the schema's name in
// $TM_BENCH_PG_SCHEMA (tables of a benchmark's own go to NAME_bare, which
// is dropped with it); without a server the
// registry stays a file and $TM_BENCH_PG_UNAVAILABLE says why, for the
// benchmarks to skip themselves.
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Layer.h"
#include "support/PgServer.h"

// The store of a benchmark program that does not name one: a program
// whose benchmarks are about the PostgreSQL store defines its own
// TmBenchDefaultStore, which gives "postgresql".
__attribute__((weak)) const char* TmBenchDefaultStore() { return "sqlite"; }

namespace {

// The PostgreSQL side of the sandbox: "" when the registry stays a file.
std::string PrepareServer(tmtest::PgServer& server, std::string* base, std::string* schema) {
    const char* store = getenv("TM_BENCH_STORE");
    if (!store) store = TmBenchDefaultStore();
    if (strcmp(store, "postgresql") != 0) return "";
    if (const char* uri = getenv("TM_BENCH_PG_URI"); uri && *uri) {
        *base = uri;
    } else {
        server.AddSetting("fsync = on");
        server.AddSetting("synchronous_commit = off");
        std::string why;
        if (!server.Start(&why)) {
            setenv("TM_BENCH_PG_UNAVAILABLE", why.c_str(), 1);
            return "";
        }
        *base = server.Uri();
        setenv("TM_BENCH_PG_URI", base->c_str(), 1);
    }
    *schema = "bench_" + tmtest::UniqueSchemaName();
    setenv("TM_BENCH_PG_SCHEMA", schema->c_str(), 1);
    return *base + (base->find('?') == std::string::npos ? "?" : "&") + "schema=" + *schema;
}

// The registry's schema, and schema_bare where benchmarks keep tables
// of their own.
void DropSchemas(const std::string& base, const std::string& schema) {
    PGconn* conn = PQconnectdb(base.c_str());
    if (PQstatus(conn) == CONNECTION_OK) {
        for (const std::string& name : {schema, schema + "_bare"})
            PQclear(PQexec(conn, ("DROP SCHEMA IF EXISTS \"" + name + "\" CASCADE").c_str()));
    }
    PQfinish(conn);
}

int RunSandboxed(char** argv) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmbench.XXXXXX";
    if (!mkdtemp(dir.data())) return 1;
    tmtest::PgServer server;
    std::string base, schema;
    std::string registry = PrepareServer(server, &base, &schema);
    if (registry.empty()) registry = dir + "/registry.db";
    setenv("TM_BENCH_SANDBOX", dir.c_str(), 1);
    setenv("TAMARAK_REGISTRY", registry.c_str(), 1);
    // A registry file is only ever made on purpose.
    if (TmRegCreateRegistry(registry.c_str()) != ERROR_SUCCESS) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!schema.empty() && !server.Owned()) DropSchemas(base, schema);
    std::string prefix = w32::ObjectNamespaceFor(registry);
    if (DIR* shm = opendir("/dev/shm")) {
        while (dirent* entry = readdir(shm)) {
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
                unlink((std::string("/dev/shm/") + entry->d_name).c_str());
            }
        }
        closedir(shm);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("TM_BENCH_SANDBOX")) return RunSandboxed(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
