//===-- tests/mail/IdentifiersTest.cpp - Counter, identifiers, host name --===//
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

#include "platform/ProcessEnv.h"
#include "support/ZoneScope.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

constexpr DWORD kMissing = 0xDEADBEEF;  // no value

// kMissing - 1: a value that is not a DWORD.
DWORD StoredLastId() {
    CRegistry reg;
    DWORD value = 0, size = sizeof value, type = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ) != ERROR_SUCCESS) return kMissing;
    if (reg.QueryValue("LastId", &value, &size, &type) != ERROR_SUCCESS) return kMissing;
    return type == REG_DWORD && size == 4 ? value : kMissing - 1;
}

void SetParameter(const char* name, DWORD number, const char* text = nullptr) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    if (text) {
        ASSERT_EQ(reg.SetValue(name, text), 0);
    } else if (number == kMissing) {
        reg.DeleteValue(name);
    } else {
        ASSERT_EQ(reg.SetValue(name, number), 0);
    }
}

// KEY_READ: the key may not be opened for writing.
void RestrictParameters(REGSAM allowed) {
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, allowed), 0);
}

TEST(NextIdTest, CounterRunsOnWrapsAndSurvivesFailures) {
    const std::pair<DWORD, DWORD> kCases[] = {
        {kMissing, 1}, {0, 1}, {0xFFFFE, 0xFFFFF}, {0xFFFFF, 0}, {0x123456, 0x23457}, {0xFFFFFFFF, 0},
    };
    for (const auto& [stored, next] : kCases) {
        SetParameter("LastId", stored);
        EXPECT_EQ(GetNextId(), next) << std::hex << stored;
        EXPECT_EQ(StoredLastId(), next) << std::hex << stored;
    }
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY), 0);
    EXPECT_EQ(GetNextId(), 1u) << "a missing key is created";
    EXPECT_EQ(StoredLastId(), 1u);
    // Failures hand out nothing and keep the counter.
    SetParameter("LastId", 41);
    RestrictParameters(KEY_READ);
    EXPECT_EQ(GetNextId(), 0u);
    RestrictParameters(KEY_ALL_ACCESS | MAXIMUM_ALLOWED);
    // Without the installation mutex a number could go out twice.
    HANDLE mutex = g_ProcessEnv.InstallMutex();
    g_ProcessEnv.m_hInstallMutex = nullptr;
    DWORD unlocked = GetNextId();
    g_ProcessEnv.m_hInstallMutex = mutex;
    EXPECT_EQ(unlocked, 0u);
    EXPECT_EQ(StoredLastId(), 41u);
    EXPECT_EQ(GetNextId(), 42u);
}

TEST(NextIdTest, ProcessKilledHoldingTheMutexBlocksNobody) {
    SetParameter("LastId", 7);
    const std::string out = MakeDir("hold") + "/out";
    pid_t holder = StartProgram(HelperPath("id_worker"), {"hold"}, {}, out);
    WaitForText(out, "held\n");
    ASSERT_EQ(ReadFile(out), "held\n");
    // Shared with the thread, which outlives a failed test.
    auto number = std::make_shared<std::promise<DWORD>>();
    std::future<DWORD> taken = number->get_future();
    std::thread([number] { number->set_value(GetNextId()); }).detach();
    EXPECT_EQ(taken.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "GetNextId went past a held installation mutex";
    kill(holder, SIGKILL);
    EXPECT_EQ(WaitProgram(holder), 128 + SIGKILL);
    ASSERT_EQ(taken.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "GetNextId still waits for the dead process's mutex";
    EXPECT_EQ(taken.get(), 8u);
    EXPECT_EQ(GetNextId(), 9u);
}

// The clocks at 2026-12-04 09:32:16 UTC and a tick count of 0x12345678,
// the machine on UTC, LastId at 41.
class GuidTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_wallNow = 1796376736;
        g_tickMs = 0x12345678;
        w32::Sys().clockGettime = FixedClocks;
        SetParameter("LastId", 41);
        // The bytes that follow the seed in the C library's rand().
        srand(0x12345678);
        random1_ = static_cast<BYTE>(rand());
        random2_ = static_cast<BYTE>(rand());
    }
    void TearDown() override { w32::ResetSysCalls(); }
    ZoneScope zone_{"UTC0"};
    BYTE random1_ = 0, random2_ = 0;
};

