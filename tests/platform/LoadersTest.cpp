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

#include "logging/LogFixture.h"

namespace tmtest {
namespace {

const std::string kPlugins = TM_PLUGIN_DIR;

// Which stand-in each library name finds ("" none), and what happened.
std::string g_rasVariant, g_scriptVariant;
std::atomic<int> g_loads{0}, g_unloads{0};
bool g_failUnload = false;
std::atomic<bool> g_throwOnLookup{false};

void* RedirectedDlopen(const char* file, int mode) {
    const std::string& variant = std::string(file) == "librasapi32.so" ? g_rasVariant : g_scriptVariant;
    void* h = variant.empty() ? nullptr : dlopen((kPlugins + "/" + variant + "/" + file).c_str(), mode);
    if (h) ++g_loads;
    return h;
}

int CountedDlclose(void* h) {
    if (g_failUnload) return -1;
    ++g_unloads;
    return dlclose(h);
}

void* ThrowingDlsym(void* h, const char* name) {
    if (g_throwOnLookup && strcmp(name, "RasGetErrorStringA") == 0) throw std::runtime_error("lookup");
    return dlsym(h, name);
}

class LoaderTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        calls_ = root_ + "/calls.log";
        setenv("TM_PLUGIN_LOG", calls_.c_str(), 1);
        g_rasVariant = g_scriptVariant = "full";
        g_loads = g_unloads = 0;
        w32::Sys().dlopen = RedirectedDlopen;
        w32::Sys().dlclose = CountedDlclose;
        w32::Sys().dlsym = ThrowingDlsym;
    }
    void TearDown() override {
        unsetenv("TM_PLUGIN_LOG");
        LogTest::TearDown();
    }
    std::vector<std::string> Calls() const { return SplitLines(ReadFile(calls_)); }

    std::string calls_;
};

// Copies count, assignment changes nothing; the library goes with the last object.
template <class Loader>
void ExpectOneLoadWhileAnyObjectLives() {
    g_loads = g_unloads = 0;
    auto first = std::make_unique<Loader>();
    {
        Loader second, copy(second);
        copy = *first;
        first.reset();
        EXPECT_EQ(g_loads * 10 + g_unloads, 10);
        EXPECT_TRUE(copy.IsAvailable());
    }
    EXPECT_EQ(g_unloads, 1);
    Loader again;
    EXPECT_EQ(g_loads, 2);
}

TEST_F(LoaderTest, OneLoadWhileAnyObjectLives) {
    ExpectOneLoadWhileAnyObjectLives<CRasDial>();
    ExpectOneLoadWhileAnyObjectLives<CTmScript>();
    EXPECT_TRUE(MainLines().empty());
}

// Makes one object of each class and calls every member once, in this
// order; the stand-ins' results depend on their arguments.
std::vector<long> CallEveryMember(std::string file) {
    CRasDial ras;
    CTmScript engine;
    char book[] = "book", entryName[] = "Office", text[8], mode[] = "w";
    RASDIALPARAMSA params = {};
    snprintf(params.szEntryName, sizeof params.szEntryName, "Office");
    HRASCONN conn = reinterpret_cast<HRASCONN>(0x7001);
    RASCONNSTATUSA status = {};
    RASCONNA conns[1] = {};
    RASENTRYNAMEA names[1] = {};
    RASENTRYA entry = {};
    DWORD connsSize = sizeof conns, namesSize = sizeof names, entrySize = sizeof entry, projectionSize = 4, count;
    void* script = engine.CreateScript();
    const char* error = "";
    int line = 0, column = 0, code = 0;
    std::vector<long> results = {
        ras.IsAvailable(), engine.IsAvailable(),
        ras.RasDialA(reinterpret_cast<void*>(0x10), book, &params, 2, reinterpret_cast<void*>(0x20), &conn),
        ras.RasHangUpA(conn), ras.RasGetConnectStatusA(conn, &status), ras.RasGetErrorStringA(678, text, sizeof text),
        ras.RasEnumConnectionsA(conns, &connsSize, &count), ras.RasEnumEntriesA(nullptr, book, names, &namesSize, &count),
        ras.RasGetProjectionInfoA(conn, RASP_PppIp, nullptr, &projectionSize),
        ras.RasGetEntryPropertiesA(book, entryName, &entry, &entrySize, nullptr, nullptr),
        script != nullptr, engine.ParseScript(script, "dial office"),
        engine.GetError(script, &error, &line, &column, &code),
        static_cast<long>(strlen(error)) * 1000000 + line * 10000 + column * 10 + code,
        engine.RunScript(reinterpret_cast<HWND>(0x4242), script), engine.ResetScript(script),
        engine.AsyncResult(nullptr, script, 40, "done", 2)};
    engine.FreeBuffer(reinterpret_cast<void*>(0x99));
    engine.FileClose(engine.FileOpen(file.data(), mode, 7));
    results.push_back(engine.CloseScript(script));
    return results;
}

