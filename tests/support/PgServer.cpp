//===-- tests/support/PgServer.cpp - A private PostgreSQL server for tests -===//
#include "support/PgServer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <iterator>
#include <sstream>
#include <vector>

namespace tmtest {
namespace {

constexpr int kPort = 5432;
constexpr char kRole[] = "tmreg";

bool HasTools(const std::string& dir) {
    for (const char* tool : {"initdb", "pg_ctl", "postgres"}) {
        if (access((dir + "/" + tool).c_str(), X_OK) != 0) return false;
    }
    return true;
}

// The directory of the server programs, or "": $TM_PG_BINDIR, else the
// newest version's.
std::string FindBinDir() {
    if (const char* dir = getenv("TM_PG_BINDIR"); dir && *dir) return HasTools(dir) ? dir : "";
    std::string best;
    long bestVersion = -1;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        long version = atol(entry.path().filename().c_str());
        if (version > bestVersion && HasTools(entry.path().string() + "/bin")) {
            best = entry.path().string() + "/bin", bestVersion = version;
        }
    }
    return best;
}

// Whom the server runs as: this user, or "nobody" when this is root.
bool ServerUser(uid_t* uid, gid_t* gid, std::string* why) {
    const passwd* pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (geteuid() == 0 && !pw) *why = "running as root, and there is no user 'nobody' to run the server as";
    *uid = pw ? pw->pw_uid : geteuid();
    *gid = pw ? pw->pw_gid : getegid();
    return geteuid() != 0 || pw;
}

std::string Tail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > 1500 ? "..." + text.substr(text.size() - 1500) : text;
}

std::string Quote(std::string text) {
    for (size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 2) text.insert(at, 1, '\'');
    return "'" + text + "'";
}

}  // namespace

std::string UniqueSchemaName() {
    std::random_device device;
    char name[64];
    snprintf(name, sizeof name, "t%d_%08x", static_cast<int>(getpid()), static_cast<unsigned>(device()));
    return name;
}

PgServer::~PgServer() {
    if (m_owned) Stop();
}

std::string PgServer::Uri() const {
    return "postgresql:///" + std::string(kRole) + "?host=" + m_dir + "&port=" + std::to_string(kPort) + "&user=" + kRole;
}

std::string PgServer::ConnInfo() const {
    return "host=" + m_dir + " port=" + std::to_string(kPort) + " user=" + kRole + " dbname=" + kRole +
           " connect_timeout=10";
}