TEST_F(GuidTest, ByteLayout) {
    BYTE expected[16] = {0x2A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 4, 12, 26, 9, 32, 16, random1_, random2_};
    auto created = [] {
        GUID guid;
        memset(&guid, 0xBD, sizeof guid);
        CreateGuid(&guid);
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&guid);
        return std::vector<BYTE>(bytes, bytes + 16);
    };
    EXPECT_EQ(created(), std::vector<BYTE>(expected, expected + 16));
    expected[0] = 0x2B;  // the same millisecond: the same bytes, the next number
    EXPECT_EQ(created(), std::vector<BYTE>(expected, expected + 16));
    // The random sequence is the layer's own, per thread: the C library's
    // sequence of the caller does not move.
    srand(5);
    const int first = rand();
    srand(5);
    std::thread([&] { created(); }).join();
    created();
    EXPECT_EQ(rand(), first);
    // The date is local: 5 July 01:32:16 in central Europe.
    ZoneScope central("CET-1CEST,M3.5.0,M10.5.0/3");
    g_wallNow = 1783207936;
    const std::vector<BYTE> summer = created();
    EXPECT_EQ(std::vector<BYTE>(summer.begin() + 8, summer.begin() + 14), (std::vector<BYTE>{5, 7, 26, 1, 32, 16}));
}

TEST_F(GuidTest, MessageIdText) {
    char word3[9];
    snprintf(word3, sizeof word3, "%02x%02x1020", random2_, random1_);
    const std::string prefix = std::string("0000002a12345678091a0c04") + word3 + "@", longHost(100, 'h');
    struct Case { int size; const char* host; std::string text; };
    const Case kCases[] = {
        {128, "postmaster@d.e", prefix + "postmaster.d.e"}, {128, "@@", prefix + ".."}, {128, nullptr, prefix},
        {40, longHost.c_str(), prefix + "hhhhhh"}, {34, longHost.c_str(), prefix}, {33, "d.e", ""}, {-5, "d.e", ""},
    };
    for (const Case& c : kCases) {
        SetParameter("LastId", 41);
        char buffer[160];
        memset(buffer, 0xBD, sizeof buffer);
        const char* result = GetMessageId(buffer, c.size, c.host);
        EXPECT_EQ(std::string(result), c.text) << c.size;
        EXPECT_EQ(result == buffer, !c.text.empty()) << c.size;
        // Nothing written past the text, nothing at all for the empty one.
        EXPECT_EQ(static_cast<BYTE>(buffer[c.text.empty() ? 0 : c.text.size() + 1]), 0xBD) << c.size;
    }
    EXPECT_STREQ(GetMessageId(nullptr, 128, "d.e"), "");
}

TEST(HostNameTest, RegistryValueThenMachineThenDefault) {
    char machine[256] = "";
    ASSERT_EQ(gethostname(machine, sizeof machine), 0);
    struct Case { const char* value; bool machineKnown; bool restricted; const char* name; };
    const Case kCases[] = {
        {"mail.example.com", true, false, "mail.example.com"}, {"", true, false, ""}, {nullptr, true, false, machine},
        {nullptr, false, false, "localhost"}, {"relay", false, false, "relay"},
        // A key that may only be read is read.
        {"relay.example.com", true, true, "relay.example.com"}, {nullptr, false, true, "localhost"},
    };
    for (const Case& c : kCases) {
        SetParameter("hostname", kMissing, c.value);
        if (!c.machineKnown) w32::Sys().gethostname = [](char*, size_t) { return errno = EINVAL, -1; };
        if (c.restricted) RestrictParameters(KEY_READ);
        CString name("before");
        GetHostName(name);
        w32::ResetSysCalls();
        RestrictParameters(KEY_ALL_ACCESS | MAXIMUM_ALLOWED);
        EXPECT_STREQ(static_cast<const char*>(name), c.name) << (c.value ? c.value : "(none)");
    }
    SetParameter("hostname", kMissing);
}

}  // namespace
}  // namespace tmtest
