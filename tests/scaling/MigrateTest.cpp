//===-- tests/scaling/MigrateTest.cpp - tmctl reg migrate between stores --===//
//
// A registry moved from a database file to a PostgreSQL schema and back
// is the same registry; what cannot be migrated is refused before
// anything is written.
//===----------------------------------------------------------------------===//
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tmwin32.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args, const std::string& location = {}) {
    return RunProgram(TmctlPath(), args, location.empty() ? std::vector<std::string>{} : std::vector<std::string>{"TAMARAK_REGISTRY=" + location});
}

// registry_worker's output for the commands, run at a location.
std::string Worker(const std::string& location, const std::string& command) {
    ProcessResult r = RunProgram(HelperPath("registry_worker"), {command}, {"TAMARAK_REGISTRY=" + location});
    EXPECT_EQ(0, r.exitCode) << r.err;
    return r.out;
}

class MigrateTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UsingPostgres()) GTEST_SKIP() << "a migration needs the PostgreSQL store (TM_TEST_STORE=postgresql)";
        m_dir = MakeDir("migrate");
        m_file = m_dir + "/source.db";
        ASSERT_EQ(ERROR_SUCCESS, TmRegCreateRegistry(m_file.c_str()));
        ASSERT_EQ("0\n", Worker(m_file, "fill:Software\\Migrate"));
    }
    std::string m_dir, m_file;
};

// SQLite -> PostgreSQL -> SQLite: the dump of every root and the exact
// snapshot (names, order, types, bytes, restrictions) are those of the
// source at each step; volatile keys belong to the boot of the host that
// made them and are left behind.
TEST_F(MigrateTest, FileToServerAndBackKeepsEverything) {
    const std::string server = NewRegistryLocation("migrated"), back = m_dir + "/back.db";
    ASSERT_FALSE(server.empty());
    const std::string snapshot = Worker(m_file, "snapshot");
    ASSERT_EQ("0\n", Worker(m_file, "volatile:Software\\Migrate\\Fleeting"));
    ProcessResult r = Tmctl({"reg", "migrate", m_file, server});
    ASSERT_EQ(0, r.exitCode) << r.err;
    r = Tmctl({"reg", "migrate", server, back});
    ASSERT_EQ(0, r.exitCode) << r.err;
    ASSERT_EQ("0\n", Worker(m_file, "deletekey:Software\\Migrate\\Fleeting"));
    for (const char* root : {"HKLM", "HKCU", "HKCR", "HKU"}) {
        SCOPED_TRACE(root);
        const ProcessResult source = Tmctl({"reg", "dump", root}, m_file);
        ASSERT_EQ(0, source.exitCode) << source.err;
        EXPECT_EQ(source.out, Tmctl({"reg", "dump", root}, server).out);
        EXPECT_EQ(source.out, Tmctl({"reg", "dump", root}, back).out);
        EXPECT_NE(std::string::npos, source.out.find("Zeta (REG_SZ) : last name, first made")) << source.out.substr(0, 500);
    }
    // The snapshot sees what was filled: the restricted key, the 200 KiB
    // value, the value without a terminator.
    for (const char* part : {"\\Locked write=5", "type 3 size 204800 ", " type 1 size 3 616263\n"})
        EXPECT_NE(std::string::npos, snapshot.find(part)) << part;
    EXPECT_EQ(snapshot, Worker(server, "snapshot"));
    EXPECT_EQ(snapshot, Worker(back, "snapshot"));
}