// Runs one of the server's programs as the server's user, its output
// appended to the directory's tool.log. The program gets no descriptor
// of ours but its log: a server that pg_ctl leaves running must not hold
// the pipe that ctest reads our output from.
bool PgServer::RunTool(const std::string& tool, const std::string& args, std::string* why) const {
    uid_t uid;
    gid_t gid;
    std::string reason;
    if (!ServerUser(&uid, &gid, why ? why : &reason)) return false;
    const std::string log = m_dir + "/tool.log";
    // The arguments go through no shell; they are split at spaces, and no
    // path of ours holds one.
    std::vector<std::string> words = {m_binDir + "/" + tool};
    std::istringstream in(args);
    for (std::string word; in >> word;) words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string path = "PATH=" + m_binDir + ":/usr/bin:/bin", home = "HOME=" + m_dir;
    char lcAll[] = "LC_ALL=C";
    char* envp[] = {path.data(), home.data(), lcAll, nullptr};
    const bool root = geteuid() == 0;
    pid_t pid = fork();
    if (pid < 0) {
        if (why) *why = "fork: " + std::string(strerror(errno));
        return false;
    }
    if (pid == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), null = open("/dev/null", O_RDONLY);
        if (out < 0 || null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
        closefrom(3);
        if (root && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
        if (chdir(m_dir.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (why) *why = tool + " " + args + " failed:\n" + Tail(log) + Tail(m_dir + "/server.log");
    return false;
}

bool PgServer::Start(std::string* why) {
    // Nothing is left behind when a step fails.
    auto fail = [&](const std::string& reason) {
        if (!reason.empty()) *why = reason;
        Stop();
        return false;
    };
    m_binDir = FindBinDir();
    if (m_binDir.empty()) {
        return fail("no PostgreSQL server programs (initdb, pg_ctl, postgres) in $TM_PG_BINDIR or /usr/lib/postgresql/*/bin");
    }
    uid_t uid;
    gid_t gid;
    if (!ServerUser(&uid, &gid, why)) return false;
    char dir[] = "/tmp/tmpg.XXXXXX";
    if (!mkdtemp(dir)) return fail("mkdtemp: " + std::string(strerror(errno)));
    m_dir = dir;
    m_owned = true;
    if (geteuid() == 0 && chown(dir, uid, gid) != 0) return fail("chown " + m_dir + ": " + strerror(errno));
    const std::string data = m_dir + "/data";
    // -N: no fsync of the new cluster; fsync off below: a test server that
    // crashes loses nothing a test needs, and the tests run much faster.
    if (!RunTool("initdb", "-D " + data + " -U postgres -A trust -E UTF8 --locale=C -N", why)) return fail("");
    std::ofstream conf(data + "/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\nunix_socket_directories = '" << m_dir << "'\nport = " << kPort
         << "\nfsync = off\nmax_connections = 300\n" << m_settings;
    conf.close();
    if (!conf) return fail("cannot write " + data + "/postgresql.conf");
    if (!RunTool("pg_ctl", "-D " + data + " -l " + m_dir + "/server.log -w -t 60 start", why)) return fail("");
    const std::string admin = "host=" + m_dir + " port=" + std::to_string(kPort) + " user=postgres dbname=postgres";
    PGconn* conn = PQconnectdb(admin.c_str());
    std::string error = PQstatus(conn) != CONNECTION_OK ? PQerrorMessage(conn) : "";
    for (const std::string& sql : {std::string("CREATE ROLE ") + kRole + " LOGIN",
                                   std::string("CREATE DATABASE ") + kRole + " OWNER " + kRole}) {
        if (!error.empty()) break;
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK) error = sql + ": " + PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(conn);
    return error.empty() || fail("setting up the server: " + error);
}

bool PgServer::Attach(const std::string& stateFile, std::string* why) {
    std::ifstream in(stateFile);
    std::string line, reason = in ? "the server state in " + stateFile + " is incomplete" : "no server state in " + stateFile;
    bool unavailable = false;
    while (std::getline(in, line)) {
        if (line.starts_with("dir=")) m_dir = line.substr(4);
        if (line.starts_with("bindir=")) m_binDir = line.substr(7);
        if (line.starts_with("unavailable=")) reason = line.substr(12), unavailable = true;
    }
    if (unavailable || m_dir.empty() || m_binDir.empty()) {
        *why = reason;
        m_dir.clear();
        return false;
    }
    m_owned = false;
    return true;
}

bool PgServer::WriteState(const std::string& stateFile) const {
    std::ofstream out(stateFile, std::ios::trunc);
    out << "dir=" << m_dir << "\nbindir=" << m_binDir << "\nuri=" << Uri() << "\n";
    return bool(out);
}

bool PgServer::WriteUnavailable(const std::string& stateFile, const std::string& why) {
    std::string oneLine = why;
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    std::ofstream out(stateFile, std::ios::trunc);
    out << "unavailable=" << oneLine << "\n";
    return bool(out);
}

bool PgServer::Stop(std::string* why) {
    if (m_dir.empty()) return true;
    bool ok = true;
    if (access((m_dir + "/data/postmaster.pid").c_str(), F_OK) == 0) {
        ok = RunTool("pg_ctl", "-D " + m_dir + "/data -m immediate -w -t 60 stop", why);
    }
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    m_dir.clear();
    m_owned = false;
    return ok;
}

bool PgServer::Restart(std::string* why) {
    return RunTool("pg_ctl", "-D " + m_dir + "/data -l " + m_dir + "/server.log -m fast -w -t 60 restart", why);
}

std::string PgServer::Exec(const std::string& sql, std::string* rows) const {
    PGconn* conn = PQconnectdb(ConnInfo().c_str());
    std::string error;
    if (PQstatus(conn) != CONNECTION_OK) {
        error = PQerrorMessage(conn);
    } else {
        // The server's notices (a DROP ... CASCADE lists all it drops)
        // would fill the tests' output.
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) error = PQresultErrorMessage(r);
        for (int row = 0; rows && row < PQntuples(r); ++row) {
            for (int col = 0; col < PQnfields(r); ++col) *rows += (col ? "|" : "") + std::string(PQgetvalue(r, row, col));
            *rows += "\n";
        }
        PQclear(r);
    }
    PQfinish(conn);
    return error;
}

std::string PgServer::DropSchemas(const std::string& prefix) const {
    // A process a test left running may still hold a lock in a schema:
    // give up after a while rather than hang the run.
    return Exec("SET lock_timeout = '10s'; DO $$ DECLARE s text; BEGIN "
                "FOR s IN SELECT nspname FROM pg_namespace WHERE starts_with(nspname, " + Quote(prefix) + ") LOOP "
                "EXECUTE format('DROP SCHEMA %I CASCADE', s); END LOOP; END $$");
}

}  // namespace tmtest
