//===-- tests/platform/LoadersTest.cpp - CTmScript and CRasDial -----------===//
//
// In this process the layer's dlopen is pointed at the stand-in libraries
// of tests/plugins (or at nothing), and counts loads and unloads; the
// stand-ins record each call in a file. Other processes find their
// library beside their executable, as an installation does.
//===----------------------------------------------------------------------===//
#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

const std::string kPlugins = TM_PLUGIN_DIR;

// Which stand-in each library name finds ("" none), and what happened.
std::string g_rasVariant, g_scriptVariant;
std::atomic<int> g_loads{0}, g_unloads{0};
bool g_failUnload = false;

void* RedirectedDlopen(const char* file, int mode) {
    std::string name = file;
    const std::string& variant = name == "librasapi32.so" ? g_rasVariant : g_scriptVariant;
    if (variant.empty()) return nullptr;
    void* h = dlopen((kPlugins + "/" + variant + "/" + name).c_str(), mode);
    if (h) ++g_loads;
    return h;
}

int CountedDlclose(void* h) {
    if (g_failUnload) return -1;
    ++g_unloads;
    return dlclose(h);
}

class LoaderTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        calls_ = root_ + "/calls.log";
        setenv("TM_PLUGIN_LOG", calls_.c_str(), 1);
        g_rasVariant = g_scriptVariant = "full";
        g_loads = g_unloads = 0;
        g_failUnload = false;
        w32::Sys().dlopen = RedirectedDlopen;
        w32::Sys().dlclose = CountedDlclose;
    }
    void TearDown() override {
        unsetenv("TM_PLUGIN_LOG");
        LogTest::TearDown();
    }
    std::vector<std::string> Calls() const { return SplitLines(ReadFile(calls_)); }
    // A main-log line of this process at the fixture's time.
    static std::string Logged(char type, const std::string& text) {
        char head[64];
        snprintf(head, sizeof head, "%-8s %c 09:08:07 0x%08x ", "test_platform", type, GetCurrentThreadId());
        return head + text;
    }

    std::string calls_;
};

template <class Loader>
void ExpectOneLoadWhileAnyObjectLives(const char* library) {
    g_loads = g_unloads = 0;
    auto first = std::make_unique<Loader>();
    {
        Loader second;
        Loader copy(second);
        copy = *first;  // both counted already: nothing changes
        EXPECT_EQ(g_loads, 1) << library;
        first.reset();
        EXPECT_EQ(g_unloads, 0) << library;
        EXPECT_TRUE(copy.IsAvailable()) << library;
    }
    EXPECT_EQ(g_unloads, 1) << library << ": freed with the last object";
    Loader again;
    EXPECT_EQ(g_loads, 2) << library;
}

TEST_F(LoaderTest, OneLoadWhileAnyObjectLives) {
    ExpectOneLoadWhileAnyObjectLives<CRasDial>("RASAPI32.DLL");
    ExpectOneLoadWhileAnyObjectLives<CTmScript>("TMSCRIPT.DLL");
    EXPECT_EQ(Calls(), (std::vector<std::string>{"load rasapi32 full", "unload rasapi32 full",
                                                 "load rasapi32 full", "unload rasapi32 full",
                                                 "load tmscript full", "unload tmscript full",
                                                 "load tmscript full", "unload tmscript full"}));
    EXPECT_TRUE(MainLines().empty());
}

