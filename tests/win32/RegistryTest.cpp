//===-- tests/win32/RegistryTest.cpp - Registry functions of the layer ----===//
//
// The Reg functions as NT answers them: codes, case, order, buffer edges,
// deleted keys, access, exact bytes; then the store under threads and
// processes, fork, a process killed inside a write, a full disk and
// database files that cannot be used. Every test works below a key of its
// own; tests that need a database of their own run the registry_worker
// helper on it. The same tests run against the PostgreSQL store (see
// tests/support/StoreSandbox.h), but for those about SQLite's files.
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tmwin32.h"

namespace {

using Names = std::vector<std::string>;
const HKEY kBadKey = reinterpret_cast<HKEY>(uintptr_t(0xDEADBEEF));
constexpr DWORD kSentinel = 0xDEADBEEF;

// Runs body in a forked child; gives what it reports ("" when all went
// well), and how the child ended if not normally.
std::string InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(60);  // a deadlocked child fails the test instead of hanging it
        std::string report = "exception";
        try { report = body(); } catch (...) {}
        if (!report.empty() && write(fds[1], report.data(), report.size()) < 0) _exit(3);
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
    close(fds[0]);
    if (int status = tmtest::WaitProgram(pid)) report += " exit " + std::to_string(status);
    return report;
}

#define CHILD_EXPECT(cond) \
    if (!(cond)) failures += std::to_string(__LINE__) + ": " #cond "\n"

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
}

DWORD GetDword(HKEY key, const char* name, LONG* rc = nullptr) {
    DWORD value = kSentinel, size = 4;
    LONG r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    if (rc) *rc = r;
    return value;
}

LONG QueryRc(HKEY key, const char* name) {
    LONG rc;
    GetDword(key, name, &rc);
    return rc;
}

HKEY Create(HKEY parent, const std::string& path, REGSAM sam = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, sam, nullptr, &key, disposition)) << path;
    return key;
}

void Make(HKEY parent, const std::string& path) { RegCloseKey(Create(parent, path)); }

// The code of opening path with sam; the key is closed again.
LONG OpenRc(HKEY parent, const char* path, REGSAM sam = KEY_READ) {
    HKEY key = kBadKey;
    LONG rc = RegOpenKeyExA(parent, path, 0, sam, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}

Names SubkeyNames(HKEY key) {
    Names names;
    char name[300];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
}

Names ValueNames(HKEY key) {
    Names names;
    char name[300];
    for (DWORD i = 0, cch = sizeof name; !RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
         ++i, cch = sizeof name) {
        names.push_back(name);
    }
    return names;
}

void DeleteTree(HKEY parent, const std::string& path) {
    TmRegSetKeyRestriction(parent, path.c_str(), KEY_ALL_ACCESS | MAXIMUM_ALLOWED);
    HKEY key;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key)) return;
    for (const std::string& child : SubkeyNames(key)) DeleteTree(key, child);
    RegCloseKey(key);
    RegDeleteKeyA(parent, path.c_str());
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = std::string("Software\\RegistryTest\\") + testing::UnitTest::GetInstance()->current_test_info()->name();
        m_key = Create(HKEY_LOCAL_MACHINE, m_path);
        ASSERT_NE(nullptr, m_key);
        SetLastError(kSentinel);
    }
    void TearDown() override {
        // Registry functions return their code and never set the last error.
        EXPECT_EQ(kSentinel, GetLastError());
        RegCloseKey(m_key);
        DeleteTree(HKEY_LOCAL_MACHINE, m_path);
    }
    HKEY m_key = nullptr;
    std::string m_path;
};

TEST_F(RegistryTest, OpenAndCloseCodes) {
    Make(m_key, "Child");
    const std::string longName(256, 'x');
    // m_key is 3 levels below its root; NT keeps keys within 512 levels.
    std::string deepest, tooDeep;
    for (int i = 0; i < 509; ++i) deepest += "d\\";
    tooDeep = deepest + "d";
    struct Case { HKEY parent; const char* subKey; LONG rc; bool sameHandle; };
    const Case cases[] = {
        {m_key, "Missing", ERROR_FILE_NOT_FOUND, false}, {m_key, "\\Child", ERROR_BAD_PATHNAME, false},
        {m_key, deepest.c_str(), ERROR_FILE_NOT_FOUND, false}, {m_key, tooDeep.c_str(), ERROR_INVALID_PARAMETER, false},
        {m_key, "Child\\\\", ERROR_SUCCESS, false}, {m_key, "Child\\\\x", ERROR_BAD_PATHNAME, false},
        {m_key, longName.c_str(), ERROR_INVALID_PARAMETER, false},
        {m_key, "", ERROR_SUCCESS, false}, {m_key, nullptr, ERROR_SUCCESS, false},  // an ordinary key: a new handle
        {HKEY_LOCAL_MACHINE, "", ERROR_SUCCESS, true}, {HKEY_USERS, nullptr, ERROR_SUCCESS, true},  // a root: itself
        {kBadKey, "Child", ERROR_INVALID_HANDLE, false}, {reinterpret_cast<HKEY>(uintptr_t(0x80000004)), "x", ERROR_INVALID_HANDLE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subKey ? std::string(c.subKey).substr(0, 40) : "(null)");
        HKEY result = kBadKey;
        EXPECT_EQ(c.rc, RegOpenKeyExA(c.parent, c.subKey, 0, KEY_READ, &result));
        if (c.rc == ERROR_INVALID_HANDLE) {
            EXPECT_EQ(kBadKey, result);  // not a key: the result is left alone
        } else if (c.rc != ERROR_SUCCESS || c.sameHandle) {
            EXPECT_EQ(c.rc ? nullptr : c.parent, result);  // NT clears the result on failure
        } else {
            EXPECT_NE(c.parent, result);
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(result));
        }
    }
    // A closed handle is refused, never reused; closing a root leaves it usable.
    HKEY key = Create(m_key, "A");
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, QueryRc(key, "v"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_SUCCESS, OpenRc(HKEY_LOCAL_MACHINE, m_path.c_str()));
}

