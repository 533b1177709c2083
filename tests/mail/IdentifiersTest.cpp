//===-- tests/mail/IdentifiersTest.cpp - Counter, identifiers, host name --===//
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SysCalls.h"
#include "platform/ProcessEnv.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

constexpr DWORD kMissing = 0xDEADBEEF;  // stands for "no LastId value"

// The parameters key's LastId: kMissing when there is none.
DWORD StoredLastId(DWORD* type = nullptr) {
    CRegistry reg;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ) != ERROR_SUCCESS) return kMissing;
    DWORD value = 0, size = sizeof value, stored = 0;
    if (reg.QueryValue("LastId", &value, &size, &stored) != ERROR_SUCCESS) return kMissing;
    if (type) *type = stored;
    return value;
}

void StoreLastId(DWORD value) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    if (value == kMissing) {
        reg.DeleteValue("LastId");
    } else {
        ASSERT_EQ(reg.SetValue("LastId", value), 0);
    }
}

void SetParameter(const char* name, const char* text) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    if (text) {
        ASSERT_EQ(reg.SetValue(name, text), 0);
    } else {
        reg.DeleteValue(name);
    }
}

TEST(NextIdTest, CounterRunsOnAndWraps) {
    struct Case { DWORD stored; DWORD result; };
    const Case kCases[] = {
        {kMissing, 1}, {0, 1}, {1, 2}, {0xFFFFE, 0xFFFFF}, {0xFFFFF, 0}, {0x123456, 0x23457},
        {0xFFFFFFFF, 0},
    };
    for (const Case& c : kCases) {
        StoreLastId(c.stored);
        EXPECT_EQ(GetNextId(), c.result) << std::hex << c.stored;
        DWORD type = 0;
        EXPECT_EQ(StoredLastId(&type), c.result) << std::hex << c.stored;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    }
}

TEST(NextIdTest, CreatesTheParametersKey) {
    // The key may hold values of other tests: only a key without subkeys
    // can go, which the parameters key is.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY), 0);
    EXPECT_EQ(GetNextId(), 1u);
    EXPECT_EQ(StoredLastId(), 1u);
}

TEST(NextIdTest, ValueThatIsNoNumberStartsAgain) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("LastId", "a long text, not a number"), 0);
    EXPECT_EQ(GetNextId(), 1u);
    EXPECT_EQ(StoredLastId(), 1u);
}

TEST(NextIdTest, FailuresHandOutNothingAndKeepTheCounter) {
    StoreLastId(41);
    // A key that may not be opened for writing.
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
    EXPECT_EQ(GetNextId(), 0u);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    EXPECT_EQ(StoredLastId(), 41u);
    // No installation mutex to wait for: counting without it could hand a
    // number out twice.
    HANDLE mutex = g_ProcessEnv.m_hInstallMutex;
    g_ProcessEnv.m_hInstallMutex = nullptr;
    DWORD result = GetNextId();
    g_ProcessEnv.m_hInstallMutex = mutex;
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(StoredLastId(), 41u);
    EXPECT_EQ(GetNextId(), 42u);
}

TEST(NextIdTest, FourProcessesOfTwoThreadsGetDistinctNumbers) {
    constexpr int kProcesses = 4, kThreads = 2, kCount = 2000;
    StoreLastId(1000);
    std::string dir = MakeDir("ids");
    std::string gate = dir + "/go";
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(StartProgram(HelperPath("id_worker"),
                                    {"next", std::to_string(kThreads), std::to_string(kCount), gate},
                                    {}, dir + "/out" + std::to_string(p)));
    }
    WriteFile(gate, "");
    std::set<DWORD> seen;
    size_t total = 0;
    for (int p = 0; p < kProcesses; ++p) {
        ASSERT_EQ(WaitProgram(pids[p]), 0);
        for (const std::string& line : SplitLines(ReadFile(dir + "/out" + std::to_string(p)))) {
            seen.insert(static_cast<DWORD>(std::stoul(line)));
            ++total;
        }
    }
    const size_t expected = kProcesses * kThreads * kCount;
    EXPECT_EQ(total, expected);
    EXPECT_EQ(seen.size(), expected);
    // Nothing lost either: exactly the numbers after the stored one.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(*seen.begin(), 1001u);
    EXPECT_EQ(*seen.rbegin(), 1000u + expected);
    EXPECT_EQ(StoredLastId(), 1000u + expected);
}

