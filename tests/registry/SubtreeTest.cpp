//===-- tests/registry/SubtreeTest.cpp - Copy, delete and dump of subtrees -===//
#include <algorithm>
#include <cstdlib>
#include <string>

#include "logging/LogFixture.h"
#include "registry/RegistryTree.h"
#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

using SubtreeTest = LogTest;

bool KeyExists(const std::string& path) { return CRegistry().OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) == 0; }

// The example against its golden text, then one line of each kind; keys
// that cannot be opened show as their name alone.
TEST_F(SubtreeTest, DumpLinesOfEachKind) {
    CRegistry reg, a, closed, open;
    FreshKey(reg, "DumpExample");
    EXPECT_EQ(DumpOf(reg), "\n");
    Sub(a, reg.m_hKey, "A");
    ASSERT_EQ(a.SetValue("N", DWORD(5)), 0);
    Store(a.m_hKey, "L", REG_MULTI_SZ, std::string("one\0two\0\0", 9));
    Store(reg.m_hKey, "S", REG_SZ, "a\tb");  // three bytes, no zero
    EXPECT_EQ(DumpOf(reg), Golden("dump_example.txt"));
    struct Case { const char* name; DWORD type; std::string data; int depth; std::string line; };
    const Case kCases[] = {
        {"t", REG_SZ, std::string("c:\\x\n\xe9\0", 7), 0, "t (REG_SZ) : c:\\x\\x0a\\xe9\n"},
        {"t", REG_SZ, std::string("ab\0cd\0", 6), 0, "t (REG_SZ) : ab\n"},
        {"V", REG_DWORD, "\x01\x02", 0, "V (REG_DWORD) : 0x201\n"},
        {"L", REG_MULTI_SZ, std::string("x\0yz", 4), 0, "L (REG_MULTI_SZ) : x\n" + std::string(19, ' ') + "yz\n"},
        {"e", REG_EXPAND_SZ, std::string("%A%\t\0", 5), 0, "e (REG_EXPAND_SZ) : %A%\\x09\n"},
        {"b", REG_BINARY, std::string("\0\xff\x10", 3), 1, "  b (REG_BINARY) : 00 ff 10\n"},
        {"q", 77, "\x01", 0, "q (type 77) : 01\n"},
    };
    for (const Case& c : kCases) {
        FreshKey(reg, "DumpLines");
        Store(reg.m_hKey, c.name, c.type, c.data);
        EXPECT_EQ(DumpOf(reg, c.depth), c.line + "\n") << c.line;
    }
    FreshKey(reg, "DumpKeys");
    Sub(closed, reg.m_hKey, "Closed\\Inside");
    Sub(open, reg.m_hKey, "Open\\Inside");
    ASSERT_EQ(TmRegSetKeyRestriction(reg.m_hKey, "Closed", KEY_READ), 0);
    EXPECT_EQ(DumpOf(reg, 2), "    \\Closed\n    \\Open\n      \\Inside\n\n\n\n");
}