// Names compare without case and keep the case they were made with; keys
// enumerate in folded order ('_' before the letters), values in the order
// they were made, which replacing a value keeps.
TEST_F(RegistryTest, NamesAndOrder) {
    Make(m_key, "MixedCase\\Inner");
    DWORD disposition = 0;
    HKEY key = Create(m_key, "MIXEDCASE\\inner", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    for (const char* name : {"b", "Zeta", "A", "_x", "a1"}) Make(m_key, name);
    EXPECT_EQ((Names{"_x", "A", "a1", "b", "MixedCase", "Zeta"}), SubkeyNames(m_key));
    const std::pair<const char*, DWORD> sets[] = {{"ValName", 1}, {"Other", 2}, {"a\\b", 3}, {"VALNAME", 4}, {"Z", 5}};
    for (auto [name, value] : sets) ASSERT_EQ(ERROR_SUCCESS, SetDword(key, name, value));
    EXPECT_EQ(4u, GetDword(key, "valname"));
    EXPECT_EQ(3u, GetDword(key, "A\\B"));  // value names may hold a backslash
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "OTHER"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Other"));
    EXPECT_EQ((Names{"ValName", "a\\b", "Z"}), ValueNames(key));
    RegCloseKey(key);
}

// The library enumerates with buffers of 40, 64 and 80 characters: a name
// one shorter than the buffer fits, one as long does not. The A variant
// answers a name that does not fit with 234, the type and the data size,
// the name and its count untouched.
TEST_F(RegistryTest, EnumBufferEdges) {
    for (DWORD buffer : {40u, 64u, 80u}) {
        for (DWORD length : {buffer - 1, buffer}) {
            SCOPED_TRACE(std::to_string(length) + " in " + std::to_string(buffer));
            HKEY key = Create(m_key, "Edge");
            const std::string name(length, 'n');
            Make(key, name);
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("foobar"), 7));
            const bool fits = length < buffer;
            char out[100];
            memset(out, 0xBD, sizeof out);
            EXPECT_EQ(fits ? ERROR_SUCCESS : ERROR_MORE_DATA, RegEnumKeyA(key, 0, out, buffer));
            EXPECT_EQ(fits ? name : std::string(sizeof out, char(0xBD)), std::string(out, fits ? length : sizeof out));
            memset(out, 0xBD, sizeof out);
            DWORD cch = buffer, type = kSentinel, cb = kSentinel;
            EXPECT_EQ(fits ? ERROR_SUCCESS : ERROR_MORE_DATA, RegEnumValueA(key, 0, out, &cch, nullptr, &type, nullptr, &cb));
            EXPECT_EQ(fits ? length : buffer, cch);
            EXPECT_EQ(fits ? name[0] : char(0xBD), out[0]);
            EXPECT_EQ(DWORD(REG_SZ), type);
            EXPECT_EQ(7u, cb);
            RegCloseKey(key);
            DeleteTree(m_key, "Edge");
        }
    }
}

// Values come back with the bytes and type they were stored with; string
// data gets a zero after it only where it does not end in one and the
// buffer has room for it. The type and the size may be one variable.
TEST_F(RegistryTest, ValueBytesSizesAndTerminator) {
    const BYTE text[] = {'a', 'b', 'c', 'X'};  // three bytes stored without a terminator
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, "Text", 0, REG_SZ, text, 3));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, "Bin", 0, REG_BINARY, text, 3));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, "Term", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("ab\0"), 3));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, "None", 0, REG_SZ, text, 0));
    // bytes: the first 5 bytes of the buffer afterwards; '#' is 0xBD.
    struct Case { const char* name; bool withBuffer; DWORD size; LONG rc; DWORD sizeAfter, typeAfter; const char* bytes; };
    const Case cases[] = {
        {"Missing", false, 99, ERROR_FILE_NOT_FOUND, 0, kSentinel, "#####"},  // a size query's size is cleared
        {"Missing", true, 99, ERROR_FILE_NOT_FOUND, 99, kSentinel, "#####"},
        {"Text", false, 99, ERROR_SUCCESS, 3, REG_SZ, "#####"},
        {"Text", true, 2, ERROR_MORE_DATA, 3, REG_SZ, "#####"},
        {"Text", true, 3, ERROR_SUCCESS, 3, REG_SZ, "abc##"},     // no room: no zero
        {"Text", true, 5, ERROR_SUCCESS, 3, REG_SZ, "abc\0#"},    // room: one zero, uncounted
        {"Bin", true, 5, ERROR_SUCCESS, 3, REG_BINARY, "abc##"},  // binary: never
        {"Term", true, 5, ERROR_SUCCESS, 3, REG_MULTI_SZ, "ab\0##"},  // ends in zero: nothing more
        {"None", true, 5, ERROR_SUCCESS, 0, REG_SZ, "#####"},          // empty: nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        for (bool enumerate : {false, true}) {
            if (enumerate && (!c.withBuffer || c.rc != ERROR_SUCCESS)) continue;
            BYTE buffer[5];
            memset(buffer, 0xBD, sizeof buffer);
            DWORD size = c.size, type = kSentinel;
            if (enumerate) {
                // The same value through the enumeration, in creation order.
                const Names order = {"Text", "Bin", "Term", "None"};
                const DWORD index = DWORD(std::find(order.begin(), order.end(), c.name) - order.begin());
                char name[16];
                DWORD cch = sizeof name;
                EXPECT_EQ(c.rc, RegEnumValueA(m_key, index, name, &cch, nullptr, &type, buffer, &size));
            } else {
                EXPECT_EQ(c.rc, RegQueryValueExA(m_key, c.name, nullptr, &type, c.withBuffer ? buffer : nullptr, &size));
            }
            EXPECT_EQ(c.sizeAfter, size);
            EXPECT_EQ(c.typeAfter, type);
            std::string expect(c.bytes, 5);
            for (char& ch : expect) ch = ch == '#' ? char(0xBD) : ch;
            EXPECT_EQ(expect, std::string(reinterpret_cast<char*>(buffer), 5)) << enumerate;
        }
    }
    BYTE buffer[5];
    for (BYTE* data : {static_cast<BYTE*>(nullptr), buffer}) {
        DWORD both = sizeof buffer;  // the capacity in, the type, then the size out
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, "Text", nullptr, &both, data, &both));
        EXPECT_EQ(3u, both);
    }
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    struct Stored { const char* name; DWORD type; std::string data; };
    const Stored stored[] = {
        {"Embedded", REG_SZ, std::string("a\0b\0\0", 5)}, {"Empty", REG_EXPAND_SZ, ""}, {"", REG_SZ, std::string("default value", 14)},
        {"Odd type", 0x12345, "\x01\x02"}, {"Big", REG_BINARY, big},
    };
    for (const Stored& c : stored) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                                DWORD(c.data.size())));
        std::string out(c.data.size() + 1, char(0xBD));
        DWORD size = DWORD(c.data.size()), type = kSentinel;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, c.name, nullptr, &type, reinterpret_cast<BYTE*>(out.data()), &size));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.data.size(), size);
        EXPECT_EQ(c.data + char(0xBD), out);
    }
    // The default value is also reached with a NULL name.
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, nullptr, nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(14u, size);
}

