//===-- tests/registry/TreeFileTest.cpp - Saving and restoring subtrees ---===//
#include <cstring>
#include <string>
#include <vector>

#include "logging/LogFixture.h"
#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

// A stream over bytes in memory that can be made to fail: reads past
// errorAt fail, ftell or a seek back can be refused, and after a seek back
// the data can be cut short or turn to errors. Writes past writeLimit fail.
struct Cookie {
    std::string data;
    size_t pos = 0;
    long errorAt = -1;
    bool tellFails = false;
    bool seekSetFails = false;
    long cutOnSeek = -1;
    bool errorAfterSeek = false;
    size_t writeLimit = SIZE_MAX;
    std::string written;
};

ssize_t CookieRead(void* c, char* buf, size_t n) {
    Cookie& k = *static_cast<Cookie*>(c);
    if (k.errorAt >= 0 && k.pos >= static_cast<size_t>(k.errorAt)) return -1;
    size_t end = k.data.size();
    if (k.errorAt >= 0 && static_cast<size_t>(k.errorAt) < end) end = k.errorAt;
    size_t take = k.pos < end ? std::min(n, end - k.pos) : 0;
    memcpy(buf, k.data.data() + k.pos, take);
    k.pos += take;
    return static_cast<ssize_t>(take);
}

ssize_t CookieWrite(void* c, const char* buf, size_t n) {
    Cookie& k = *static_cast<Cookie*>(c);
    // Takes what fits, as a full disk does, and then fails.
    size_t take = std::min(n, k.writeLimit - k.written.size());
    if (take == 0) return -1;
    k.written.append(buf, take);
    return static_cast<ssize_t>(take);
}

int CookieSeek(void* c, off64_t* offset, int whence) {
    Cookie& k = *static_cast<Cookie*>(c);
    if (k.tellFails) return -1;
    if (whence == SEEK_CUR && *offset == 0) {
        *offset = static_cast<off64_t>(k.pos);
        return 0;
    }
    if (whence != SEEK_SET || k.seekSetFails) return -1;
    k.pos = static_cast<size_t>(*offset);
    if (k.cutOnSeek >= 0) k.data.resize(k.cutOnSeek);
    if (k.errorAfterSeek) k.errorAt = 0;
    return 0;
}

// Unbuffered, so that every read, tell and seek reaches the cookie.
FILE* OpenCookie(Cookie& cookie, const char* mode) {
    FILE* fp = fopencookie(&cookie, mode, cookie_io_functions_t{CookieRead, CookieWrite, CookieSeek, nullptr});
    setvbuf(fp, nullptr, _IONBF, 0);
    return fp;
}

class TreeFileTest : public LogTest {
protected:
    // The texts of the main log's lines of one type.
    std::vector<std::string> Logged(char type = 'E') {
        std::vector<std::string> texts;
        for (const std::string& line : MainLines()) {
            size_t space = line.find(' ');
            size_t hex = line.find(" 0x", space);
            if (space == std::string::npos || hex == std::string::npos || line[space + 1] != type) continue;
            texts.push_back(line.substr(hex + 12));
        }
        return texts;
    }
    void ClearLog() { WriteFile(dir_ + "/TM041110.log", ""); }

    DWORD ReadBytes(CRegistry& reg, const std::string& bytes, long* end = nullptr) {
        const std::string path = SandboxDir() + "/input.bin";
        WriteFile(path, bytes);
        FILE* fp = tm_fopen(path.c_str(), "rb");
        DWORD rc = reg.ReadTree(fp);
        if (end) *end = ftell(fp);
        fclose(fp);
        return rc;
    }
};