// ResetScript is optional: without it the member returns 0, unlogged.
TEST_F(LoaderTest, MembersForwardArgumentsAndResults) {
    const std::string file = root_ + "/script.txt";
    for (std::string variant : {"full", "no-reset"}) {
        g_scriptVariant = variant;
        unlink(calls_.c_str());
        const bool full = variant == "full";
        EXPECT_EQ(CallEveryMember(file), (std::vector<long>{1, 1, 602, 0x7002, 0, 603, 0, 603, 0x8021, 605, 1, 11, 22,
                                                            24031141, 0x4242, full ? 23 : 0, 42, 21}));
        std::vector<std::string> expected = {
            "load rasapi32 full", "load tmscript " + variant, "CreateScript", "RasDialA 0x10 book Office 2 0x20",
            "RasHangUpA 0x7001", "RasGetConnectStatusA 0x7001", "RasGetErrorStringA 678 8",
            "RasEnumConnectionsA " + std::to_string(sizeof(RASCONNA)),
            "RasEnumEntriesA (null) book " + std::to_string(sizeof(RASENTRYNAMEA)),
            "RasGetProjectionInfoA 0x7001 0x8021 (nil) 4",
            "RasGetEntryPropertiesA book Office " + std::to_string(sizeof(RASENTRYA)) + " (nil) 0",
            "ParseScript 1 dial office", "GetError 1", "RunScript 0x4242 1", "ResetScript 1",
            "AsyncResult (nil) 1 40 done 2", "FreeBuffer 0x99", "FileOpen " + file + " w 7", "FileClose",
            "CloseScript 1", "unload tmscript " + variant, "unload rasapi32 full"};
        if (!full) expected.erase(expected.begin() + 14);
        EXPECT_EQ(Calls(), expected) << variant;
    }
    EXPECT_TRUE(MainLines().empty());
}

// Without the library every member returns 0 and calls nothing, also after
// a library that was loaded before has been freed.
TEST_F(LoaderTest, AbsentLibrariesLogEachLoadAttempt) {
    { CRasDial loaded; CTmScript engine; }
    g_rasVariant = g_scriptVariant = "";
    EXPECT_EQ(CallEveryMember(root_ + "/none"), std::vector<long>(18, 0));
    EXPECT_EQ(CallEveryMember(root_ + "/none"), std::vector<long>(18, 0));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"load rasapi32 full", "load tmscript full",
                                                 "unload tmscript full", "unload rasapi32 full"}));
    const std::string ras = Line('E', "Unable to load RASAPI32.DLL, system error 126");
    const std::string script = Line('E', "Unable to load TMSCRIPT.DLL, system error 126");
    EXPECT_EQ(MainLines(), (std::vector<std::string>{ras, script, ras, script}));
}

TEST_F(LoaderTest, FaultsWhileLoadingOrFreeingLeaveTheClassUnloaded) {
    // GetProcAddress lets nothing thrown out, as on Windows: the entry
    // point is missing, reported, and the library stays while the object lives.
    g_throwOnLookup = true;
    {
        CRasDial ras;
        EXPECT_TRUE(ras.IsAvailable());
        EXPECT_EQ(MainLines(), (std::vector<std::string>{Line('!', "Unable to locate RasGetErrorStringA in RASAPI32.DLL")}));
    }
    g_throwOnLookup = false;
    EXPECT_EQ(g_loads * 10 + g_unloads, 11) << "freed with its last object";
    void* leaked = nullptr;
    {
        CRasDial ras;  // the failed object did not raise the count: this one's end frees
        EXPECT_TRUE(ras.IsAvailable());
        leaked = dlopen((kPlugins + "/full/librasapi32.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        g_failUnload = true;
    }
    g_failUnload = false;
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string head = Line('!', "System error 0x1f at line ");
    EXPECT_EQ(lines[1].substr(0, head.size()), head);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 11), " of RasDial");
    CRasDial again;  // the failed free still reset the class, so it loads anew
    EXPECT_TRUE(again.IsAvailable());
    EXPECT_EQ(g_loads, 3);
    dlclose(leaked);  // the NOLOAD reference
    dlclose(leaked);  // and the one the failed free left
}

// Other processes: the library is the one beside the executable. One line
// per load, though two objects were made.
TEST(LoaderProcessTest, VariantsBesideTheProgram) {
    struct Case { const char* command; const char* variant; const char* out; const char* logged; };
    const Case kCases[] = {
        {"ras", "no-rasdial", "available=1 dial=0 props=605\n", "! Unable to locate RasDialA in RASAPI32.DLL"},
        {"ras", "no-entry-properties", "available=1 dial=601 props=0\n", ""},
        {"script", "no-reset", "available=1 create=1 reset=0 load=1\n", ""},
        {"script", "no-file-open", "available=1 create=1 reset=23 load=0\n", ""},
        {"script", "", "available=0 create=0 reset=0 load=0\n", "E Unable to load TMSCRIPT.DLL, system error 126"},
    };
    int n = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.command) + "/" + c.variant);
        const std::string dir = MakeDir("variant" + std::to_string(++n)), lib = *c.command == 'r' ? "/librasapi32.so" : "/libtmscript.so";
        MakeDir("variant" + std::to_string(n) + "/log");
        std::filesystem::copy_file(HelperPath("platform_probe"), dir + "/platform_probe");
        if (*c.variant) std::filesystem::copy_file(kPlugins + "/" + c.variant + lib, dir + lib);
        ProcessResult r = RunProgram(dir + "/platform_probe", {c.command});
        EXPECT_EQ(r.out, c.out) << r.err;
        // The type character, then after the time and the thread the text.
        const std::vector<std::string> lines = SplitLines(ReadFiles(dir + "/log"));
        ASSERT_EQ(lines.size(), *c.logged ? 1u : 0u);
        if (lines.empty()) continue;
        EXPECT_EQ(lines[0].substr(0, 17), std::string("platform_probe ") + c.logged[0] + " ") << lines[0];
        EXPECT_EQ(lines[0].substr(37), c.logged + 2) << lines[0];
    }
}

}  // namespace
}  // namespace tmtest