// NT's A variant stores string data as counted, but counts a zero that
// follows it when the last counted byte is not zero, so that a caller who
// passes strlen(s) stores a terminated string; for every string type, and
// never when the byte after the data cannot be read.
TEST_F(RegistryTest, StringsCountTheZeroAfterThem) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, pages);
    ASSERT_EQ(0, mprotect(pages + pageSize, pageSize, PROT_NONE));
    char* atPageEnd = pages + pageSize - 3;
    memcpy(atPageEnd, "abc", 3);
    struct Case { const char* label; DWORD type; const char* data; DWORD cb, stored; };
    const Case cases[] = {
        {"strlen", REG_SZ, "abc", 3, 4},
        {"expandable", REG_EXPAND_SZ, "%a%", 3, 4},
        {"list", REG_MULTI_SZ, "a\0b", 3, 4},
        {"strlen - 1", REG_SZ, "abc", 2, 2},       // the next byte is not zero
        {"terminated", REG_SZ, "ab\0\0", 3, 3},    // the last counted byte is zero
        {"empty", REG_SZ, "", 0, 0},
        {"binary", REG_BINARY, "abc", 3, 3},
        {"number", REG_DWORD, "abc", 3, 3},
        {"unreadable next byte", REG_SZ, atPageEnd, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, c.label, 0, c.type, reinterpret_cast<const BYTE*>(c.data), c.cb));
        char out[8];
        memset(out, 0xBD, sizeof out);
        DWORD size = sizeof out;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, c.label, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size));
        EXPECT_EQ(c.stored, size);
        EXPECT_EQ(std::string(c.data, c.stored), std::string(out, size));
    }
    munmap(pages, 2 * pageSize);
}