TEST_F(LoaderTest, RasDialForwardsArgumentsAndResults) {
    CRasDial ras;
    char book[] = "book", entryName[] = "Office";
    RASDIALPARAMSA params = {};
    snprintf(params.szEntryName, sizeof params.szEntryName, "Office");
    HRASCONN conn = nullptr;
    const HRASCONN kConn = reinterpret_cast<HRASCONN>(0x7001);
    EXPECT_EQ(ras.RasDialA(reinterpret_cast<void*>(0x10), book, &params, 2, reinterpret_cast<void*>(0x20), &conn), 602u);
    EXPECT_EQ(conn, kConn);
    EXPECT_EQ(ras.RasHangUpA(kConn), 0x7002u);
    RASCONNSTATUSA status = {};
    EXPECT_EQ(ras.RasGetConnectStatusA(kConn, &status), 0u);
    EXPECT_EQ(status.rasconnstate, RASCS_Connected);
    char text[8];
    EXPECT_EQ(ras.RasGetErrorStringA(678, text, sizeof text), 603u);
    RASCONNA conns[1] = {};
    DWORD size = sizeof conns, count = 0;
    EXPECT_EQ(ras.RasEnumConnectionsA(conns, &size, &count), 0u);
    EXPECT_EQ(count, 1u);
    RASENTRYNAMEA names[1] = {};
    size = sizeof names;
    EXPECT_EQ(ras.RasEnumEntriesA(nullptr, book, names, &size, &count), 603u);
    EXPECT_EQ(size, 2 * sizeof(RASENTRYNAMEA));
    DWORD projectionSize = 4;
    EXPECT_EQ(ras.RasGetProjectionInfoA(kConn, RASP_PppIp, &status, &projectionSize), 0x8021u);
    RASENTRYA entry = {};
    size = sizeof entry;
    EXPECT_EQ(ras.RasGetEntryPropertiesA(book, entryName, &entry, &size, nullptr, nullptr), 605u);
    EXPECT_STREQ(entry.szLocalPhoneNumber, "555 0100");
    char statusAddress[32];
    snprintf(statusAddress, sizeof statusAddress, "%p", static_cast<void*>(&status));
    EXPECT_EQ(Calls(), (std::vector<std::string>{
                           "load rasapi32 full",
                           "RasDialA 0x10 book Office 2 0x20",
                           "RasHangUpA 0x7001",
                           "RasGetConnectStatusA 0x7001",
                           "RasGetErrorStringA 678 8",
                           "RasEnumConnectionsA " + std::to_string(sizeof conns),
                           "RasEnumEntriesA (null) book " + std::to_string(sizeof names),
                           "RasGetProjectionInfoA 0x7001 0x8021 " + std::string(statusAddress) + " 4",
                           "RasGetEntryPropertiesA book Office " + std::to_string(sizeof entry) + " (nil) 0",
                       }));
}

TEST_F(LoaderTest, TmScriptForwardsArgumentsAndResults) {
    const std::string file = root_ + "/script.txt";
    for (const char* variant : {"full", "no-reset"}) {
        g_scriptVariant = variant;
        unlink(calls_.c_str());
        CTmScript engine;
        EXPECT_TRUE(engine.IsAvailable());
        void* script = engine.CreateScript();
        ASSERT_NE(script, nullptr);
        const char* error = nullptr;
        int line = 0, column = 0, code = 0;
        std::string name = file, mode = "w";
        EXPECT_EQ(engine.ParseScript(script, "dial office"), 11);
        EXPECT_EQ(engine.GetError(script, &error, &line, &column, &code), 22);
        EXPECT_STREQ(error, "unexpected end of script");
        EXPECT_EQ(line * 10000 + column * 10 + code, 30000 + 140 + 1001);
        EXPECT_EQ(engine.RunScript(reinterpret_cast<HWND>(0x4242), script), 0x4242);
        EXPECT_EQ(engine.ResetScript(script), std::string(variant) == "full" ? 23 : 0);
        EXPECT_EQ(engine.AsyncResult(nullptr, script, 40, "done", 2), 42);
        engine.FreeBuffer(reinterpret_cast<void*>(0x99));
        FILE* fp = engine.FileOpen(name.data(), mode.data(), 7);
        ASSERT_NE(fp, nullptr);
        engine.FileClose(fp);
        EXPECT_EQ(engine.CloseScript(script), 21);
        std::vector<std::string> expected = {
            std::string("load tmscript ") + variant, "CreateScript", "ParseScript 1 dial office",
            "GetError 1", "RunScript 0x4242 1", "ResetScript 1", "AsyncResult (nil) 1 40 done 2",
            "FreeBuffer 0x99", "FileOpen " + file + " w 7", "FileClose", "CloseScript 1"};
        if (std::string(variant) != "full") expected.erase(expected.begin() + 5);
        EXPECT_EQ(Calls(), expected) << variant;
    }
    EXPECT_TRUE(MainLines().empty()) << "the script engine's loader logs no missing entry point";
}

