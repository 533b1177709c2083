//===-- bench/registry_pg.cpp - The registry on a PostgreSQL server -------===//
//
// What the PostgreSQL store costs against the server's own floor, in the
// same run and on the same server and Unix socket:
//
//   BM_PointRead                 open the parameters key (0x2001F), read a
//                                DWORD, close, through the store
//   BM_PointReadLibpqById        a bare libpq prepared query reading the
//                                same value by key id and folded name
//   BM_PointReadLibpqPath        the same with the four-level path
//                                resolved in the statement
//   BM_NextIdHosts/H/P           GetNextId in P processes on each of H
//                                simulated hosts (a /dev/shm of their own:
//                                needs root); items are numbers
//   BM_NextIdBareUpdate/N        a prepared UPDATE ... RETURNING n loop in N
//                                processes, one connection each
//
// The bare queries run on tables of their own (schema <registry's>_bare) shaped
// as a registry store would keep keys and values, with the same keys and
// values as the parameters key and its neighbours.
//
// The registry is a schema of its own on $TM_BENCH_PG_URI's server, else
// on a private server (see bench/support/BenchMain.cpp); without one every
// benchmark here reports an error and skips. Export and import through
// the PostgreSQL store are bench_registry_tree's, run with
// TM_BENCH_STORE=postgresql.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <libpq-fe.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tmwin32.h"

const char* TmBenchDefaultStore() { return "postgresql"; }

namespace {

constexpr const char* kParameters = "Software\\Kelt\\Tamarak\\Parameters";
constexpr REGSAM kReadWrite = 0x2001F;

std::string Sandbox() { return getenv("TM_BENCH_SANDBOX"); }

// False (the benchmark skipped with the reason) without a server.
bool HaveServer(benchmark::State& state) {
    if (const char* why = getenv("TM_BENCH_PG_UNAVAILABLE")) {
        state.SkipWithError((std::string("no PostgreSQL server: ") + why).c_str());
        return false;
    }
    return true;
}

HKEY CreateKey(HKEY parent, const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        fprintf(stderr, "cannot create %s\n", path.c_str());
        exit(1);
    }
    return key;
}

void SetDword(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The parameters key with its usual neighbours (as bench_registry's).
void PrepareParameters() {
    static bool done = false;
    if (done) return;
    done = true;
    TmRegBeginBatch();
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kParameters);
    for (int i = 0; i < 20; ++i) SetDword(key, ("Value" + std::to_string(i)).c_str(), DWORD(i));
    SetDword(key, "Logging", 0x7);
    RegCloseKey(key);
    for (int i = 0; i < 200; ++i) RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, "Software\\Vendor" + std::to_string(i) + "\\Product\\Settings"));
    TmRegEndBatch();
}