// Create makes the whole path; delete refuses a key with subkeys; every
// operation but close on a handle whose key was deleted gives 1018, and a
// key made again under the same name is another key.
TEST_F(RegistryTest, CreateAndDeleteKeys) {
    DWORD disposition = kSentinel;
    RegCloseKey(Create(m_key, "a\\b\\c\\", KEY_ALL_ACCESS, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY doomed = Create(m_key, "A\\B\\C", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    SetDword(doomed, "v", 1);
    const std::pair<const char*, LONG> refusals[] = {
        {"a\\b", ERROR_ACCESS_DENIED}, {"Nothing", ERROR_FILE_NOT_FOUND}, {nullptr, ERROR_INVALID_PARAMETER}, {"\\a", ERROR_BAD_PATHNAME}};
    for (auto [path, rc] : refusals) EXPECT_EQ(rc, RegDeleteKeyA(m_key, path)) << (path ? path : "(null)");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(doomed, ""));  // the key behind the handle
    HKEY again = Create(m_key, "a\\b\\c");
    char name[16];
    DWORD cch = sizeof name;
    HKEY out = kBadKey;
    disposition = kSentinel;
    const LONG results[] = {
        QueryRc(doomed, "v"),
        SetDword(doomed, "v", 2),
        RegDeleteValueA(doomed, "v"),
        RegEnumKeyA(doomed, 0, name, sizeof name),
        RegEnumValueA(doomed, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
        RegOpenKeyExA(doomed, "", 0, KEY_READ, &out),
        RegOpenKeyExA(doomed, "Sub", 0, KEY_READ, &out),
        RegCreateKeyExA(doomed, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, &disposition),
        RegDeleteKeyA(doomed, ""),
        TmRegSetKeyRestriction(doomed, "", KEY_READ),
    };
    for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(ERROR_KEY_DELETED, results[i]) << "call " << i;
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(kSentinel, disposition);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryRc(again, "v"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed));
    RegCloseKey(again);

    // Keys lie at most 512 levels below their root (m_key is 3 down): a
    // deeper path is refused before any of it is made.
    std::string levels509, levels2000;
    for (int i = 0; i < 509; ++i) levels509 += "L\\";
    for (int i = 0; i < 2000; ++i) levels2000 += "M\\";
    for (const std::string& path : {levels509 + "L", levels2000}) {
        out = kBadKey;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(m_key, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenRc(m_key, path.substr(0, 1).c_str()));
    }
    HKEY deepest = Create(m_key, levels509);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(deepest, "Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(deepest));
}

// A handle keeps the access it was opened with. Making and deleting subkeys
// ask the key, not the handle: its stored allowance limits what it may be
// opened with, and what may be made or deleted below it.
TEST_F(RegistryTest, Access) {
    Make(m_key, "Locked\\Inner");
    SetDword(m_key, "v", 1);
    struct Case { REGSAM sam; LONG query, set, enumKey, enumValue; };
    const Case cases[] = {
        {KEY_READ, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS},
        {KEY_WRITE, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {KEY_QUERY_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
        {0x80000000u /* GENERIC_READ */, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS},
        {MAXIMUM_ALLOWED, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sam);
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, c.sam, &key));
        char name[8];
        DWORD cch = sizeof name;
        EXPECT_EQ(c.query, QueryRc(key, "v"));
        EXPECT_EQ(c.set, SetDword(key, "w", 2));
        EXPECT_EQ(c.set, RegDeleteValueA(key, "w"));
        EXPECT_EQ(c.enumKey, RegEnumKeyA(key, 0, name, sizeof name));
        EXPECT_EQ(c.enumValue, RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
        Make(key, "Made");
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "Made"));
        RegCloseKey(key);
    }
    ASSERT_EQ(ERROR_SUCCESS, TmRegSetKeyRestriction(m_key, "Locked", KEY_READ));
    ASSERT_EQ(ERROR_SUCCESS, TmRegSetKeyRestriction(m_key, "Locked\\Inner", KEY_ALL_ACCESS & ~DELETE));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, TmRegSetKeyRestriction(m_key, "Nothing", KEY_READ));
    HKEY key = kBadKey;
    DWORD disposition = kSentinel;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(m_key, "Locked", 0, 0x2001F, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(m_key, "locked", 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition));
    EXPECT_EQ(kSentinel, disposition);
    // Making a subkey needs KEY_CREATE_SUB_KEY in the key's allowance; nothing
    // of the path is made.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(m_key, "Locked\\New\\Deeper", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr));
    HKEY locked = Create(m_key, "Locked", KEY_READ);
    EXPECT_EQ(Names{"Inner"}, SubkeyNames(locked));
    // The same in a batch that writes, where the batch's copy of the key
    // answers.
    TmRegBeginBatch();
    EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "InBatch", 1));
    EXPECT_EQ(Names{"Inner"}, SubkeyNames(locked));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(locked, "New", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(m_key, "InBatch"));
    EXPECT_EQ(ERROR_SUCCESS, TmRegEndBatch());
    RegCloseKey(locked);
    // Deleting needs DELETE in the deleted key's own allowance.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(m_key, "Locked\\Inner"));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(m_key, "Locked", 0, MAXIMUM_ALLOWED, &key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(key, "v", 1));  // granted KEY_READ only
    // The key reopened through its handle stays restricted, also after
    // lookups below it have been cached.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ERROR_SUCCESS, OpenRc(key, "Inner"));
        EXPECT_EQ(ERROR_ACCESS_DENIED, OpenRc(key, "", KEY_WRITE));
    }
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, TmRegSetKeyRestriction(m_key, "Locked", KEY_ALL_ACCESS | MAXIMUM_ALLOWED));
    EXPECT_EQ(ERROR_SUCCESS, OpenRc(m_key, "Locked", 0x2001F));
}

// The local machine by any spelling of its name is the registry itself.
TEST_F(RegistryTest, ConnectRegistry) {
    char host[256] = "\\\\";
    gethostname(host + 2, sizeof host - 3);
    std::string upper = host;
    for (char& c : upper) c = char(toupper(c));
    HKEY key = kBadKey;
    for (const char* machine : {static_cast<const char*>(nullptr), "", static_cast<const char*>(host + 2), upper.c_str()}) {
        EXPECT_EQ(ERROR_SUCCESS, RegConnectRegistryA(machine, HKEY_LOCAL_MACHINE, &key)) << (machine ? machine : "(null)");
        EXPECT_EQ(std::exchange(key, kBadKey), HKEY_LOCAL_MACHINE);
    }
    EXPECT_EQ(ERROR_BAD_NETPATH, RegConnectRegistryA("\\\\nosuchhost", HKEY_LOCAL_MACHINE, &key));
    EXPECT_EQ(kBadKey, key);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegConnectRegistryA(nullptr, m_key, &key));
}

// An index walk continues from where the handle stopped; whatever changed
// in between, by this process or another, the answer at an index is the
// one a fresh handle gives.
TEST_F(RegistryTest, EnumerationFollowsChanges) {
    for (const char* name : {"b", "d", "f", "h"}) Make(m_key, name);
    for (const char* name : {"v1", "v2", "v3", "v4"}) SetDword(m_key, name, 0);
    const std::function<void()> changes[] = {
        [&] { Make(m_key, "a"); SetDword(m_key, "v0", 0); },
        [&] { RegDeleteKeyA(m_key, "a"); RegDeleteValueA(m_key, "v1"); },
        [&] { EXPECT_EQ("", InChild([&] { Make(m_key, "c"); SetDword(m_key, "v1", 0); return std::string(); })); },
        [&] { EXPECT_EQ("", InChild([&] { RegDeleteKeyA(m_key, "b"); RegDeleteValueA(m_key, "v2"); return std::string(); })); },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE(i);
        HKEY walker;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(m_key, "", 0, KEY_READ, &walker));
        char name[16];
        DWORD cch;
        auto enumValue = [&](DWORD index) {
            cch = sizeof name;
            return RegEnumValueA(walker, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        };
        for (DWORD index : {0u, 1u}) {
            ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(walker, index, name, sizeof name));
            ASSERT_EQ(ERROR_SUCCESS, enumValue(index));
        }
        changes[i]();
        const Names keys = SubkeyNames(m_key), values = ValueNames(m_key);
        auto seen = [&](LONG rc) {
            return rc == ERROR_NO_MORE_ITEMS ? std::string("(none)") : rc ? "code " + std::to_string(rc) : std::string(name);
        };
        for (DWORD index : {2u, 3u, 1u, 2u}) {
            EXPECT_EQ(index < keys.size() ? keys[index] : "(none)", seen(RegEnumKeyA(walker, index, name, sizeof name))) << index;
            EXPECT_EQ(index < values.size() ? values[index] : "(none)", seen(enumValue(index))) << index;
        }
        RegCloseKey(walker);
    }
}

