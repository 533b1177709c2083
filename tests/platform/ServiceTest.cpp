//===-- tests/platform/ServiceTest.cpp - InstallService, RemoveService ----===//
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "Layer.h"
#include "SysCalls.h"
#include "platform/ProcessEnv.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const char kRunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

// A string value, or "(missing)".
std::string StringValue(const std::string& key, const char* name) {
    CRegistry reg;
    CString value;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) || reg.QueryValue(name, value)) return "(missing)";
    return static_cast<const char*>(value);
}

// platform_probe in a directory of its own, with the extra environment.
std::function<std::string(std::vector<std::string>)> ProbeIn(const std::string& dir, std::vector<std::string> env = {}) {
    std::filesystem::copy_file(HelperPath("platform_probe"), dir + "/platform_probe");
    return [=](std::vector<std::string> args) { return RunProgram(dir + "/platform_probe", args, env).out; };
}

// Installed and removed by another process, from a directory with blanks
// (the path stays unquoted on NT): NT's service key, or Windows 95's
// RunServices value; a key that may not be written is a failure.
TEST(ServiceTest, RegistersTheServiceBesideTheProgram) {
    const std::string dir = MakeDir("Mail Server");
    auto nt = ProbeIn(dir);
    EXPECT_EQ(nt({"install", "TmMail", "Tamarak Mail"}), "0\n");
    EXPECT_EQ(StringValue(kServices + "TmMail", "ImagePath") + "|" + StringValue(kServices + "TmMail", "DisplayName"),
              dir + "/tmarksvc|Tamarak Mail");
    CRegistry reg;
    ASSERT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, (kServices + "TmMail").c_str(), KEY_READ), 0);
    DWORD type = 0, start = 0, errorControl = 0;
    reg.QueryValue("Type", type), reg.QueryValue("Start", start), reg.QueryValue("ErrorControl", errorControl);
    EXPECT_EQ(std::vector<DWORD>({type, start, errorControl}), std::vector<DWORD>({0x10, 2, 1}));
    reg.CloseKey();
    struct Case { std::function<DWORD()> call; DWORD result; };
    const Case kCases[] = {
        {[] { return InstallService("TmMail", "Another"); }, ERROR_SERVICE_EXISTS},
        {[] { return RemoveService("TmMail"); }, 0},
        {[] { return RemoveService("TmMail"); }, ERROR_SERVICE_DOES_NOT_EXIST},
        {[] { return InstallService(nullptr, "x"); }, ERROR_INVALID_PARAMETER},
        {[] { return InstallService("", "x"); }, ERROR_INVALID_NAME},
        {[] { return RemoveService(nullptr); }, ERROR_INVALID_PARAMETER},
    };
    for (size_t i = 0; i < std::size(kCases); ++i) EXPECT_EQ(kCases[i].call(), kCases[i].result) << "call " << i;
    EXPECT_EQ(StringValue(kServices + "TmMail", "ImagePath"), "(missing)");

    const std::string dir95 = MakeDir("w95");
    auto w95 = ProbeIn(dir95, {"TAMARAK_TEST_PLATFORM_ID=1"});
    EXPECT_EQ(w95({"remove", "TmMail95"}), "0\n") << "no key yet";
    EXPECT_EQ(w95({"install", "TmMail95", "Display name not used"}), "0\n");
    EXPECT_EQ(StringValue(kRunServices, "TmMail95"), "\"" + dir95 + "/tmark95s\" -service");
    EXPECT_EQ(StringValue(kServices + "TmMail95", "ImagePath"), "(missing)");
    EXPECT_EQ(w95({"remove", "TmMail95"}) + w95({"remove", "TmMail95"}), "0\n0\n");  // the second: nothing to remove
    EXPECT_EQ(StringValue(kRunServices, "TmMail95"), "(missing)");
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, kRunServices, KEY_READ), 0);
    EXPECT_EQ(w95({"install", "TmMail95", "x"}) + w95({"remove", "TmMail95"}), "5\n5\n");
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, kRunServices, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
}

// The executable path that readlink reports while a case runs.
std::string g_exePath;
ssize_t FakeExe(const char*, char* buffer, size_t size) {
    size_t n = std::min(g_exePath.size(), size);
    memcpy(buffer, g_exePath.data(), n);
    return static_cast<ssize_t>(n);
}

TEST(ServiceTest, CommandLinesThatDoNotFitAreRefused) {
    CEventLog named(0);  // the log takes the process name before the path is faked
    const DWORD platform = g_ProcessEnv.m_osvi.dwPlatformId;
    // Lengths are of the directory with its separator: NT needs it plus
    // "tmarksvc" in 255 characters, Windows 95 plus the quotes and switch.
    struct Case { DWORD platform; size_t directory; DWORD result; };
    const Case kCases[] = {
        {VER_PLATFORM_WIN32_NT, 247, 0}, {VER_PLATFORM_WIN32_NT, 248, ERROR_FILENAME_EXCED_RANGE},
        {VER_PLATFORM_WIN32_WINDOWS, 236, 0}, {VER_PLATFORM_WIN32_WINDOWS, 237, ERROR_FILENAME_EXCED_RANGE},
        {VER_PLATFORM_WIN32_NT, 300, ERROR_FILENAME_EXCED_RANGE},  // GetModuleFileNameA cuts it
        {VER_PLATFORM_WIN32_NT, 0, ERROR_BAD_PATHNAME},            // no directory at all
    };
    w32::Sys().readlink = FakeExe;
    for (const Case& c : kCases) {
        const bool nt = c.platform == VER_PLATFORM_WIN32_NT;
        g_ProcessEnv.m_osvi.dwPlatformId = c.platform;
        g_exePath = c.directory ? "/" + std::string(c.directory - 2, 'd') + "/tmsetup" : "tmsetup";
        w32::ForgetExecutablePath();  // read through the fake
        std::string label = std::to_string(c.platform) + "/" + std::to_string(c.directory);
        EXPECT_EQ(InstallService("TmLong", "Long"), c.result) << label;
        std::string directory = g_exePath.substr(0, c.directory);
        std::string expected = nt ? directory + "tmarksvc" : "\"" + directory + "tmark95s\" -service";
        std::string written = nt ? StringValue(kServices + "TmLong", "ImagePath") : StringValue(kRunServices, "TmLong");
        EXPECT_EQ(written, c.result ? "(missing)" : expected) << label;
        RemoveService("TmLong");
    }
    // An exception inside the layer is its call's failure, as on Windows,
    // and InstallService passes the code on.
    w32::Sys().readlink = [](const char*, char*, size_t) -> ssize_t { throw std::runtime_error("boom"); };
    w32::ForgetExecutablePath();
    EXPECT_EQ(InstallService("TmLong", "Long"), static_cast<DWORD>(ERROR_GEN_FAILURE));
    w32::ResetSysCalls();
    w32::ForgetExecutablePath();
    g_ProcessEnv.m_osvi.dwPlatformId = platform;
}

}  // namespace
}  // namespace tmtest