DWORD PointRead() {
    HKEY key;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters, 0, kReadWrite, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "Logging", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

void BM_PointRead(benchmark::State& state) {
    if (!HaveServer(state)) return;
    PrepareParameters();
    if (PointRead() != 7) state.SkipWithError("the value cannot be read");
    for (auto _ : state) benchmark::DoNotOptimize(PointRead());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointRead)->Repetitions(5)->ReportAggregatesOnly(true);

// One connection of its own to the registry's database, and tables of its
// own: keys(id, parent, folded name) and vals(key, folded name, type,
// data), unique on (parent, name) and (key, name) as a store keeps them.
class Bare {
public:
    static Bare& Instance() {
        static Bare* bare = new Bare;
        return *bare;
    }
    bool Ok() const { return m_ok; }
    PGconn* Connection() { return m_conn; }
    const std::string& Schema() const { return m_schema; }
    long long ParametersId() const { return m_parameters; }

    // Runs sql; "" or the error.
    std::string Exec(const std::string& sql) {
        PGresult* r = PQexec(m_conn, sql.c_str());
        std::string error = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK
                                ? "" : PQresultErrorMessage(r);
        PQclear(r);
        return error;
    }

    DWORD Read(const char* statement, int count, const char* const* params) {
        PGresult* r = PQexecPrepared(m_conn, statement, count, params, nullptr, nullptr, 1);
        DWORD value = 0;
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 && PQgetlength(r, 0, 1) == 4)
            memcpy(&value, PQgetvalue(r, 0, 1), 4);
        PQclear(r);
        return value;
    }

private:
    Bare() {
        m_conn = PQconnectdb(getenv("TM_BENCH_PG_URI"));
        if (PQstatus(m_conn) != CONNECTION_OK) return;
        m_schema = std::string(getenv("TM_BENCH_PG_SCHEMA")) + "_bare";
        const std::string s = m_schema;
        std::string sql =
            "CREATE SCHEMA " + s + ";"
            "CREATE TABLE " + s + ".keys(id bigserial PRIMARY KEY, parent bigint NOT NULL, name text NOT NULL,"
            " folded text NOT NULL, UNIQUE (parent, folded));"
            "CREATE TABLE " + s + ".vals(id bigserial PRIMARY KEY, key bigint NOT NULL, name text NOT NULL,"
            " folded text NOT NULL, type integer NOT NULL, data bytea NOT NULL, UNIQUE (key, folded));"
            "CREATE TABLE " + s + ".counter(n bigint NOT NULL); INSERT INTO " + s + ".counter VALUES (0);"
            "INSERT INTO " + s + ".keys VALUES (3, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine');"
            "SELECT setval('" + s + ".keys_id_seq', 10);";
        if (!Exec(sql).empty()) return;
        long long software = Insert(3, "Software");
        m_parameters = Insert(Insert(Insert(software, "Kelt"), "Tamarak"), "Parameters");
        for (int i = 0; i < 200; ++i) Insert(Insert(Insert(software, "Vendor" + std::to_string(i)), "Product"), "Settings");
        for (int i = 0; i <= 20; ++i) {
            const std::string name = i == 20 ? "Logging" : "Value" + std::to_string(i), folded = Fold(name);
            Exec("INSERT INTO " + s + ".vals(key, name, folded, type, data) VALUES (" + std::to_string(m_parameters) +
                 ", '" + name + "', '" + folded + "', 4, '\\x07000000')");
        }
        PGresult* r = PQprepare(m_conn, "by_id", ("SELECT type, data FROM " + s + ".vals WHERE key = $1 AND folded = $2").c_str(), 2, nullptr);
        m_ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        r = PQprepare(m_conn, "by_path",
                      ("SELECT v.type, v.data FROM " + s + ".keys k1"
                       " JOIN " + s + ".keys k2 ON k2.parent = k1.id AND k2.folded = $2"
                       " JOIN " + s + ".keys k3 ON k3.parent = k2.id AND k3.folded = $3"
                       " JOIN " + s + ".keys k4 ON k4.parent = k3.id AND k4.folded = $4"
                       " JOIN " + s + ".vals v ON v.key = k4.id AND v.folded = $5"
                       " WHERE k1.parent = 3 AND k1.folded = $1").c_str(), 5, nullptr);
        m_ok = m_ok && PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        Exec("ANALYZE " + s + ".keys; ANALYZE " + s + ".vals");
    }
    ~Bare() = delete;

    static std::string Fold(std::string name) {
        for (char& c : name) c = char(tolower(static_cast<unsigned char>(c)));
        return name;
    }
    long long Insert(long long parent, const std::string& name) {
        PGresult* r = PQexec(m_conn, ("INSERT INTO " + m_schema + ".keys(parent, name, folded) VALUES (" + std::to_string(parent) +
                                      ", '" + name + "', '" + Fold(name) + "') RETURNING id").c_str());
        long long id = PQresultStatus(r) == PGRES_TUPLES_OK ? atoll(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        return id;
    }

    PGconn* m_conn = nullptr;
    std::string m_schema;
    long long m_parameters = -1;
    bool m_ok = false;
};

void BM_PointReadLibpqById(benchmark::State& state) {
    if (!HaveServer(state)) return;
    Bare& bare = Bare::Instance();
    if (!bare.Ok()) return state.SkipWithError("the bare tables cannot be made");
    const std::string id = std::to_string(bare.ParametersId());
    const char* const params[] = {id.c_str(), "logging"};
    if (bare.Read("by_id", 2, params) != 7) return state.SkipWithError("the bare value cannot be read");
    for (auto _ : state) benchmark::DoNotOptimize(bare.Read("by_id", 2, params));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointReadLibpqById)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PointReadLibpqPath(benchmark::State& state) {
    if (!HaveServer(state)) return;
    Bare& bare = Bare::Instance();
    if (!bare.Ok()) return state.SkipWithError("the bare tables cannot be made");
    const char* const params[] = {"software", "kelt", "tamarak", "parameters", "logging"};
    if (bare.Read("by_path", 5, params) != 7) return state.SkipWithError("the bare value cannot be read");
    for (auto _ : state) benchmark::DoNotOptimize(bare.Read("by_path", 5, params));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointReadLibpqPath)->Repetitions(5)->ReportAggregatesOnly(true);

// Starts a program with its output in outPath.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A new mount namespace with its own empty /dev/shm: another host, as far
// as named objects go. 0 or errno.
int EnterPrivateShm() {
    if (unshare(CLONE_NEWNS) != 0) return errno;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) return errno;
    return 0;
}

