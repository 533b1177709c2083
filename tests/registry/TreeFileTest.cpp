//===-- tests/registry/TreeFileTest.cpp - Saving and restoring subtrees ---===//
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogFixture.h"
#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

// A stream over bytes in memory that fails on demand: reads from errorAt
// on; with noPositions every seek and tell fails, as on a pipe. Writes take what fits below writeLimit, as a full disk
// does, and then fail. With a pipe to feed it, a read past the data waits
// for the pipe and keeps what comes.
struct Cookie {
    std::string data, written;
    size_t pos = 0, writeLimit = SIZE_MAX;
    long errorAt = -1;
    bool noPositions = false;
    int feed = -1;
    std::atomic<size_t> fed{0};
    std::atomic<bool> waiting{false};
};

ssize_t CookieRead(void* c, char* buf, size_t n) {
    Cookie& k = *static_cast<Cookie*>(c);
    if (k.errorAt >= 0 && k.pos >= static_cast<size_t>(k.errorAt)) return -1;
    if (k.feed >= 0 && k.pos == k.data.size()) {
        char chunk[4096];
        k.waiting = true;
        const ssize_t got = read(k.feed, chunk, sizeof chunk);
        k.waiting = false;
        if (got < 0) return -1;
        k.data.append(chunk, static_cast<size_t>(got));
        k.fed = k.data.size();
    }
    const size_t end = k.errorAt >= 0 ? std::min<size_t>(k.errorAt, k.data.size()) : k.data.size();
    const size_t take = k.pos < end ? std::min(n, end - k.pos) : 0;
    memcpy(buf, k.data.data() + k.pos, take);
    k.pos += take;
    return static_cast<ssize_t>(take);
}

ssize_t CookieWrite(void* c, const char* buf, size_t n) {
    Cookie& k = *static_cast<Cookie*>(c);
    const size_t take = std::min(n, k.writeLimit - k.written.size());
    k.written.append(buf, take);
    return take ? static_cast<ssize_t>(take) : -1;
}

int CookieSeek(void* c, off64_t* offset, int whence) {
    Cookie& k = *static_cast<Cookie*>(c);
    if (k.noPositions || (whence != SEEK_SET && !(whence == SEEK_CUR && *offset == 0))) return -1;
    if (whence == SEEK_CUR) *offset = static_cast<off64_t>(k.pos);
    else k.pos = static_cast<size_t>(*offset);
    return 0;
}

// Unbuffered unless asked, so that every read, tell and seek reaches the cookie.
FILE* OpenCookie(Cookie& cookie, const char* mode, bool buffered = false) {
    FILE* fp = fopencookie(&cookie, mode, cookie_io_functions_t{CookieRead, CookieWrite, CookieSeek, nullptr});
    if (!buffered) setvbuf(fp, nullptr, _IONBF, 0);
    return fp;
}

const DWORD kEof = ERROR_HANDLE_EOF, kInvalid = ERROR_INVALID_DATA;

class TreeFileTest : public LogTest {
protected:
    // The texts of the main log's error lines.
    std::vector<std::string> Logged() {
        std::vector<std::string> texts;
        for (const std::string& line : MainLines()) {
            size_t space = line.find(' '), hex = line.find(" 0x", space);
            if (space != std::string::npos && hex != std::string::npos && line[space + 1] == 'E')
                texts.push_back(line.substr(hex + 12));
        }
        return texts;
    }
    void ClearLog() { WriteFile(dir_ + "/TM041110.log", ""); }

    // ReadTree over the bytes, through a stream that fails as arranged.
    DWORD ReadBytes(CRegistry& reg, const std::string& bytes, void (*arrange)(Cookie&) = nullptr, long* end = nullptr) {
        Cookie cookie;
        cookie.data = bytes;
        if (arrange) arrange(cookie);
        FILE* fp = OpenCookie(cookie, "rb", !arrange);
        DWORD rc = reg.ReadTree(fp);
        if (end) *end = ftell(fp);
        fclose(fp);
        return rc;
    }
};

