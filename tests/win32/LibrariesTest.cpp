//===-- tests/win32/LibrariesTest.cpp - LoadLibraryA and its siblings -----===//
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "tmwin32.h"

namespace tmtest {
namespace {

const std::string kPlugins = TM_PLUGIN_DIR;
constexpr DWORD kSentinel = 0xDEADBEEF;

// The last error of a call that fails; 0 if it succeeds.
template <class Call>
DWORD ErrorOf(Call call) {
    SetLastError(kSentinel);
    return call() ? 0 : GetLastError();
}

std::string ModulePath(HMODULE h) {
    char path[4096] = "";
    return GetModuleFileNameA(h, path, sizeof path) ? path : "";
}

TEST(LibrariesTest, WindowsNamesFindSharedObjects) {
    const std::string broken = MakeDir("broken") + "/libbroken.so";
    WriteFile(broken, "not an ELF file");
    struct Case { std::string name; DWORD error; std::string file; };
    const Case kCases[] = {
        {kPlugins + "/full/RASAPI32.DLL", 0, kPlugins + "/full/librasapi32.so"},
        {kPlugins + "/full/RasApi32", 0, kPlugins + "/full/librasapi32.so"},   // ".DLL" implied
        {kPlugins + "/full/librasapi32.so", 0, kPlugins + "/full/librasapi32.so"},
        {kPlugins + "\\full\\TMSCRIPT.dll", 0, kPlugins + "/full/libtmscript.so"},
        {kPlugins + "/nowhere/RASAPI32.DLL", ERROR_MOD_NOT_FOUND, ""},
        {"NOSUCHLIBRARY.DLL", ERROR_MOD_NOT_FOUND, ""},
        {"", ERROR_MOD_NOT_FOUND, ""},
        {broken, ERROR_BAD_EXE_FORMAT, ""},
        {"/" + std::string(5000, 'x') + "/A.DLL", ERROR_FILENAME_EXCED_RANGE, ""},
    };
    for (const Case& c : kCases) {
        HMODULE h = nullptr;
        EXPECT_EQ(ErrorOf([&] { return h = LoadLibraryA(c.name.c_str()); }), c.error) << c.name.substr(0, 80);
        if (!h) continue;
        EXPECT_EQ(ModulePath(h), c.file);
        EXPECT_TRUE(FreeLibrary(h));
    }
    EXPECT_EQ(ErrorOf([] { return LoadLibraryA(nullptr); }), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(LibrariesTest, OnlyTheModulesOwnEntryPointsAreFound) {
    HMODULE h = LoadLibraryA((kPlugins + "/no-rasdial/RASAPI32.DLL").c_str());
    ASSERT_NE(h, nullptr) << GetLastError();
    struct Case { const char* name; DWORD error; };
    const Case kCases[] = {
        {"RasHangUpA", 0},
        {"RasDialA", ERROR_PROC_NOT_FOUND},
        {"rashangupa", ERROR_PROC_NOT_FOUND},  // names match exactly
        {"snprintf", ERROR_PROC_NOT_FOUND},    // a dependency's, not the module's
        {reinterpret_cast<const char*>(uintptr_t{5}), ERROR_PROC_NOT_FOUND},  // an ordinal
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : kCases) {
        const char* label = reinterpret_cast<uintptr_t>(c.name) > 0xFFFF ? c.name : "(ordinal or null)";
        EXPECT_EQ(ErrorOf([&] { return GetProcAddress(h, c.name); }), c.error) << label;
    }
    EXPECT_TRUE(FreeLibrary(h));
}

TEST(LibrariesTest, LoadsAreCountedAndStaleHandlesRefused) {
    const std::string path = kPlugins + "/full/RASAPI32.DLL";
    HMODULE first = LoadLibraryA(path.c_str()), second = LoadLibraryA(path.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_NE(GetProcAddress(second, "RasDialA"), nullptr) << "one load is left";
    EXPECT_TRUE(FreeLibrary(second));
    // Handles that are not (or no longer) loaded never reach the dynamic
    // linker, which would crash on them. NULL is the executable, which has
    // no such entry point.
    int local = 0;
    for (HMODULE stale : {second, static_cast<HMODULE>(nullptr), reinterpret_cast<HMODULE>(&local)}) {
        EXPECT_EQ(ErrorOf([&] { return GetProcAddress(stale, "RasDialA"); }),
                  DWORD(stale ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND));
        EXPECT_EQ(ErrorOf([&] { return FreeLibrary(stale); }), DWORD(ERROR_MOD_NOT_FOUND));
        char buffer[64];
        if (stale) {
            EXPECT_EQ(ErrorOf([&] { return GetModuleFileNameA(stale, buffer, sizeof buffer); }), DWORD(ERROR_MOD_NOT_FOUND));
        }
    }
}

}  // namespace
}  // namespace tmtest