// Without the library every member returns 0 and calls nothing, also after
// a library that was loaded before has been freed.
TEST_F(LoaderTest, AbsentLibrariesLogEachLoadAttempt) {
    { CRasDial loaded; CTmScript engine; }
    g_rasVariant = g_scriptVariant = "";
    for (int attempt = 0; attempt < 2; ++attempt) {
        CRasDial ras, second;
        CTmScript engine, other;
        EXPECT_FALSE(ras.IsAvailable());
        EXPECT_FALSE(engine.IsAvailable());
        HRASCONN conn = nullptr;
        DWORD size = 0, count = 0;
        char buffer[16] = "untouched";
        const DWORD kRasResults[] = {
            ras.RasDialA(nullptr, nullptr, nullptr, 0, nullptr, &conn), ras.RasHangUpA(conn),
            ras.RasGetConnectStatusA(conn, nullptr), ras.RasGetErrorStringA(1, buffer, sizeof buffer),
            ras.RasEnumConnectionsA(nullptr, &size, &count), ras.RasEnumEntriesA(nullptr, nullptr, nullptr, &size, &count),
            ras.RasGetProjectionInfoA(conn, RASP_PppIp, nullptr, &size),
            ras.RasGetEntryPropertiesA(nullptr, nullptr, nullptr, &size, nullptr, nullptr)};
        for (DWORD result : kRasResults) EXPECT_EQ(result, 0u);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(engine.CreateScript(), nullptr);
        const int kScriptResults[] = {
            engine.CloseScript(buffer), engine.ParseScript(buffer, "x"),
            engine.GetError(buffer, nullptr, nullptr, nullptr, nullptr), engine.RunScript(nullptr, buffer),
            engine.ResetScript(buffer), engine.AsyncResult(nullptr, buffer, 1, "x", 1)};
        for (int result : kScriptResults) EXPECT_EQ(result, 0);
        engine.FreeBuffer(buffer);
        engine.FileClose(nullptr);
        EXPECT_EQ(engine.FileOpen(buffer, buffer, 0), nullptr);
    }
    EXPECT_EQ(Calls(), (std::vector<std::string>{"load rasapi32 full", "load tmscript full",
                                                 "unload tmscript full", "unload rasapi32 full"}));
    const std::string ras = Logged('E', "Unable to load RASAPI32.DLL, system error 126");
    const std::string script = Logged('E', "Unable to load TMSCRIPT.DLL, system error 126");
    EXPECT_EQ(MainLines(), (std::vector<std::string>{ras, script, ras, script}));
}

TEST_F(LoaderTest, FailedFreeIsReportedAndTheClassStillResets) {
    void* leaked = nullptr;
    {
        CRasDial ras;
        leaked = dlopen((kPlugins + "/full/librasapi32.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        g_failUnload = true;
    }
    g_failUnload = false;
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string head = Logged('!', "System error 0x1f at line ");
    EXPECT_EQ(lines[0].substr(0, head.size()), head);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 11), " of RasDial");
    CRasDial again;  // unloaded, so it loads anew
    EXPECT_EQ(g_loads, 2);
    EXPECT_TRUE(again.IsAvailable());
    dlclose(leaked);  // the NOLOAD reference
    dlclose(leaked);  // and the one the failed free left
}

std::atomic<bool> g_throwOnLookup{false};
void* ThrowingDlsym(void* h, const char* name) {
    if (g_throwOnLookup && strcmp(name, "RasGetErrorStringA") == 0) throw std::runtime_error("lookup");
    return dlsym(h, name);
}

