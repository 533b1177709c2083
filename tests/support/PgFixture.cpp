//===-- tests/support/PgFixture.cpp - One PostgreSQL server for a ctest run -===//
//
//   pg_fixture start STATE   starts a private server (PgServer.h) and
//                            describes it in the file STATE; a server that
//                            an interrupted run left there is stopped first
//   pg_fixture stop STATE    stops it and removes its directory and STATE
//
// ctest runs these as the setup and clean-up of the fixture that the
// PostgreSQL tests require. A machine without the server programs gets
// exit status 77, which ctest reports as skipped; STATE then says why,
// and every test that needs the server skips itself with that reason.
// With $TM_TEST_PG_REQUIRED set (CI, where the programs are installed) a
// server that cannot start fails instead.
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/PgServer.h"

namespace {

constexpr int kSkipped = 77;

void StopLeftover(const std::string& state) {
    tmtest::PgServer old;
    std::string why;
    if (old.Attach(state, &why)) old.Stop();
    unlink(state.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 3 ? argv[1] : "";
    if (command != "start" && command != "stop") {
        fprintf(stderr, "usage: pg_fixture start|stop STATE\n");
        return 2;
    }
    const std::string state = argv[2];
    StopLeftover(state);
    if (command == "stop") return 0;
    tmtest::PgServer server;
    std::string why;
    if (!server.Start(&why)) {
        tmtest::PgServer::WriteUnavailable(state, why);
        fprintf(stderr, "pg_fixture: no PostgreSQL server for the tests: %s\n", why.c_str());
        return getenv("TM_TEST_PG_REQUIRED") ? 1 : kSkipped;
    }
    if (!server.WriteState(state)) {
        fprintf(stderr, "pg_fixture: cannot write %s\n", state.c_str());
        return 1;
    }
    printf("PostgreSQL server for the tests: %s\n", server.Uri().c_str());
    server.Release();  // it outlives this program until "stop"
    return 0;
}