// Runs the workers in `hosts` groups (each with a /dev/shm of its own when
// `separate`), opens the gate once all are connected, and gives the time
// from the first start to the last end in seconds; < 0 on failure, with
// the reason in *why.
double RunWorkers(int hosts, bool separate, const std::vector<std::vector<std::string>>& workers, std::string* why) {
    static int round = 0;
    const std::string dir = Sandbox() + "/round" + std::to_string(++round);
    mkdir(dir.c_str(), 0755);
    const std::string gate = dir + "/gate";
    const size_t perHost = workers.size() / hosts;
    std::vector<pid_t> hostPids;
    for (int h = 0; h < hosts; ++h) {
        pid_t pid = fork();
        if (pid == 0) {
            if (separate) {
                if (int error = EnterPrivateShm()) _exit(100 + std::min(error, 100));
            }
            std::vector<pid_t> pids;
            for (size_t w = h * perHost; w < (h + 1) * perHost; ++w) {
                std::vector<std::string> args = workers[w];
                args.insert(args.begin() + 3, {dir + "/ready" + std::to_string(w), gate});
                pids.push_back(Spawn(args, dir + "/out" + std::to_string(w)));
            }
            int failed = 0;
            for (pid_t p : pids) failed += WaitFor(p) != 0;
            _exit(failed ? 1 : 0);
        }
        hostPids.push_back(pid);
    }
    bool ready = false;
    for (int i = 0; i < 6000 && !ready; ++i) {
        ready = true;
        for (size_t w = 0; w < workers.size() && ready; ++w) ready = access((dir + "/ready" + std::to_string(w)).c_str(), F_OK) == 0;
        if (!ready) usleep(10000);
    }
    close(open(gate.c_str(), O_WRONLY | O_CREAT, 0644));
    int failedHosts = 0, hostError = 0;
    for (pid_t pid : hostPids) {
        int status = WaitFor(pid);
        failedHosts += status != 0;
        if (status > 100) hostError = status - 100;
    }
    if (hostError) {
        *why = "cannot give a host a /dev/shm of its own (needs root): " + std::string(strerror(hostError));
        return -1;
    }
    if (!ready || failedHosts) {
        *why = "a worker failed";
        return -1;
    }
    long long first = LLONG_MAX, last = 0, failures = 0;
    for (size_t w = 0; w < workers.size(); ++w) {
        std::ifstream in(dir + "/out" + std::to_string(w));
        long long start = 0, end = 0, failed = 0;
        if (!(in >> start >> end >> failed)) {
            *why = "a worker printed nothing";
            return -1;
        }
        first = std::min(first, start);
        last = std::max(last, end);
        failures += failed;
    }
    if (failures) {
        *why = std::to_string(failures) + " calls failed";
        return -1;
    }
    return double(last - first) / 1e9;
}

constexpr int kNumbersEach = 1000;

// GetNextId in P processes on each of H hosts.
void BM_NextIdHosts(benchmark::State& state) {
    if (!HaveServer(state)) return;
    const int hosts = int(state.range(0)), perHost = int(state.range(1));
    std::vector<std::vector<std::string>> workers(hosts * perHost, {TM_BENCH_PG_WORKER, "next", std::to_string(kNumbersEach)});
    for (auto _ : state) {
        std::string why;
        double seconds = RunWorkers(hosts, true, workers, &why);
        if (seconds < 0) return state.SkipWithError(why.c_str());
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * hosts * perHost * kNumbersEach);
}
BENCHMARK(BM_NextIdHosts)->Args({2, 1})->Args({2, 4})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The floor: the same count of numbers from an UPDATE ... RETURNING loop
// in N processes on the same server.
void BM_NextIdBareUpdate(benchmark::State& state) {
    if (!HaveServer(state)) return;
    Bare& bare = Bare::Instance();
    if (!bare.Ok()) return state.SkipWithError("the bare tables cannot be made");
    const int processes = int(state.range(0));
    std::vector<std::vector<std::string>> workers(
        processes, {TM_BENCH_PG_WORKER, "bare", std::to_string(kNumbersEach), getenv("TM_BENCH_PG_URI"), bare.Schema() + ".counter"});
    for (auto _ : state) {
        std::string why;
        double seconds = RunWorkers(1, false, workers, &why);
        if (seconds < 0) return state.SkipWithError(why.c_str());
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * processes * kNumbersEach);
}
BENCHMARK(BM_NextIdBareUpdate)->Arg(2)->Arg(8)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
