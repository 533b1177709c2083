//===-- bench/support/PgWorker.cpp - A process of a simulated host --------===//
//
// Started by bench_registry_pg, one process of many:
//
//   next COUNT READY GATE                takes COUNT numbers with GetNextId
//   bare COUNT READY GATE CONNINFO TABLE runs COUNT times the prepared
//                                        UPDATE TABLE SET n = n + 1
//                                        RETURNING n, one transaction each
//
// Each first connects (a registry read, or the connection and the
// statement), makes the file READY, waits for the file GATE, does its
// work, and prints "START END FAILURES": the monotonic clock in
// nanoseconds around the work, and how many calls failed.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <tmcommon/tmcommon.h>

namespace {

long long Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000ll + ts.tv_nsec;
}

bool ReadyAndWait(const char* ready, const char* gate) {
    int fd = open(ready, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    close(fd);
    for (int i = 0; i < 600000 && access(gate, F_OK) != 0; ++i) usleep(100);
    return access(gate, F_OK) == 0;
}

int Next(long count, const char* ready, const char* gate) {
    CRegistry reg;
    DWORD last = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F) == ERROR_SUCCESS) reg.QueryValue("LastId", last);
    reg.CloseKey();
    if (!ReadyAndWait(ready, gate)) return 1;
    long failures = 0;
    const long long start = Now();
    for (long i = 0; i < count; ++i) failures += GetNextId() == 0;
    const long long end = Now();
    printf("%lld %lld %ld\n", start, end, failures);
    return 0;
}

int Bare(long count, const char* ready, const char* gate, const char* conninfo, const std::string& table) {
    PGconn* conn = PQconnectdb(conninfo);
    if (PQstatus(conn) != CONNECTION_OK) {
        fprintf(stderr, "%s", PQerrorMessage(conn));
        return 1;
    }
    PGresult* r = PQprepare(conn, "next", ("UPDATE " + table + " SET n = n + 1 RETURNING n").c_str(), 0, nullptr);
    const bool prepared = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!prepared || !ReadyAndWait(ready, gate)) return 1;
    long failures = 0;
    const long long start = Now();
    for (long i = 0; i < count; ++i) {
        r = PQexecPrepared(conn, "next", 0, nullptr, nullptr, nullptr, 1);
        failures += PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1;
        PQclear(r);
    }
    const long long end = Now();
    PQfinish(conn);
    printf("%lld %lld %ld\n", start, end, failures);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "next" && argc == 5) return Next(atol(argv[2]), argv[3], argv[4]);
    if (mode == "bare" && argc == 7) return Bare(atol(argv[2]), argv[3], argv[4], argv[5], argv[6]);
    fprintf(stderr, "usage: bench_pg_worker next COUNT READY GATE | bare COUNT READY GATE CONNINFO TABLE\n");
    return 2;
}