// Three levels with values of every common type at each, stored exactly,
// copied as they are into what the destination has, then deleted whole.
TEST_F(SubtreeTest, CopyReproducesEveryKeyAndValueAndDeleteRemovesThem) {
    CRegistry source, destination, levels[3], extra;
    FreshKey(source, "Source");
    HKEY key = source.m_hKey;
    for (int i = 0; i <= 3; ++i) {
        if (i > 0) key = Sub(levels[i - 1], key, ("Level" + std::to_string(i)).c_str());
        Store(key, "sz", REG_SZ, std::string("text\0", 5));
        Store(key, "dword", REG_DWORD, "\x01\x02\x03\x04");
        Store(key, "multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
        Store(key, "expand", REG_EXPAND_SZ, std::string("%X%\0", 4));
        Store(key, "unterminated", REG_SZ, "abc");
    }
    std::string binary(5000, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
    Store(levels[1].m_hKey, "binary", REG_BINARY, binary);
    Store(key, "huge", REG_SZ, std::string(1 << 20, 'h') + '\0');
    FreshKey(destination, "Copy");
    EXPECT_EQ(destination.CopyTree(HKEY_LOCAL_MACHINE, PathOf("Source").c_str()), 0u);
    EXPECT_EQ(SnapshotOf(destination.m_hKey), SnapshotOf(source.m_hKey));
    EXPECT_FALSE(KeyExists(PathOf("Copy\\Source")));  // the contents are merged, not the key
    source.CloseKey();
    EXPECT_EQ(CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, PathOf("Source").c_str()), 0u);
    EXPECT_FALSE(KeyExists(PathOf("Source")));
    EXPECT_TRUE(KeyExists(kTreeBase));
    EXPECT_EQ(CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, PathOf("Source").c_str()), DWORD(ERROR_FILE_NOT_FOUND));

    // Into what the destination has: a value of the same name is replaced,
    // the others stay; a missing source changes nothing.
    FreshKey(source, "MergeSource");
    ASSERT_EQ(source.SetValue("shared", "new"), 0);
    FreshKey(destination, "MergeInto");
    ASSERT_EQ(destination.SetValue("shared", DWORD(1)) + destination.SetValue("own", "kept"), 0);
    Sub(extra, destination.m_hKey, "OwnKey");
    const char* merged = "\\OwnKey\n\nshared (REG_SZ) : new\nown (REG_SZ) : kept\n\n";
    EXPECT_EQ(destination.CopyTree(HKEY_LOCAL_MACHINE, PathOf("MergeSource").c_str()), 0u);
    EXPECT_EQ(DumpOf(destination), merged);
    EXPECT_EQ(destination.CopyTree(HKEY_LOCAL_MACHINE, PathOf("Nowhere").c_str()), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(DumpOf(destination), merged);

    // Into its own subtree: each level copied makes one more, up to the
    // registry's depth of 512 levels below the root.
    CRegistry inside;
    Sub(inside, source.m_hKey, "In");
    EXPECT_EQ(inside.CopyTree(HKEY_LOCAL_MACHINE, PathOf("MergeSource").c_str()), 0u);
    std::string path = PathOf("MergeSource\\In");
    int depth = static_cast<int>(std::count(path.begin(), path.end(), '\\')) + 1;
    for (; KeyExists(path + "\\In"); ++depth) path += "\\In";
    EXPECT_EQ(depth, 512);
}

// The value buffer is never used after an allocation failed: the value is
// left out, reported, and the copy goes on.
TEST_F(SubtreeTest, CopyLeavesOutWhatItCannotAllocateFor) {
    CRegistry source, sub;
    FreshKey(source, "AllocSource");
    ASSERT_EQ(source.SetValue("small", "s") + source.SetValue("large", std::string(5000, 'L').c_str()), 0);
    ASSERT_EQ(source.SetValue("last", DWORD(9)), 0);
    Sub(sub, source.m_hKey, "Sub");
    struct Case { size_t limit; const char* dump; int reports; };
    const Case kCases[] = {
        {2048, "\\Sub\n\nsmall (REG_SZ) : s\nlast (REG_DWORD) : 0x9\n\n", 1},  // no growth
        {0, "\\Sub\n\n\n", 2},                                                   // no buffer: one report a key
    };
    static size_t limit;
    for (const Case& c : kCases) {
        WriteFile(dir_ + "/TM041110.log", "");
        limit = c.limit;
        tmc::g_pfnTreeRealloc = [](void* p, size_t n) -> void* { return n > limit ? nullptr : realloc(p, n); };
        CRegistry destination;
        FreshKey(destination, "AllocInto");
        const DWORD rc = destination.CopyTree(HKEY_LOCAL_MACHINE, PathOf("AllocSource").c_str());
        tmc::g_pfnTreeRealloc = realloc;
        EXPECT_EQ(rc, 0u) << c.limit;
        EXPECT_EQ(DumpOf(destination), c.dump) << c.limit;
        const auto lines = MainLines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("Memory allocation error at line") != std::string::npos; }),
                  c.reports) << c.limit;
    }
}

// A subkey that may not be deleted stays, and so do the keys above it;
// all else goes, and the walk ends.
TEST_F(SubtreeTest, DeleteEndsWhenASubkeySurvives) {
    for (auto [kept, left] : {std::pair{"A", "\\A\n\n\n"}, {"M\\Deep", "\\M\n  \\Deep\n\n\n\n"}}) {
        CRegistry reg, sub, rest;
        FreshKey(reg, "Protected");
        for (const char* path : {"A\\x", "M\\Deep\\y", "Z\\z"}) ASSERT_EQ(CRegistry().CreateKey(reg.m_hKey, path, TM_KEY_READ_WRITE, 0), 0);
        ASSERT_EQ(TmRegSetKeyRestriction(reg.m_hKey, kept, KEY_READ | KEY_WRITE), 0);
        reg.CloseKey();
        EXPECT_EQ(CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, PathOf("Protected").c_str()), 0u) << kept;
        ASSERT_EQ(rest.OpenKey(HKEY_LOCAL_MACHINE, PathOf("Protected").c_str(), KEY_READ), 0) << kept;
        EXPECT_EQ(DumpOf(rest), left) << kept;
        ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, (PathOf("Protected\\") + kept).c_str(), KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    }
}

}  // namespace
}  // namespace tmtest