TEST_F(TreeFileTest, TheExampleFileIsWrittenAndReadByteForByte) {
    CRegistry reg, a;
    FreshKey(reg, "Example");
    Sub(a, reg.m_hKey, "A");
    ASSERT_EQ(a.SetValue("N", DWORD(5)), 0);
    ASSERT_EQ(reg.SetValue("S", "x"), 0);
    DWORD rc = 0xDEADBEEF;
    const std::string golden = Golden("tree_example.bin");
    ASSERT_EQ(golden, std::string(">A\0DN\0\x05\0\0\0<SS\0x\0", 16));
    EXPECT_EQ(TreeBytes(reg, &rc), golden);
    EXPECT_EQ(rc, 0u);

    CRegistry empty;
    FreshKey(empty, "ExampleBack");
    EXPECT_EQ(ReadBytes(empty, golden), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(SnapshotOf(empty.m_hKey), SnapshotOf(reg.m_hKey));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(TreeFileTest, EachValueTypeAsARecord) {
    struct Case { const char* label; DWORD type; std::string stored; std::string record; };
    const Case kCases[] = {
        {"sz", REG_SZ, std::string("abc\0", 4), std::string("Sv\0abc\0", 7)},
        // Strings not ending in exactly one zero are written as their text
        // up to the first zero and one zero, so that they read back.
        {"sz unterminated", REG_SZ, "abc", std::string("Sv\0abc\0", 7)},
        {"sz empty data", REG_SZ, "", std::string("Sv\0\0", 4)},
        {"sz inner zero", REG_SZ, std::string("ab\0cd\0", 6), std::string("Sv\0ab\0", 6)},
        {"dword", REG_DWORD, "\x78\x56\x34\x12", std::string("Dv\0\x78\x56\x34\x12", 7)},
        {"dword short", REG_DWORD, "\x01\x02", std::string("Dv\0\x01\x02\0\0", 7)},
        {"multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6), std::string("Mv\0a\0bc\0\0", 9)},
        {"multi unterminated", REG_MULTI_SZ, "ab", std::string("Mv\0ab\0\0", 7)},
        {"multi empty", REG_MULTI_SZ, "", std::string("Mv\0\0", 4)},
    };
    for (const Case& c : kCases) {
        CRegistry reg;
        FreshKey(reg, "Types");
        Store(reg.m_hKey, "v", c.type, c.stored);
        EXPECT_EQ(TreeBytes(reg), c.record) << c.label;
    }
}

TEST_F(TreeFileTest, WhatIsLeftOutOfTheFile) {
    CRegistry reg, counters, lower, deep, closed, value;
    FreshKey(reg, "LeftOut");
    HKEY c = Sub(counters, reg.m_hKey, "Counters");
    Sub(deep, c, "Inside");
    ASSERT_EQ(counters.SetValue("n", DWORD(1)), 0);
    Sub(lower, reg.m_hKey, "Kept\\counters");
    Sub(closed, reg.m_hKey, "Closed\\Hidden");
    ASSERT_EQ(TmRegSetKeyRestriction(reg.m_hKey, "Closed", KEY_READ), 0);
    ASSERT_EQ(reg.SetValue("b", "\x01", 1), 0);
    ASSERT_EQ(reg.SetValue("s", "t"), 0);
    // Names of 64 characters or more end the enumeration: what follows
    // them in the same key is left out too.
    const std::string name63(63, 'n'), name64(64, 'o');
    Store(reg.m_hKey, name63.c_str(), REG_SZ, std::string("1", 2));
    Store(reg.m_hKey, name64.c_str(), REG_SZ, std::string("2", 2));
    Store(reg.m_hKey, "after", REG_SZ, std::string("3", 2));
    std::string expected = std::string(">Closed\0<>Kept\0>counters\0<<Ss\0t\0S", 33) + name63 +
                           std::string("\0" "1\0", 3);
    DWORD rc = 0xDEADBEEF;
    EXPECT_EQ(TreeBytes(reg, &rc), expected);
    EXPECT_EQ(rc, 0u);
}

TEST_F(TreeFileTest, WriteFailuresStopWithWriteFault) {
    CRegistry reg, a;
    FreshKey(reg, "WriteFails");
    Sub(a, reg.m_hKey, "A");
    ASSERT_EQ(a.SetValue("N", DWORD(5)), 0);
    CStringArray list;
    list.Add("one");
    list.Add("two");
    ASSERT_EQ(reg.SetValue("L", list), 0);
    ASSERT_EQ(reg.SetValue("S", "x"), 0);
    const std::string full = TreeBytes(reg);
    ASSERT_EQ(full.size(), 28u);
    // Every cut inside the file, at each kind of write.
    for (size_t limit = 0; limit <= full.size(); ++limit) {
        Cookie cookie;
        cookie.writeLimit = limit;
        FILE* fp = OpenCookie(cookie, "wb");
        DWORD rc = reg.WriteTree(fp);
        fclose(fp);
        EXPECT_EQ(rc, limit < full.size() ? static_cast<DWORD>(ERROR_WRITE_FAULT) : 0u) << limit;
        EXPECT_EQ(cookie.written, full.substr(0, cookie.written.size())) << limit;
    }
}

TEST_F(TreeFileTest, RoundTripsOfEveryShape) {
    CRegistry source, one, two;
    FreshKey(source, "RoundTrip");
    HKEY k1 = Sub(one, source.m_hKey, "One");
    Sub(two, k1, "Two with spaces\\Three");
    ASSERT_EQ(source.SetValue("", "default value"), 0);
    ASSERT_EQ(source.SetValue("escapes", "tab\there\\ \xe9\x01"), 0);
    ASSERT_EQ(one.SetValue("max", DWORD(0xFFFFFFFF)), 0);
    CStringArray list;
    for (const char* e : {"first", "sec ond", "\xff\x7f"}) list.Add(e);
    ASSERT_EQ(one.SetValue("list", list), 0);
    ASSERT_EQ(two.SetValue("empty list", CStringArray()), 0);
    ASSERT_EQ(two.SetValue("big", std::string(1 << 20, 'q').c_str()), 0);

    const std::string path = SandboxDir() + "/roundtrip.tree";
    FILE* fp = tm_fopen(path.c_str(), "wb");
    ASSERT_EQ(source.WriteTree(fp), 0u);
    fclose(fp);
    CRegistry back;
    FreshKey(back, "RoundTripBack");
    fp = tm_fopen(path.c_str(), "rb");
    EXPECT_EQ(back.ReadTree(fp), static_cast<DWORD>(ERROR_HANDLE_EOF));
    fclose(fp);
    EXPECT_EQ(DumpOf(back), DumpOf(source));
    EXPECT_EQ(SnapshotOf(back.m_hKey), SnapshotOf(source.m_hKey));
}

// Bad input: every problem ends the restore with the logged reason, and
// what was read before it stays in the registry.
TEST_F(TreeFileTest, BadFilesStopWithTheirReason) {
    struct Case {
        const char* label;
        std::string bytes;
        DWORD result;
        std::vector<std::string> messages;
        const char* dump;  // the key afterwards
        long end;          // the stream's position afterwards, -1 not checked
    };
    const std::string name300(300, 'k');
    const Case kCases[] = {
        {"empty", "", ERROR_HANDLE_EOF, {}, "\n", 0},
        {"end marker at the top", std::string("Sa\0b\0<Sc\0d\0", 11), 0, {}, "a (REG_SZ) : b\n\n", 6},
        {"unknown marker", std::string("Xjunk\0Sa\0b\0", 11), ERROR_HANDLE_EOF, {}, "a (REG_SZ) : b\n\n", -1},
        {"name without its zero", "Sabc", ERROR_INVALID_DATA,
         {"CRegistry::ReadString - unexpected eof at offset 4"}, "\n", -1},
        {"text without its zero", std::string("Sa\0b\0Sv\0abc", 11), ERROR_INVALID_DATA,
         {"CRegistry::ReadString - unexpected eof at offset 11"}, "a (REG_SZ) : b\n\n", -1},
        {"number cut short", std::string("Dn\0\x01\x02", 5), ERROR_INVALID_DATA,
         {"CRegistry::ReadTree - Unexpected eof reading DWORD value n from file"}, "\n", -1},
        {"list without its end", std::string("Mm\0a\0b\0", 7), ERROR_INVALID_DATA,
         {"CRegistry::ReadString - unexpected eof at offset 7"}, "\n", -1},
        {"subkey without its end", std::string(">A\0Sv\0x\0", 8), ERROR_INVALID_DATA, {},
         "\\A\n  v (REG_SZ) : x\n\n\n", -1},
        {"name too long for a key", ">" + name300 + std::string("\0<", 2), ERROR_INVALID_DATA,
         {"CRegistry::ReadTree - Unable to create registry key '" + name300 + "', error 87"}, "\n", -1},
    };
    for (const Case& c : kCases) {
        ClearLog();
        CRegistry reg;
        FreshKey(reg, "Bad");
        long end = -2;
        EXPECT_EQ(ReadBytes(reg, c.bytes, &end), c.result) << c.label;
        EXPECT_EQ(Logged(), c.messages) << c.label;
        EXPECT_EQ(DumpOf(reg), c.dump) << c.label;
        if (c.end >= 0) {
            EXPECT_EQ(end, c.end) << c.label;
        }
    }
}

TEST_F(TreeFileTest, StreamFailuresAreLogged) {
    struct Case {
        const char* label;
        std::string bytes;
        void (*arrange)(Cookie&);
        std::string message;
    };
    const Case kCases[] = {
        {"tell refused", std::string("Sa\0b\0", 5), [](Cookie& k) { k.tellFails = true; },
         "CRegistry::ReadString - ftell failed"},
        {"read error in a name", "Sabcdef", [](Cookie& k) { k.errorAt = 3; },
         "CRegistry::ReadString - read error 1 at offset"},
        {"seek back refused", std::string("Sa\0b\0", 5), [](Cookie& k) { k.seekSetFails = true; },
         "CRegistry::ReadString - fseek failed for offset 1"},
        {"second read cut short", std::string("Sabc\0x\0", 7), [](Cookie& k) { k.cutOnSeek = 3; },
         "CRegistry::ReadString - unexpected eof"},
        {"second read fails", std::string("Sabc\0x\0", 7), [](Cookie& k) { k.errorAfterSeek = true; },
         "CRegistry::ReadString - read error 1 reading 4 byte string"},
        {"number read fails", std::string("Dn\0\x01\x02\x03\x04", 7), [](Cookie& k) { k.errorAt = 4; },
         "CRegistry::ReadTree - Error 1 reading DWORD value n from file"},
    };
    for (const Case& c : kCases) {
        ClearLog();
        CRegistry reg;
        FreshKey(reg, "Streams");
        Cookie cookie;
        cookie.data = c.bytes;
        c.arrange(cookie);
        FILE* fp = OpenCookie(cookie, "rb");
        EXPECT_EQ(reg.ReadTree(fp), static_cast<DWORD>(ERROR_INVALID_DATA)) << c.label;
        fclose(fp);
        EXPECT_EQ(Logged(), std::vector<std::string>{c.message}) << c.label;
        EXPECT_EQ(DumpOf(reg), "\n") << c.label;
    }
}

TEST_F(TreeFileTest, ValuesThatCannotBeSavedGiveThePlatformsCode) {
    struct Case { const char* label; std::string bytes; std::string message; };
    const Case kCases[] = {
        {"string", std::string("Ss\0x\0", 5), "CRegistry::ReadTree - Unable to save string registry value 's', error 5"},
        {"number", std::string("Dd\0\1\0\0\0", 7), "CRegistry::ReadTree - Unable to save DWORD registry value 'd', error 5"},
        {"list", std::string("Mm\0a\0\0", 6),
         "CRegistry::ReadTree - Unable to save multi-string registry value 'm', error 5"},
    };
    CRegistry setup;
    FreshKey(setup, "ReadOnly");
    for (const Case& c : kCases) {
        ClearLog();
        CRegistry reg;
        ASSERT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, (std::string(kTreeBase) + "\\ReadOnly").c_str(), KEY_READ), 0);
        EXPECT_EQ(ReadBytes(reg, c.bytes), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.label;
        EXPECT_EQ(Logged(), std::vector<std::string>{c.message}) << c.label;
    }
    // A key that forbids new subkeys.
    ClearLog();
    ASSERT_EQ(TmRegSetKeyRestriction(setup.m_hKey, "", KEY_READ | (KEY_WRITE & ~KEY_CREATE_SUB_KEY)), 0);
    EXPECT_EQ(ReadBytes(setup, std::string(">A\0<", 4)), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Logged(), std::vector<std::string>{"CRegistry::ReadTree - Unable to create registry key 'A', error 5"});
    ASSERT_EQ(TmRegSetKeyRestriction(setup.m_hKey, "", KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
}

TEST_F(TreeFileTest, NestingStopsAtTheRegistrysDepth) {
    auto nested = [](int levels, bool closed) {
        std::string bytes;
        for (int i = 0; i < levels; ++i) bytes += std::string(">k\0", 3);
        if (closed) bytes += std::string(levels, '<');
        return bytes;
    };
    CRegistry reg;
    FreshKey(reg, "Deep");
    EXPECT_EQ(ReadBytes(reg, nested(512, true)), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_TRUE(Logged().empty());
    std::string path = std::string(kTreeBase) + "\\Deep";
    for (int i = 0; i < 512; ++i) path += "\\k";
    CRegistry deepest;
    EXPECT_EQ(deepest.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ), 0);

    // One level more, and a bomb that never closes: refused, not a crash.
    for (int levels : {513, 100000}) {
        ClearLog();
        CRegistry bomb;
        FreshKey(bomb, "Bomb");
        EXPECT_EQ(ReadBytes(bomb, nested(levels, false)), static_cast<DWORD>(ERROR_INVALID_DATA)) << levels;
        EXPECT_EQ(Logged(), std::vector<std::string>{"CRegistry::ReadTree - Registry key 'k' nested more than 512 levels deep"})
            << levels;
    }
}

}  // namespace
}  // namespace tmtest