// Reads repeat from memory only while no process has committed anything:
// a change made by another process is seen by the very next call.
TEST_F(RegistryTest, ReadsSeeOtherProcessesAtOnce) {
    Make(m_key, "Sub");
    SetDword(m_key, "V", 1);
    struct Case { std::function<void()> change; LONG openRc, queryRc; DWORD value; bool writeHere = false; };
    const Case cases[] = {
        {[&] { SetDword(m_key, "V", 2); }, ERROR_SUCCESS, ERROR_SUCCESS, 2},
        {[&] { TmRegSetKeyRestriction(m_key, "Sub", KEY_READ); }, ERROR_ACCESS_DENIED, ERROR_SUCCESS, 2},
        {[&] { TmRegSetKeyRestriction(m_key, "Sub", KEY_ALL_ACCESS | MAXIMUM_ALLOWED); RegDeleteKeyA(m_key, "Sub"); },
         ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, 2},
        {[&] { Make(m_key, "Sub"); RegDeleteValueA(m_key, "V"); }, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, kSentinel},
        // A value read as missing, then set elsewhere.
        {[&] { SetDword(m_key, "V", 5); }, ERROR_SUCCESS, ERROR_SUCCESS, 5},
        // A key deleted there, then a value written here: this process's
        // own write does not make what it knew of the keys current again.
        {[&] { RegDeleteKeyA(m_key, "Sub"); }, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, 5, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        for (int warm = 0; warm < 3; ++warm) {
            OpenRc(m_key, "Sub", 0x2001F);
            GetDword(m_key, "V");
        }
        EXPECT_EQ("", InChild([&] { cases[i].change(); return std::string(); }));
        if (cases[i].writeHere) {
            EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "W", 1));
        }
        EXPECT_EQ(cases[i].openRc, OpenRc(m_key, "Sub", 0x2001F));
        LONG rc;
        EXPECT_EQ(cases[i].value, GetDword(m_key, "V", &rc));
        EXPECT_EQ(cases[i].queryRc, rc);
    }
}

// SQLite's write calls, replaced in a child to stand for a full disk or a
// process stopped inside a write; null puts the real ones back.
ssize_t FailWrite(int, const void*, size_t) { return errno = ENOSPC, -1; }
ssize_t FailPwrite(int, const void*, size_t, off_t) { return errno = ENOSPC, -1; }
int g_stallPipe = -1;
ssize_t StallWrite(int, const void*, size_t) {
    if (write(g_stallPipe, "s", 1) < 0) _exit(5);
    for (;;) pause();
}
ssize_t StallPwrite(int fd, const void* p, size_t n, off_t) { return StallWrite(fd, p, n); }

void ReplaceWrites(ssize_t (*write)(int, const void*, size_t) = nullptr,
                   ssize_t (*pwrite)(int, const void*, size_t, off_t) = nullptr) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    vfs->xSetSystemCall(vfs, "write", reinterpret_cast<sqlite3_syscall_ptr>(write));
    vfs->xSetSystemCall(vfs, "pwrite", reinterpret_cast<sqlite3_syscall_ptr>(pwrite));
    vfs->xSetSystemCall(vfs, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(pwrite));
}

// A writer killed in the middle of its work: inside SQLite's write to the
// file, or between the calls of a batch whose transaction is open. Its
// locks go with it and nothing of its transaction is kept.
TEST_F(RegistryTest, KilledInsideAWrite) {
    for (bool inBatch : {false, true}) {
        if (!inBatch && tmtest::UsingPostgres()) continue;  // SQLite's own file writes
        SCOPED_TRACE(inBatch ? "in a batch" : "inside a file write");
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        pid_t pid = fork();
        if (pid == 0) {
            g_stallPipe = fds[1];
            if (inBatch) {
                TmRegBeginBatch();
                SetDword(m_key, "Partial", 1);
                SetDword(Create(m_key, "MadeInBatch"), "Partial", 1);
                QueryRc(m_key, "Missing");  // sends what the batch holds
                StallWrite(0, nullptr, 0);
            }
            ReplaceWrites(StallWrite, StallPwrite);
            SetDword(m_key, "Partial", 1);
            _exit(0);
        }
        pollfd pfd = {fds[0], POLLIN, 0};
        ASSERT_EQ(1, poll(&pfd, 1, 20000)) << "the child never reached its write";
        // The child now holds the writer lock and the store's write lock.
        kill(pid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, tmtest::WaitProgram(pid));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "After", 2));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "the dead writer's locks held on";
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryRc(m_key, "Partial"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenRc(m_key, "MadeInBatch"));
        EXPECT_EQ(2u, GetDword(m_key, "After"));
        close(fds[0]);
        close(fds[1]);
    }
}