// A schema of the first layout (each value's key a foreign key, one more
// index) is brought to today's by the first process that uses it, with
// everything in it; a key deleted afterwards takes its values along.
TEST_F(MigrateTest, AnEarlierLayoutIsUpgradedInPlace) {
    const std::string server = NewRegistryLocation("layout1");
    ASSERT_FALSE(server.empty());
    ASSERT_EQ(0, Tmctl({"reg", "migrate", m_file, server}).exitCode);
    const std::string s = server.substr(server.find("&schema=") + 8), snapshot = Worker(server, "snapshot");
    ASSERT_EQ("", ServerQuery("ALTER TABLE " + s + ".vals DROP CONSTRAINT vals_pkey, ADD PRIMARY KEY (id),"
                              " ADD CONSTRAINT vals_key_fkey FOREIGN KEY (key) REFERENCES " + s + ".keys(id) ON DELETE CASCADE;"
                              " CREATE INDEX vals_by_order ON " + s + ".vals(key, id);"
                              " UPDATE " + s + ".meta SET value = '1' WHERE name = 'layout'"));
    EXPECT_EQ(snapshot, Worker(server, "snapshot"));
    EXPECT_EQ("2|0|1\n", ServerQuery("SELECT value, (SELECT count(*) FROM pg_constraint WHERE conname = 'vals_key_fkey'"
                                     " AND connamespace = '" + s + "'::regnamespace), (SELECT count(*) FROM pg_index i"
                                     " WHERE i.indrelid = '" + s + ".vals'::regclass AND i.indisprimary AND i.indnatts = 2)"
                                     " FROM " + s + ".meta WHERE name = 'layout'"));
    EXPECT_EQ("0\n", Worker(server, "set:Software\\Migrate\\Gone:V:1"));
    EXPECT_EQ("0\n", Worker(server, "deletekey:Software\\Migrate\\Gone"));
    EXPECT_EQ("0\n", ServerQuery("SELECT count(*) FROM " + s + ".vals v WHERE NOT EXISTS"
                                 " (SELECT 1 FROM " + s + ".keys k WHERE k.id = v.key)"));
}

// Usage errors give 2; a source that does not exist, a destination that
// already holds keys, or one that cannot be used give 1 and change
// nothing. A password in a location is never shown.
TEST_F(MigrateTest, RefusesWhatCannotBeMigrated) {
    const std::string used = NewRegistryLocation("used"), fresh = NewRegistryLocation("fresh");
    ASSERT_EQ(0, Tmctl({"reg", "migrate", m_file, used}).exitCode);
    const std::string usedBefore = Worker(used, "snapshot");
    const std::string withPassword = "postgresql://tmreg:Secret42@/tmreg?host=/nonexistent/socket&password=Secret42&schema=p";
    struct Case { std::vector<std::string> args; int exitCode; const char* says; };
    const Case cases[] = {
        {{m_file}, 2, "usage"},
        {{m_file, used, "extra"}, 2, "usage"},
        {{m_file, m_file}, 2, "same location"},
        {{m_dir + "/missing.db", fresh}, 1, "missing.db"},
        {{m_file, used}, 1, "_used"},
        {{withPassword, fresh}, 1, "tmreg@"},
        {{m_file, withPassword}, 1, "tmreg@"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"reg", "migrate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args.back());
        const ProcessResult r = Tmctl(args);
        EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("Secret42")) << r.err;
    }
    EXPECT_FALSE(FileExists(m_dir + "/missing.db")) << "a missing source was made";
    EXPECT_EQ(usedBefore, Worker(used, "snapshot")) << "a refused migration changed its destination";
    // The destinations that were refused are still empty: a migration to
    // them works.
    EXPECT_EQ(0, Tmctl({"reg", "migrate", m_file, fresh}).exitCode);
    EXPECT_EQ(usedBefore, Worker(fresh, "snapshot"));
}

// tmctl env names the store and the location, never a password.
TEST_F(MigrateTest, EnvShowsTheStoreInUse) {
    const std::string server = NewRegistryLocation("env");
    const std::string withPassword = "postgresql://tmreg:Secret42@" + server.substr(strlen("postgresql://"));
    struct Case { std::string location; const char* store; };
    const Case cases[] = {{m_file, "sqlite"}, {server, "postgresql"}, {withPassword, "postgresql"}};
    for (const Case& c : cases) {
        const ProcessResult r = Tmctl({"env"}, c.location);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(std::string("registry store: ") + c.store + "\n")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("registry:       " + c.location.substr(0, 12))) << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("Secret42")) << r.out;
    }
}

}  // namespace
}  // namespace tmtest
