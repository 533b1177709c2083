//===-- tests/platform/ProcessEnvTest.cpp - The process environment -----===//
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <map>

#include "platform/ProcessEnv.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

// What tm_probe reports of its environment.
std::map<std::string, std::string> ProbeEnv(const std::vector<std::string>& env = {}) {
    ProcessResult r = RunProgram(HelperPath("tm_probe"), {"env"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> values;
    for (const std::string& line : SplitLines(r.out)) {
        size_t eq = line.find('=');
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

TEST(ProcessEnvTest, RootPathComesFromTheRegistry) {
    std::string helperDir = HelperPath("");
    helperDir.pop_back();
    std::string tooLong = "/" + std::string(300, 'r');
    struct Case { const char* value; std::string root; };
    const Case kCases[] = {
        {"/srv/tamarak", "/srv/tamarak"},
        {"/srv/tamarak/", "/srv/tamarak"},
        {"/srv/tamarak//", "/srv/tamarak/"},  // only one separator is cut
        {"C:\\Tamarak\\", "C:\\Tamarak"},
        {"", helperDir},               // empty: the executable's directory
        {nullptr, helperDir},          // missing: the same
        {tooLong.c_str(), helperDir},  // does not fit: not used
    };
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE, 0), 0);
    for (const Case& c : kCases) {
        if (c.value) ASSERT_EQ(reg.SetValue("RootPath", c.value), 0);
        else reg.DeleteValue("RootPath");
        EXPECT_EQ(ProbeEnv()["root"], c.root) << (c.value ? c.value : "(missing)");
    }
}

// A program that chooses its registry before any other call gets that
// registry's values, root path, log directory and named objects; the
// probes' environment names this program's registry, whose values differ.
TEST(ProcessEnvTest, RegistryChosenFirstDecidesTheInstallation) {
    const std::string chosen = SandboxDir() + "/chosen.db", missing = SandboxDir() + "/mistyped/registry.db";
    const std::string chosenLogs = MakeDir("chosen-logs"), probe = HelperPath("tm_probe");
    ASSERT_EQ(TmRegCreateRegistry(chosen.c_str()), ERROR_SUCCESS);
    RememberRegistryLocation(chosen);
    const std::vector<std::string> inChosen = {"TAMARAK_LOG_DIR", "TAMARAK_REGISTRY=" + chosen};
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"Marker", "chosen"}, {"RootPath", "/srv/chosen"},
                                      {"LogDirectory", chosenLogs}})
        ASSERT_EQ(RunProgram(probe, {"put", name, value}, inChosen).exitCode, 0) << name;
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE, 0), 0);
    ASSERT_EQ(reg.SetValue("Marker", "own") + reg.SetValue("RootPath", "/srv/own"), 0);
    reg.DeleteValue("LogDirectory");
    // The chosen installation's mutex is held, so a wait on it in a
    // process of that installation times out.
    const std::string held = SandboxDir() + "/chosen-holder.out";
    pid_t holder = StartProgram(HelperPath("kobj_peer"), {"mutex-hold", TM_INSTALL_MUTEX_NAME}, inChosen, held);
    ASSERT_TRUE(WaitForText(held, "held 0\n")) << ReadFile(held);
    std::string helperDir = HelperPath("");
    helperDir.pop_back();
    struct Case { std::vector<std::string> choice; std::string marker, root, wait; bool logsChosen; };
    const Case kCases[] = {
        {{"--registry", chosen}, "chosen", "/srv/chosen", "0x102", true},
        {{}, "own", "/srv/own", "0x0", false},
        {{"--registry", ""}, "own", "/srv/own", "0x0", false},  // back to the environment
        // Not made by being chosen: every registry call fails.
        {{"--registry", missing}, "error 1011", helperDir, "0x0", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.choice.empty() ? "(no choice)" : "'" + c.choice[1] + "'");
        std::string out;
        for (std::vector<std::string> args : {std::vector<std::string>{"query", "Marker"}, {"env"}, {"wait-mutex", TM_INSTALL_MUTEX_NAME, "0"}}) {
            args.insert(args.begin(), c.choice.begin(), c.choice.end());
            ProcessResult r = RunProgram(probe, args, {"TAMARAK_LOG_DIR"});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            out += r.out;
        }
        const std::string set = c.choice.empty() ? "" : "set=0\n";
        EXPECT_EQ(out.rfind(set + c.marker + "\n" + set + "root=" + c.root + "\n", 0), 0u) << out;
        EXPECT_EQ(out.find("logdir=" + chosenLogs) != std::string::npos, c.logsChosen) << out;
        EXPECT_EQ(out.substr(out.size() - set.size() - c.wait.size() - 1), set + c.wait + "\n") << out;
    }
    EXPECT_FALSE(FileExists(missing));
    kill(holder, SIGKILL);
    WaitProgram(holder);
}

// This program has used its registry: another one can no longer be
// chosen, and the one in use can be named again in any spelling.
TEST(ProcessEnvTest, RegistryInUseCannotBeChangedAnyMore) {
    char root[256];
    GetRootPath(root, sizeof root);
    const std::string own = getenv("TAMARAK_REGISTRY");
    const std::string shown = TmRegistryPath();
    struct Case { const char* location; LONG result; };
    std::string other = SandboxDir() + "/other.db";
    std::string respelled = own;
    if (!UsingPostgres()) respelled.insert(respelled.rfind('/'), "/.");
    const Case kCases[] = {
        {own.c_str(), ERROR_SUCCESS},   {respelled.c_str(), ERROR_SUCCESS},
        {nullptr, ERROR_SUCCESS},       {"", ERROR_SUCCESS},
        {other.c_str(), ERROR_BUSY},    {"postgresql://elsewhere/tamarak", ERROR_BUSY},
        {"relative.db", ERROR_BUSY},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(TmSetRegistryPath(c.location), c.result) << (c.location ? c.location : "(null)");
        EXPECT_EQ(TmRegistryPath(), shown) << (c.location ? c.location : "(null)");
    }
    CRegistry reg;
    EXPECT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE, 0), 0) << "still the same registry";
    EXPECT_FALSE(FileExists(other));
}