// A full disk fails the call, or the batch's commit, with nothing of it
// kept; a database file this process may not write is read, and writes
// give ERROR_ACCESS_DENIED.
TEST_F(RegistryTest, DiskFullAndReadOnlyFile) {
    if (tmtest::UsingPostgres()) GTEST_SKIP() << "SQLite's own file writes";
    SetDword(m_key, "Old", 1);
    for (bool batch : {false, true}) {
        EXPECT_EQ("", InChild([&] {
            std::string failures;
            if (batch) {
                TmRegBeginBatch();
                CHILD_EXPECT(SetDword(m_key, "New", 2) == ERROR_SUCCESS);
            }
            ReplaceWrites(FailWrite, FailPwrite);
            CHILD_EXPECT((batch ? TmRegEndBatch() : SetDword(m_key, "New", 2)) == ERROR_DISK_FULL);
            CHILD_EXPECT(GetDword(m_key, "Old") == 1u);
            ReplaceWrites();
            CHILD_EXPECT(QueryRc(m_key, "New") == ERROR_FILE_NOT_FOUND);
            CHILD_EXPECT(SetDword(m_key, "New", 2) == ERROR_SUCCESS);
            return failures;
        })) << batch;
        EXPECT_EQ(2u, GetDword(m_key, "New"));
        RegDeleteValueA(m_key, "New");
    }
    EXPECT_EQ("", InChild([&] {
        std::string failures;
        sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
        static sqlite3_syscall_ptr realOpen = vfs->xGetSystemCall(vfs, "open");
        vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(+[](const char* path, int flags, int mode) {
            if (strcmp(path, TmRegistryPath()) == 0 && (flags & O_ACCMODE) != O_RDONLY) return errno = EACCES, -1;
            return reinterpret_cast<int (*)(const char*, int, int)>(realOpen)(path, flags, mode);
        }));
        CHILD_EXPECT(GetDword(m_key, "Old") == 1u);
        CHILD_EXPECT(SetDword(m_key, "Old", 5) == ERROR_ACCESS_DENIED);
        CHILD_EXPECT(RegDeleteKeyA(m_key, "") == ERROR_ACCESS_DENIED);
        CHILD_EXPECT(GetDword(m_key, "Old") == 1u);
        return failures;
    }));
}