TEST(NextIdTest, ProcessKilledHoldingTheMutexBlocksNobody) {
    StoreLastId(7);
    std::string out = MakeDir("hold") + "/out";
    pid_t holder = StartProgram(HelperPath("id_worker"), {"hold"}, {}, out);
    for (int i = 0; i < 1000 && ReadFile(out).find("held") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(ReadFile(out).find("held"), std::string::npos);

    // Shared with the thread, which may outlive a failed test.
    struct Outcome { std::atomic<bool> done{false}; std::atomic<DWORD> number{0}; };
    auto outcome = std::make_shared<Outcome>();
    std::thread taker([outcome] {
        outcome->number = GetNextId();
        outcome->done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(outcome->done) << "GetNextId went past a held installation mutex";
    kill(holder, SIGKILL);
    EXPECT_EQ(WaitProgram(holder), 128 + SIGKILL);
    for (int i = 0; i < 1000 && !outcome->done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!outcome->done) {
        taker.detach();
        FAIL() << "GetNextId still waits for the dead process's mutex";
    }
    taker.join();
    EXPECT_EQ(outcome->number, 8u);
    EXPECT_EQ(GetNextId(), 9u);
}

//===-- Identifiers and Message-Ids ---------------------------------------===//

time_t g_wallNow = 0;
uint64_t g_tickMs = 0;

int FixedClocks(clockid_t clock, struct timespec* ts) {
    if (clock == CLOCK_REALTIME) {
        ts->tv_sec = g_wallNow;
        ts->tv_nsec = 0;
        return 0;
    }
    if (clock == CLOCK_MONOTONIC) {
        ts->tv_sec = static_cast<time_t>(g_tickMs / 1000);
        ts->tv_nsec = static_cast<long>(g_tickMs % 1000) * 1000000;
        return 0;
    }
    return clock_gettime(clock, ts);
}

// The clocks at 2026-12-04 09:32:16 UTC and a tick count of 0x12345678;
// the machine on UTC, LastId at 41.
class GuidTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) oldTz_ = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
        g_wallNow = 1796376736;
        g_tickMs = 0x12345678;
        w32::Sys().clockGettime = FixedClocks;
        StoreLastId(41);
    }
    void TearDown() override {
        w32::ResetSysCalls();
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    // The two random bytes that follow a seed, as the C library's rand()
    // gives them.
    static void RandomBytes(unsigned seed, BYTE* first, BYTE* second) {
        srand(seed);
        *first = static_cast<BYTE>(rand() & 0xFF);
        *second = static_cast<BYTE>(rand() & 0xFF);
    }

    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(GuidTest, ByteLayout) {
    BYTE r1, r2;
    RandomBytes(0x12345678, &r1, &r2);
    const BYTE expected[16] = {0x2A, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,
                               4,    12,   26,   9,    32,   16,   r1,   r2};
    GUID guid;
    memset(&guid, 0xBD, sizeof guid);
    CreateGuid(&guid);
    EXPECT_EQ(memcmp(&guid, expected, sizeof expected), 0);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&guid);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
}

TEST_F(GuidTest, DateFieldsAreLocalTime) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    g_wallNow = 1783207936;  // 2026-07-04 23:32:16 UTC: 5 July 01:32:16 in central Europe
    GUID guid;
    CreateGuid(&guid);
    const BYTE kDate[6] = {5, 7, 26, 1, 32, 16};
    EXPECT_EQ(memcmp(guid.Data4, kDate, sizeof kDate), 0);
}

TEST_F(GuidTest, SameMillisecondSameRandomBytesDifferentNumbers) {
    GUID a, b;
    CreateGuid(&a);
    CreateGuid(&b);
    EXPECT_EQ(memcmp(&a.Data2, &b.Data2, 12), 0);
    EXPECT_EQ(a.Data1 + 1, b.Data1);
    // Other threads' random sequences do not move.
    srand(5);
    int first = rand();
    srand(5);
    std::thread([] {
        GUID c;
        CreateGuid(&c);
    }).join();
    CreateGuid(&a);
    EXPECT_EQ(rand(), first);
}

TEST_F(GuidTest, MessageIdText) {
    BYTE r1, r2;
    RandomBytes(0x12345678, &r1, &r2);
    char word3[9];
    snprintf(word3, sizeof word3, "%02x%02x1020", r2, r1);
    const std::string prefix = std::string("0000002a12345678091a0c04") + word3 + "@";
    const std::string longHost(100, 'h');
    struct Case { int size; const char* host; std::string text; };
    const Case kCases[] = {
        {128, "postmaster@d.e", prefix + "postmaster.d.e"},
        {128, "mail.example.com", prefix + "mail.example.com"},
        {128, "@@", prefix + ".."},
        {128, "", prefix},
        {128, nullptr, prefix},
        {40, longHost.c_str(), prefix + "hhhhhh"},
        {34, longHost.c_str(), prefix},
        {33, "d.e", ""},
        {0, "d.e", ""},
        {-5, "d.e", ""},
    };
    for (const Case& c : kCases) {
        StoreLastId(41);
        char buffer[160];
        memset(buffer, 0xBD, sizeof buffer);
        const char* result = GetMessageId(buffer, c.size, c.host);
        EXPECT_EQ(std::string(result), c.text) << c.size << " " << (c.host ? c.host : "(null)");
        if (c.text.empty()) {
            EXPECT_NE(result, buffer);
            EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0xBD);
        } else {
            EXPECT_EQ(result, buffer);
            EXPECT_EQ(static_cast<unsigned char>(buffer[c.text.size() + 1]), 0xBD) << c.size;
        }
    }
    EXPECT_STREQ(GetMessageId(nullptr, 128, "d.e"), "");
}

//===-- Host name ----------------------------------------------------------===//

int NoHostName(char*, size_t) {
    errno = EINVAL;
    return -1;
}

TEST(HostNameTest, RegistryValueThenMachineThenDefault) {
    char machine[256] = "";
    ASSERT_EQ(gethostname(machine, sizeof machine), 0);
    struct Case { const char* value; bool hostCall; const char* name; };
    const Case kCases[] = {
        {"mail.example.com", true, "mail.example.com"},
        {"", true, ""},
        {nullptr, true, machine},
        {nullptr, false, "localhost"},
        {"relay", false, "relay"},
    };
    for (const Case& c : kCases) {
        SetParameter("hostname", c.value);
        if (!c.hostCall) w32::Sys().gethostname = NoHostName;
        CString name("before");
        GetHostName(name);
        w32::ResetSysCalls();
        EXPECT_STREQ(static_cast<const char*>(name), c.name) << (c.value ? c.value : "(none)");
    }
    // A key that may not be opened for writing is not read.
    SetParameter("hostname", "ignored");
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
    CString name;
    GetHostName(name);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    EXPECT_STREQ(static_cast<const char*>(name), machine);
    SetParameter("hostname", nullptr);
}

}  // namespace
}  // namespace tmtest