TEST_F(TreeFileTest, TheExampleFileAndRoundTripsOfEveryShape) {
    CRegistry reg, a, deep, back, again;
    FreshKey(reg, "Example");
    Sub(a, reg.m_hKey, "A");
    ASSERT_EQ(a.SetValue("N", DWORD(5)), 0);
    ASSERT_EQ(reg.SetValue("S", "x"), 0);
    const std::string golden = Golden("tree_example.bin");
    ASSERT_EQ(golden, std::string(">A\0DN\0\x05\0\0\0<SS\0x\0", 16));
    EXPECT_EQ(TreeBytes(reg), golden);
    FreshKey(back, "ExampleBack");
    EXPECT_EQ(ReadBytes(back, golden), kEof);
    EXPECT_EQ(SnapshotOf(back.m_hKey), SnapshotOf(reg.m_hKey));

    Sub(deep, a.m_hKey, "Two with spaces\\Three");
    ASSERT_EQ(reg.SetValue("", "default value"), 0);
    ASSERT_EQ(reg.SetValue("escapes", "tab\there\\ \xe9\x01"), 0);
    ASSERT_EQ(a.SetValue("max", DWORD(0xFFFFFFFF)), 0);
    CStringArray list, later;
    for (const char* e : {"first", "sec ond", "\xff\x7f"}) list.Add(e);
    ASSERT_EQ(a.SetValue("list", list), 0);
    later.Add("later");  // read after the lists of A: holds only its own element
    ASSERT_EQ(reg.SetValue("later list", later), 0);
    ASSERT_EQ(deep.SetValue("empty list", CStringArray()), 0);
    ASSERT_EQ(deep.SetValue("big", std::string(1 << 20, 'q').c_str()), 0);
    // More subkeys and values in one key than a walk takes in one step.
    for (int i = 0; i < 40; ++i) {
        CRegistry many;
        Sub(many, a.m_hKey, ("Many" + std::to_string(i)).c_str());
        ASSERT_EQ(a.SetValue(("v" + std::to_string(i)).c_str(), DWORD(i)), 0);
    }
    FreshKey(again, "RoundTripBack");
    EXPECT_EQ(ReadBytes(again, TreeBytes(reg)), kEof);
    EXPECT_EQ(SnapshotOf(again.m_hKey), SnapshotOf(reg.m_hKey));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(TreeFileTest, EachValueTypeAsARecord) {
    struct Case { const char* label; DWORD type; std::string stored; std::string record; };
    const Case kCases[] = {
        {"sz", REG_SZ, std::string("abc\0", 4), std::string("Sv\0abc\0", 7)},
        // Strings not ending in exactly one zero are written as their text
        // up to the first zero and one zero, so that they read back.
        {"sz unterminated", REG_SZ, "abc", std::string("Sv\0abc\0", 7)},
        {"sz inner zero", REG_SZ, std::string("ab\0cd\0", 6), std::string("Sv\0ab\0", 6)},
        {"dword", REG_DWORD, "\x78\x56\x34\x12", std::string("Dv\0\x78\x56\x34\x12", 7)},
        {"dword short", REG_DWORD, "\x01\x02", std::string("Dv\0\x01\x02\0\0", 7)},
        {"multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6), std::string("Mv\0a\0bc\0\0", 9)},
        {"multi unterminated", REG_MULTI_SZ, "ab", std::string("Mv\0ab\0\0", 7)},
    };
    for (const Case& c : kCases) {
        CRegistry reg;
        FreshKey(reg, "Types");
        Store(reg.m_hKey, "v", c.type, c.stored);
        EXPECT_EQ(TreeBytes(reg), c.record) << c.label;
    }
}

// Subkeys named exactly "Counters", the bodies of keys that cannot be
// opened, other value types, and everything after a name of 64 characters
// or more in the same key.
TEST_F(TreeFileTest, WhatIsLeftOutOfTheFile) {
    CRegistry reg, counters, lower, deep, closed;
    FreshKey(reg, "LeftOut");
    Sub(deep, Sub(counters, reg.m_hKey, "Counters"), "Inside");
    ASSERT_EQ(counters.SetValue("n", DWORD(1)), 0);
    Sub(lower, reg.m_hKey, "Kept\\counters");
    Sub(closed, reg.m_hKey, "Closed\\Hidden");
    ASSERT_EQ(TmRegSetKeyRestriction(reg.m_hKey, "Closed", KEY_READ), 0);
    ASSERT_EQ(reg.SetValue("b", "\x01", 1), 0);
    ASSERT_EQ(reg.SetValue("s", "t"), 0);
    const std::string name63(63, 'n'), name64(64, 'o');
    Store(reg.m_hKey, name63.c_str(), REG_SZ, std::string("1", 2));
    // Data too large for the scratch buffer does not hide a name too long.
    Store(reg.m_hKey, name64.c_str(), REG_SZ, std::string(300, '2') + std::string(1, '\0'));
    Store(reg.m_hKey, "after", REG_SZ, std::string("3", 2));
    EXPECT_EQ(TreeBytes(reg), std::string(">Closed\0<>Kept\0>counters\0<<Ss\0t\0S", 33) + name63 + std::string("\0" "1\0", 3));

    // A write that fails, at every cut of the file: ERROR_WRITE_FAULT, and
    // nothing after the cut.
    CRegistry w, wa;
    FreshKey(w, "WriteFails");
    Sub(wa, w.m_hKey, "A");
    ASSERT_EQ(wa.SetValue("N", DWORD(5)), 0);
    Store(w.m_hKey, "L", REG_MULTI_SZ, std::string("one\0two\0\0", 9));
    ASSERT_EQ(w.SetValue("S", "x"), 0);
    const std::string full = TreeBytes(w);
    ASSERT_EQ(full.size(), 28u);
    for (size_t limit = 0; limit <= full.size(); ++limit) {
        Cookie cookie;
        cookie.writeLimit = limit;
        FILE* fp = OpenCookie(cookie, "wb");
        EXPECT_EQ(w.WriteTree(fp), limit < full.size() ? static_cast<DWORD>(ERROR_WRITE_FAULT) : 0u) << limit;
        fclose(fp);
        EXPECT_EQ(cookie.written, full.substr(0, cookie.written.size())) << limit;
    }
}

// Every problem ends the restore with the logged reason (or none), and
// what was read before it stays in the registry.
TEST_F(TreeFileTest, BadInputStopsWithItsReason) {
    struct Case {
        const char* label;
        std::string bytes;
        DWORD result = kInvalid;
        std::string message = "";            // the error logged, if any
        std::string dump = "\n";             // the key afterwards
        void (*arrange)(Cookie&) = nullptr;  // how the stream fails
        bool readOnly = false;               // read into a handle that may not write
        long end = -1;                       // the stream's position afterwards, -1 not checked
    };
    const std::string name300(300, 'k'), head = "CRegistry::ReadTree - ", string = "CRegistry::ReadString - ";
    const std::string ab = "a (REG_SZ) : b\n\n", abText = std::string("Sa\0b\0Sv\0abc", 11);
    auto noPositions = [](Cookie& k) { k.noPositions = true; };
    const Case kCases[] = {
        {.label = "empty", .bytes = "", .result = kEof, .end = 0},
        {.label = "end at the top", .bytes = std::string("Sa\0b\0<Sc\0d\0", 11), .result = 0, .dump = ab, .end = 6},
        {.label = "unknown marker", .bytes = std::string("Xjunk\0Sa\0b\0", 11), .result = kEof, .dump = ab},
        {.label = "text without its zero", .bytes = abText, .message = string + "unexpected eof at offset 11", .dump = ab},
        {.label = "number cut short", .bytes = std::string("Dn\0\x01\x02", 5),
         .message = head + "Unexpected eof reading DWORD value n from file"},
        {.label = "list without its end", .bytes = std::string("Mm\0a\0b\0", 7), .message = string + "unexpected eof at offset 7"},
        {.label = "subkey without its end", .bytes = std::string(">A\0Sv\0x\0", 8), .dump = "\\A\n  v (REG_SZ) : x\n\n\n"},
        {.label = "name too long for a key", .bytes = ">" + name300 + std::string("\0<", 2),
         .message = head + "Unable to create registry key '" + name300 + "', error 87"},
        // A stream without positions, as a pipe: read as any other.
        {.label = "no positions", .bytes = std::string("Sa\0b\0Mm\0x\0y\0\0", 13), .result = kEof,
         .dump = "a (REG_SZ) : b\nm (REG_MULTI_SZ) : x\n" + std::string(19, ' ') + "y\n\n", .arrange = noPositions},
        {.label = "no positions, text without its zero", .bytes = abText, .message = string + "unexpected eof at offset 3",
         .dump = ab, .arrange = noPositions},
        {.label = "read error in a text", .bytes = std::string("Sa\0bcdef", 8), .message = string + "read error 1 at offset",
         .arrange = [](Cookie& k) { k.errorAt = 5; }},
        {.label = "number read fails", .bytes = std::string("Dn\0\x01\x02\x03\x04", 7),
         .message = head + "Error 1 reading DWORD value n from file", .arrange = [](Cookie& k) { k.errorAt = 4; }},
        // Values that cannot be saved give the platform's code; records are
        // read ahead of saving them: what stops the saving is told, not a
        // problem of the stream further on.
        {.label = "string not saved", .bytes = std::string("Ss\0x\0Sv\0abc", 11), .result = ERROR_ACCESS_DENIED,
         .message = head + "Unable to save string registry value 's', error 5", .readOnly = true},
        {.label = "number not saved", .bytes = std::string("Dd\0\1\0\0\0", 7), .result = ERROR_ACCESS_DENIED,
         .message = head + "Unable to save DWORD registry value 'd', error 5", .readOnly = true},
        {.label = "list not saved", .bytes = std::string("Mm\0a\0\0", 6), .result = ERROR_ACCESS_DENIED,
         .message = head + "Unable to save multi-string registry value 'm', error 5", .readOnly = true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        ClearLog();
        CRegistry reg, readOnly;
        FreshKey(reg, "Bad");
        if (c.readOnly) {
            ASSERT_EQ(readOnly.OpenKey(HKEY_LOCAL_MACHINE, PathOf("Bad").c_str(), KEY_READ), 0);
        }
        long end = -1;
        EXPECT_EQ(ReadBytes(c.readOnly ? readOnly : reg, c.bytes, c.arrange, c.end >= 0 ? &end : nullptr), c.result);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(Logged(), c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
        EXPECT_EQ(DumpOf(reg), c.dump);
    }
}

// Keys nest as deep as the registry lets them, 512 levels below their
// root: a file that goes deeper stops where its key cannot be made, and a
// bomb that never closes is refused, not a crash. Read into a root, a file
// stops at its own 512 levels.
TEST_F(TreeFileTest, NestingStopsAtTheRegistrysDepth) {
    auto nested = [](int levels, bool closed) {
        std::string bytes;
        for (int i = 0; i < levels; ++i) bytes += std::string(">k\0", 3);
        return bytes + std::string(closed ? levels : 0, '<');
    };
    CRegistry reg, deepest, root;
    FreshKey(reg, "Deep");
    std::string path = PathOf("Deep");
    const int room = 512 - static_cast<int>(std::count(path.begin(), path.end(), '\\') + 1);
    EXPECT_EQ(ReadBytes(reg, nested(room, true)), kEof);
    EXPECT_TRUE(Logged().empty());
    for (int i = 0; i < room; ++i) path += "\\k";
    EXPECT_EQ(deepest.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ), 0);
    for (int levels : {room + 1, 100000}) {
        ClearLog();
        CRegistry bomb;
        FreshKey(bomb, "Bomb");
        EXPECT_EQ(ReadBytes(bomb, nested(levels, false)), kInvalid) << levels;
        EXPECT_EQ(Logged(), std::vector<std::string>{"CRegistry::ReadTree - Unable to create registry key 'k', error 87"});
    }
    ClearLog();
    ASSERT_EQ(root.OpenKey(HKEY_USERS, "", TM_KEY_READ_WRITE), 0);
    EXPECT_EQ(ReadBytes(root, nested(513, false)), kInvalid);
    EXPECT_EQ(Logged(), std::vector<std::string>{"CRegistry::ReadTree - Registry key 'k' nested more than 512 levels deep"});
    EXPECT_EQ(CRegistry().DeleteTree(HKEY_USERS, "k"), 0u);
}

// A restore that waits on a stream that stopped feeding it holds nothing
// of the registry: another process writes at once. What it read is saved,
// in batches, and a problem at the end is told after all of it.
TEST_F(TreeFileTest, AStalledStreamKeepsNoWriterWaiting) {
    CRegistry reg;
    FreshKey(reg, "Stalled");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Cookie cookie;
    cookie.feed = fds[0];
    FILE* fp = OpenCookie(cookie, "rb", true);
    DWORD result = 0;
    std::thread restore([&] { result = reg.ReadTree(fp); });
    auto records = [](int from, int to) {
        std::string bytes;
        for (int i = from; i < to; ++i) bytes += "Dv" + std::to_string(i) + std::string("\0\x01\0\0\0", 5);
        return bytes;
    };
    auto feed = [&](std::string bytes) {
        for (ssize_t n = 0; !bytes.empty() && (n = write(fds[1], bytes.data(), bytes.size())) > 0;) bytes.erase(0, n);
        return bytes.empty();
    };
    const std::string first = records(0, 5000);
    ASSERT_TRUE(feed(first));
    for (int i = 0; i < 2000 && !(cookie.waiting && cookie.fed == first.size()); ++i) usleep(10000);
    EXPECT_TRUE(cookie.waiting && cookie.fed == first.size()) << "the restore never read the records";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram(HelperPath("registry_worker"), {"set:" + PathOf("Other") + ":v:7"}).out, "0\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(feed(records(5000, 10000) + std::string("Dcut\0\x01\x02", 7)));
    close(fds[1]);
    restore.join();
    fclose(fp);
    close(fds[0]);
    EXPECT_EQ(result, kInvalid);
    EXPECT_EQ(Logged(), std::vector<std::string>{"CRegistry::ReadTree - Unexpected eof reading DWORD value cut from file"});
    EXPECT_EQ(SnapshotOf(reg.m_hKey)[""].size(), 10000u);
}

}  // namespace
}  // namespace tmtest