// A database that cannot be opened, is not a database, or is another
// program's, gives registry codes; a later call opens it once it can be.
// Another program's database is left exactly as it was, journal mode
// included, and tmctl env says what is wrong with it.
TEST(RegistryStoreTest, UnusableDatabaseFiles) {
    if (tmtest::UsingPostgres()) GTEST_SKIP() << "database files";
    const std::string dir = tmtest::MakeDir("unusable"), foreign = dir + "/foreign.db";
    tmtest::WriteFile(dir + "/corrupt.db", std::string(8192, 'Z'));
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(foreign.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE keys(k); CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    const std::string foreignBytes = tmtest::ReadFile(foreign);
    struct Case { std::string database; std::vector<std::string> commands; std::string output; const char* env; };
    const Case cases[] = {
        // A file that does not exist is not made by a registry call, even
        // once its directory is there.
        {dir + "/later/reg.db", {"create:K", "mkdir:" + dir + "/later", "set:K:v:7", "get:K:v"}, "1011\n0\n1011\n1011 0\n",
         "(cannot be used: "},
        {dir, {"create:K", "get:K:v"}, "1016\n1016 0\n",
         "(cannot be used: ERROR_REGISTRY_IO_FAILED: the registry database cannot be read or written)"},
        {dir + "/corrupt.db", {"create:K", "get:K:v"}, "1009\n1009 0\n", "(cannot be used: ERROR_BADDB: the registry database is corrupt)"},
        {foreign, {"create:K", "set:K:v:7", "get:K:v"}, "1017\n1017\n1017 0\n", "(cannot be used: ERROR_NOT_REGISTRY_FILE: not a registry database)"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> env = {"TAMARAK_REGISTRY=" + c.database};
        tmtest::ProcessResult r = tmtest::RunProgram(tmtest::HelperPath("registry_worker"), c.commands, env);
        EXPECT_EQ(0, r.exitCode) << c.database << r.err;
        EXPECT_EQ(c.output, r.out) << c.database;
        r = tmtest::RunProgram(tmtest::TmctlPath(), {"env"}, env);
        const std::string registryLine = "registry:       " + c.database + (*c.env ? " " : "\n");
        EXPECT_NE(std::string::npos, r.out.find(registryLine + c.env)) << r.out;
    }
    EXPECT_TRUE(foreignBytes == tmtest::ReadFile(foreign)) << "another program's database was changed";
    EXPECT_FALSE(tmtest::FileExists(foreign + "-wal"));
    // A database that cannot be opened leaves nothing of SQLite's behind
    // in the process (the first failure may set up what SQLite keeps).
    const std::string target = dir + "/copy.db";
    EXPECT_NE(ERROR_SUCCESS, TmRegCopyRegistry(dir.c_str(), target.c_str()));
    const sqlite3_int64 used = sqlite3_memory_used();
    for (int i = 0; i < 20; ++i) EXPECT_NE(ERROR_SUCCESS, TmRegCopyRegistry(dir.c_str(), target.c_str()));
    EXPECT_EQ(used, sqlite3_memory_used());
    // An empty TAMARAK_REGISTRY names no location: the default one is used.
    const std::string state = dir + "/state";
    EXPECT_EQ("1011 " + state + "/tamarak/registry.db: the file does not exist (create it with 'tmctl reg init')\n",
              tmtest::RunProgram(tmtest::HelperPath("registry_worker"), {"check"},
                                 {"TAMARAK_REGISTRY=", "XDG_STATE_HOME=" + state}).out);
}

// TmRegCreateRegistry makes a registry only where there is none, and what
// it makes is one that other processes use; TmRegCheckRegistry names the
// path and the reason. The sentinel text shows whether the check wrote.
TEST(RegistryStoreTest, CreateAndCheckRegistry) {
    const std::string dir = tmtest::MakeDir("create"), made = dir + "/a/b/reg.db", foreign = dir + "/foreign.db";
    tmtest::WriteFile(dir + "/plain", "text");
    tmtest::WriteFile(dir + "/empty.db", "");
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(foreign.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE t(x);", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    const std::string foreignBytes = tmtest::ReadFile(foreign);
    struct Case { std::string path; LONG expected; };
    const Case cases[] = {
        {made, ERROR_SUCCESS},                      // directories made on the way
        {made, ERROR_ALREADY_EXISTS},               // and left alone the second time
        {dir + "/empty.db", ERROR_SUCCESS},         // an empty file gets the tables
        {foreign, ERROR_NOT_REGISTRY_FILE},         // another program's database
        {dir + "/plain/reg.db", ERROR_PATH_NOT_FOUND},  // a file on the way
        {dir, ERROR_ACCESS_DENIED},                 // a directory
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, TmRegCreateRegistry(c.path.c_str())) << c.path;
    EXPECT_TRUE(foreignBytes == tmtest::ReadFile(foreign)) << "another program's database was changed";

    const std::string worker = tmtest::HelperPath("registry_worker");
    for (const std::string& path : {made, dir + "/empty.db"}) {
        EXPECT_EQ("0\n0\n0 7\n", tmtest::RunProgram(worker, {"create:K", "set:K:v:7", "get:K:v"},
                                                     {"TAMARAK_REGISTRY=" + path}).out) << path;
    }

    // This process's registry (the sandbox's) is there and usable.
    char text[256];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(ERROR_SUCCESS, TmRegCheckRegistry(text, sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, TmRegCreateRegistry(nullptr));
    // A process whose registry is missing: every call fails, nothing is
    // made until it asks.
    const std::string missing = dir + "/missing.db";
    const std::vector<std::string> steps = {"get:K:v", "check", "init", "init", "check", "set:K:v:7", "get:K:v"};
    EXPECT_EQ("1011 0\n"
              "1011 " + missing + ": the file does not exist (create it with 'tmctl reg init')\n"
              "0\n183\n0 \n0\n0 7\n",
              tmtest::RunProgram(worker, steps, {"TAMARAK_REGISTRY=" + missing}).out);
    EXPECT_EQ("1017 " + foreign + ": another program's database, not a registry\n",
              tmtest::RunProgram(worker, {"check"}, {"TAMARAK_REGISTRY=" + foreign}).out);
}

// The same for PostgreSQL locations: a server that cannot be reached, a
// schema name that cannot be used, a schema that holds another program's
// tables (left exactly as it was, and not taken over on a later call).
TEST(RegistryStoreTest, UnusableServerLocations) {
    if (!tmtest::UsingPostgres()) GTEST_SKIP() << "PostgreSQL locations";
    const std::string foreign = tmtest::NewRegistryLocation("foreign");
    const size_t schemaAt = foreign.find("schema=") + 7, hostAt = foreign.find("host=") + 5;
    const std::string schema = foreign.substr(schemaAt);
    ASSERT_EQ("", tmtest::ServerQuery("CREATE SCHEMA " + schema + "; CREATE TABLE " + schema + ".keys(k int);"
                                      "CREATE TABLE " + schema + ".t(x int); INSERT INTO " + schema + ".t VALUES (1)"));
    const std::string tablesQuery = "SELECT (SELECT string_agg(table_name::text, ',' ORDER BY table_name) FROM "
                                    "information_schema.tables WHERE table_schema = '" + schema + "'), "
                                    "(SELECT count(*) FROM " + schema + ".t)";
    const std::string tablesBefore = tmtest::ServerQuery(tablesQuery);
    std::string unreachable = foreign, badName = foreign.substr(0, schemaAt) + "9starts_with_a_digit";
    unreachable.replace(hostAt, foreign.find('&', hostAt) - hostAt, "/nonexistent/socket");
    struct Case { std::string location; std::string output; const char* env; };
    const Case cases[] = {
        {unreachable, "1016\n1016\n1016 0\n", "(cannot be used: ERROR_REGISTRY_IO_FAILED: the registry database cannot be read or written)"},
        {badName, "161\n161\n161 0\n", "(cannot be used: ERROR_BAD_PATHNAME: the path is not valid)"},
        {foreign, "1017\n1017\n1017 0\n", "(cannot be used: ERROR_NOT_REGISTRY_FILE: not a registry database)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        const std::vector<std::string> env = {"TAMARAK_REGISTRY=" + c.location};
        tmtest::ProcessResult r = tmtest::RunProgram(tmtest::HelperPath("registry_worker"), {"create:K", "set:K:v:7", "get:K:v"}, env);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(c.output, r.out);
        r = tmtest::RunProgram(tmtest::TmctlPath(), {"env"}, env);
        EXPECT_NE(std::string::npos, r.out.find(c.env)) << r.out;
    }
    EXPECT_EQ(tablesBefore, tmtest::ServerQuery(tablesQuery)) << "another program's schema was changed";
    EXPECT_EQ("keys,t|1\n", tablesBefore);
}

// Processes that meet a new database file, or a new PostgreSQL schema, at
// the same moment: one makes the tables, none fails.
TEST(RegistryStoreTest, NewDatabaseOpenedByManyAtOnce) {
    const std::string location = tmtest::NewRegistryLocation("fresh"), dir = tmtest::MakeDir("fresh");
    ASSERT_FALSE(location.empty());
    // An empty file is taken for a registry without its tables yet.
    if (!tmtest::UsingPostgres()) tmtest::WriteFile(location, "");
    const std::string env = "TAMARAK_REGISTRY=" + location;
    const std::string worker = tmtest::HelperPath("registry_worker");
    std::vector<pid_t> pids;
    std::vector<std::string> gets;
    std::string expect;
    for (int i = 0; i < 6; ++i) {
        const std::string n = std::to_string(i);
        pids.push_back(tmtest::StartProgram(worker, {"set:Shared\\Key:P" + n + ":" + n}, {env}, dir + "/out" + n));
        gets.push_back("get:Shared\\Key:P" + n);
        expect += "0 " + n + "\n";
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(0, tmtest::WaitProgram(pids[i]));
        EXPECT_EQ("0\n", tmtest::ReadFile(dir + "/out" + std::to_string(i)));
    }
    EXPECT_EQ(expect, tmtest::RunProgram(worker, gets, {env}).out);
}

// A child of fork uses a connection of its own: the parent's goes on
// working, and the child's works on when it outlives the parent (and on
// SQLite holds real locks, else a last closer deletes the log it is
// writing to).
TEST_F(RegistryTest, ForkedChildren) {
    SetDword(m_key, "Parent", 1);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (DWORD i = 0; !stop; ++i) SetDword(m_key, "Busy", i);
    });
    for (DWORD i = 0; i < 5; ++i) {
        EXPECT_EQ("", InChild([&] {
            std::string failures;
            CHILD_EXPECT(GetDword(m_key, "Parent") == 1u);
            CHILD_EXPECT(SetDword(m_key, "Child", i) == ERROR_SUCCESS);
            return failures;
        }));
        EXPECT_EQ(i, GetDword(m_key, "Child"));
    }
    stop = true;
    writer.join();
    EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "Parent", 2));

    const std::string database = tmtest::NewRegistryLocation("outlive"), dir = tmtest::MakeDir("outlive");
    const std::string worker = tmtest::HelperPath("registry_worker"), env = "TAMARAK_REGISTRY=" + database;
    ASSERT_EQ(ERROR_SUCCESS, TmRegCreateRegistry(database.c_str()));
    EXPECT_EQ(0, tmtest::WaitProgram(tmtest::StartProgram(worker, {"outlive:K:" + dir}, {env})));
    tmtest::WaitForText(dir + "/ready", "");
    ASSERT_EQ("0", tmtest::ReadFile(dir + "/ready"));
    if (!tmtest::UsingPostgres()) {
        // Another program opens and closes the database: as the only holder
        // it would checkpoint and remove the log if the child held no lock.
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(database.c_str(), &db));
        sqlite3_exec(db, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    tmtest::WriteFile(dir + "/go", "");
    tmtest::WaitForText(dir + "/result", "");
    EXPECT_EQ("0", tmtest::ReadFile(dir + "/result"));
    EXPECT_EQ("0 2\n0 1\n", tmtest::RunProgram(worker, {"get:K:B", "get:K:A"}, {env}).out);
}

// What another process reads of a value now: its number, or "missing".
std::string SeenElsewhere(HKEY key, const char* name) {
    return InChild([&] {
        LONG rc;
        DWORD value = GetDword(key, name, &rc);
        return rc == ERROR_SUCCESS ? std::to_string(value) : rc == ERROR_FILE_NOT_FOUND ? "missing" : "code " + std::to_string(rc);
    });
}

// A batch's calls share transactions: the thread sees its own writes at
// once, other processes at each commit (every 256 calls, at the end, or
// when another thread of the process calls).
TEST_F(RegistryTest, BatchesShareTransactions) {
    TmRegBeginBatch();
    EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "A", 1));
    EXPECT_EQ(1u, GetDword(m_key, "A"));
    EXPECT_EQ("missing", SeenElsewhere(m_key, "A"));
    // A failing call undoes only itself.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software"));
    // Reads that fail undo nothing before them and leave the batch going.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryRc(m_key, "Missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenRc(m_key, "Missing"));
    char name[16];
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(m_key, 5, name, sizeof name));
    EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "AfterReads", 4));
    EXPECT_EQ(1u, GetDword(m_key, "A"));
    EXPECT_EQ("missing", SeenElsewhere(m_key, "AfterReads"));
    // Another thread's calls stand alone, after the batch so far.
    std::thread([&] {
        EXPECT_EQ(kSentinel, GetDword(m_key, "Other"));
        EXPECT_EQ(ERROR_SUCCESS, SetDword(m_key, "FromThread", 3));
    }).join();
    EXPECT_EQ("1", SeenElsewhere(m_key, "A"));
    EXPECT_EQ("3", SeenElsewhere(m_key, "FromThread"));
    EXPECT_EQ("4", SeenElsewhere(m_key, "AfterReads"));
    for (DWORD i = 0; i < 300; ++i) SetDword(m_key, ("v" + std::to_string(i)).c_str(), i);
    EXPECT_EQ("255", SeenElsewhere(m_key, "v255"));
    EXPECT_EQ("missing", SeenElsewhere(m_key, "v256"));
    // Batches nest: only the outermost end commits.
    TmRegBeginBatch();
    EXPECT_EQ(ERROR_SUCCESS, TmRegEndBatch());
    EXPECT_EQ("missing", SeenElsewhere(m_key, "v299"));
    EXPECT_EQ(ERROR_SUCCESS, TmRegEndBatch());
    EXPECT_EQ("299", SeenElsewhere(m_key, "v299"));
    // Outside a batch every call commits alone again.
    SetDword(m_key, "B", 2);
    EXPECT_EQ("2", SeenElsewhere(m_key, "B"));
    EXPECT_EQ(ERROR_SUCCESS, TmRegEndBatch());  // unmatched: nothing to do
}

}  // namespace