TEST_F(LoaderTest, ExceptionWhileLoadingLeavesNothingLoaded) {
    w32::Sys().dlsym = ThrowingDlsym;
    g_throwOnLookup = true;
    EXPECT_THROW(CRasDial ras, std::runtime_error);
    EXPECT_EQ(g_loads, 1);
    EXPECT_EQ(g_unloads, 1) << "freed, since no object counts it";
    g_throwOnLookup = false;
    {
        CRasDial ras;
        EXPECT_TRUE(ras.IsAvailable());
        EXPECT_EQ(g_loads, 2) << "the count was not raised by the failed object";
    }
    EXPECT_EQ(g_unloads, 2);
}

TEST_F(LoaderTest, ThreadsKeepTheCountRight) {
    unsetenv("TM_PLUGIN_LOG");
    std::atomic<int> unavailable{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&unavailable, t] {
            for (int i = 0; i < 150; ++i) {
                CRasDial ras;
                CTmScript engine;
                CRasDial copy(ras);
                if (!copy.IsAvailable() || ras.RasHangUpA(reinterpret_cast<HRASCONN>(uintptr_t(t))) != uintptr_t(t) + 1 ||
                    !engine.IsAvailable() || engine.ResetScript(nullptr) != 23) {
                    ++unavailable;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(unavailable, 0);
    EXPECT_GE(g_loads, 2);
    EXPECT_EQ(g_loads, g_unloads) << "every load freed with its last object";
}

// Other processes: the library is the one beside the executable.
TEST(LoaderProcessTest, VariantsBesideTheProgram) {
    struct Case { const char* command; const char* variant; const char* out; const char* logged; };
    const Case kCases[] = {
        {"ras", "full", "available=1 dial=601 props=605\n", ""},
        {"ras", "no-rasdial", "available=1 dial=0 props=605\n", "! Unable to locate RasDialA in RASAPI32.DLL"},
        {"ras", "no-entry-properties", "available=1 dial=601 props=0\n", ""},
        {"ras", "", "available=0 dial=0 props=0\n", "E Unable to load RASAPI32.DLL, system error 126"},
        {"script", "full", "available=1 create=1 reset=23\n", ""},
        {"script", "no-reset", "available=1 create=1 reset=0\n", ""},
        {"script", "", "available=0 create=0 reset=0\n", "E Unable to load TMSCRIPT.DLL, system error 126"},
    };
    int n = 0;
    for (const Case& c : kCases) {
        std::string label = std::string(c.command) + "/" + c.variant;
        std::string dir = MakeDir("variant" + std::to_string(++n));
        MakeDir("variant" + std::to_string(n) + "/log");
        std::filesystem::copy_file(HelperPath("platform_probe"), dir + "/platform_probe");
        if (*c.variant) {
            std::string lib = std::string(c.command) == "ras" ? "/librasapi32.so" : "/libtmscript.so";
            std::filesystem::copy_file(kPlugins + "/" + c.variant + lib, dir + lib);
        }
        ProcessResult r = RunProgram(dir + "/platform_probe", {c.command});
        EXPECT_EQ(r.out, c.out) << label << r.err;
        std::vector<std::string> lines;
        for (auto& e : std::filesystem::directory_iterator(dir + "/log")) {
            for (const std::string& line : SplitLines(ReadFile(e.path()))) lines.push_back(line);
        }
        // One line per load, though two objects were made: the type
        // character, then after the time and the thread the text.
        ASSERT_EQ(lines.size(), *c.logged ? 1u : 0u) << label;
        if (lines.empty()) continue;
        std::string type = std::string("platform_probe ") + c.logged[0] + " ";
        std::string text = c.logged + 1;
        EXPECT_EQ(lines[0].substr(0, type.size()), type) << lines[0];
        EXPECT_EQ(lines[0].substr(lines[0].size() - text.size()), text) << lines[0];
    }
}

}  // namespace
}  // namespace tmtest