TEST(ProcessEnvTest, VersionOfBothPlatformsAndTheRootPathCut) {
    struct Case { std::vector<std::string> env; const char* start; std::string end; const char* flags; size_t size; };
    const Case kCases[] = {
        {{"TAMARAK_TEST_CSD_VERSION=Service Pack 6a"}, "Windows NT (intel) ", " Service Pack 6a", "161", 0},
        {{"TAMARAK_TEST_PLATFORM_ID=1", "TAMARAK_TEST_CSD_VERSION= A "}, "Windows 95 ", "", "000", 0},  // no digit
        {{"TAMARAK_TEST_CSD_VERSION=" + std::string(120, 'x') + " 3"}, "Windows NT", "", "131", 127},  // cut to the buffer
    };
    for (const Case& c : kCases) {
        auto v = ProbeEnv(c.env);
        EXPECT_EQ(v["version"].rfind(c.start, 0), 0u) << v["version"];
        EXPECT_EQ(v["version"].substr(v["version"].size() - c.end.size()), c.end) << v["version"];
        EXPECT_EQ(v["nt"] + v["csd"] + v["opensa"], c.flags) << v["version"];
        EXPECT_EQ(c.size ? v["version"].size() : 0, c.size);
    }
    snprintf(g_szRootPath, sizeof g_szRootPath, "/opt/tamarak");
    struct Cut { int size; const char* text; int result; };
    for (const Cut& c : {Cut{1, "", 0}, Cut{4, "/op", 3}, Cut{13, "/opt/tamarak", 12}, Cut{100, "/opt/tamarak", 12}}) {
        char buffer[128];
        memset(buffer, 0xBD, sizeof buffer);
        EXPECT_EQ(GetRootPath(buffer, c.size), c.result) << c.size;
        EXPECT_STREQ(buffer, c.text) << c.size;
        EXPECT_EQ(static_cast<unsigned char>(buffer[c.result + 1]), 0xBD) << c.size;
    }
    char untouched = 'u';
    EXPECT_EQ(GetRootPath(&untouched, 0), 0);
    EXPECT_EQ(untouched, 'u');
}

// A list view of five items, stood in for by a window procedure.
unsigned g_selected = 0;
int g_items = 0;
LRESULT ListView(HWND, UINT msg, WPARAM, LPARAM l) {
    if (msg == LVM_GETITEMCOUNT) return g_items;
    auto* item = reinterpret_cast<LVITEMA*>(l);
    if (msg != LVM_GETITEMA || item->mask != LVIF_STATE || item->stateMask != LVIS_SELECTED) return 0;
    item->state = (g_selected >> item->iItem) & 1 ? LVIS_SELECTED : 0;
    return TRUE;
}

TEST(ProcessEnvTest, SelectedIndexIsTheLowestSelectedItem) {
    CWnd list(reinterpret_cast<HWND>(0x5150));
    TmRegisterWindowProc(list.m_hWnd, ListView);
    struct Case { int items; unsigned selected; int index; };
    const Case kCases[] = {{0, 0, -1}, {5, 0, -1}, {5, 0b10100, 2}, {5, 1, 0}, {3, 0b1000, -1}};
    for (const Case& c : kCases) {
        g_items = c.items;
        g_selected = c.selected;
        EXPECT_EQ(GetSelectedIndex(&list), c.index) << c.items << "/" << c.selected;
    }
    EXPECT_EQ(GetSelectedIndex(nullptr), -1);
    TmRegisterWindowProc(list.m_hWnd, nullptr);
}

// Another process of the installation opens the mutex this process made at
// first use; a holder that dies leaves it abandoned once, then free.
TEST(ProcessEnvTest, InstallationMutexIsSharedAndSurvivesAKilledOwner) {
    ASSERT_NE(g_ProcessEnv.InstallMutex(), nullptr);
    const std::string peer = HelperPath("kobj_peer"), out = SandboxDir() + "/holder.out";
    EXPECT_EQ(RunProgram(peer, {"mutex-wait", TM_INSTALL_MUTEX_NAME, "0", "0"}).out, "wait 0\nreleased 1\n");
    pid_t holder = StartProgram(peer, {"mutex-hold", TM_INSTALL_MUTEX_NAME}, {}, out);
    ASSERT_TRUE(WaitForText(out, "held 0\n")) << ReadFile(out);
    EXPECT_EQ(WaitForSingleObject(g_ProcessEnv.m_hInstallMutex, 0), WAIT_TIMEOUT);
    kill(holder, SIGKILL);
    WaitProgram(holder);
    EXPECT_EQ(WaitForSingleObject(g_ProcessEnv.m_hInstallMutex, 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(g_ProcessEnv.m_hInstallMutex));
    EXPECT_EQ(RunProgram(peer, {"mutex-wait", TM_INSTALL_MUTEX_NAME, "5000", "0"}).out, "wait 0\nreleased 1\n");
}

}  // namespace
}  // namespace tmtest
