//===-- tests/registry/TmsRegFuncsTest.cpp - The flat registry functions --===//
#include <cstring>
#include <string>

#include "logging/LogFixture.h"
#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

const char kFlat[] = "Software\\Kelt\\Tamarak\\TreeTests\\Flat";

// An argument block of four 8-byte cells: root, path, name and a value.
// The unused half of an integer's cell holds 0xBD bytes: the functions
// must not read it.
struct Block {
    alignas(8) unsigned char bytes[32];
    Block(int root, const char* path, const char* name) {
        memset(bytes, 0xBD, sizeof bytes);
        Int(0, root).Ptr(1, path).Ptr(2, name).Int(3, 0);
    }
    Block& Int(int cell, int32_t value) { return memcpy(bytes + 8 * cell, &value, 4), *this; }
    Block& Ptr(int cell, const char* value) { return memcpy(bytes + 8 * cell, &value, sizeof value), *this; }
    void* Args() { return bytes; }
};

std::string Take(char* text) {
    std::string copy = text ? text : "(null)";
    FreeString(text);
    return copy;
}

class TmsRegFuncsTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        FreshKey(reg_, "Flat");
    }
    CRegistry reg_;
};

// Reads of each kind, found and not (no key, no value, too long), with and
// without the caller's default; and the root selectors.
TEST_F(TmsRegFuncsTest, ReadsAndTheirDefaults) {
    const BYTE two[] = {1, 2};
    ASSERT_EQ(reg_.SetValue("short", two, 2) + reg_.SetValue("n", DWORD(0x12345678)), 0);
    ASSERT_EQ(reg_.SetValue("long", "more than four bytes") + reg_.SetValue("s", "hello"), 0);
    Store(reg_.m_hKey, "l", REG_MULTI_SZ, std::string("one\0two\0\0", 9));
    struct Number { const char* path; const char* name; DWORD val; DWORD valEx; };
    const Number kNumbers[] = {{kFlat, "n", 0x12345678, 0x12345678}, {kFlat, "short", 0x0201, 0x0201},
                               {"Software\\Nowhere", "n", 0, 7}, {kFlat, "none", 0, 7}, {kFlat, "long", 0, 7}};
    for (const Number& c : kNumbers) {
        Block block = Block(0, c.path, c.name).Int(3, 7);
        EXPECT_EQ(REGQUERYVAL(block.Args()), c.val) << c.name;
        EXPECT_EQ(REGQUERYVALEX(block.Args()), c.valEx) << c.name;
    }
    // (null): no string at all, and the length 0
    struct Text { const char* path; const char* name; const char* def; std::string str, strEx, list; };
    const Text kTexts[] = {
        {kFlat, "s", "dflt", "hello", "hello", "hello"},
        {kFlat, "none", "x\r\ny", "(null)", "x\r\ny", "x\r\ny"},
        {"Software\\Nowhere", "s", "dflt", "(null)", "dflt", "dflt"},
        {kFlat, "none", nullptr, "(null)", "", ""},
    };
    for (const Text& c : kTexts) {
        Block block = Block(0, c.path, c.name).Ptr(3, c.def);
        DWORD length[3] = {0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF};
        EXPECT_EQ(Take(REGQUERYSTR(&length[0], block.Args())), c.str) << c.name;
        EXPECT_EQ(Take(REGQUERYSTREX(&length[1], block.Args())), c.strEx) << c.name;
        EXPECT_EQ(Take(REGQUERYTEXTLIST(&length[2], block.Args())), c.list) << c.name;
        EXPECT_EQ(length[0], c.str == "(null)" ? 0u : c.str.size()) << c.name;
        EXPECT_EQ(length[1], c.strEx.size()) << c.name;
        EXPECT_EQ(length[2], c.list.size()) << c.name;
    }
    DWORD length = 0;
    EXPECT_EQ(Take(REGQUERYTEXTLIST(&length, Block(0, kFlat, "l").Ptr(3, "dflt").Args())), "one\r\ntwo");
    EXPECT_EQ(length, 8u);
    const std::pair<int, HKEY> kRoots[] = {{0, HKEY_LOCAL_MACHINE}, {1, HKEY_CURRENT_USER}, {2, HKEY_CLASSES_ROOT},
                                           {3, HKEY_USERS}, {4, HKEY_LOCAL_MACHINE}, {-1, HKEY_LOCAL_MACHINE}};
    for (auto [selector, root] : kRoots) {
        const std::string path = "Software\\FlatRoot" + std::to_string(selector);
        ASSERT_EQ(REGSETVAL(Block(selector, path.c_str(), "v").Int(3, selector + 100).Args()), 0u) << selector;
        CRegistry check;
        DWORD value = 0;
        ASSERT_EQ(check.OpenKey(root, path.c_str(), KEY_READ), 0) << selector;
        EXPECT_EQ(check.QueryValue("v", value), 0) << selector;
        EXPECT_EQ(value, DWORD(selector + 100)) << selector;
    }
}

TEST_F(TmsRegFuncsTest, WritesCreateTheirKeys) {
    const std::string path = std::string(kFlat) + "\\a\\b\\c";
    EXPECT_EQ(REGSETSTR(Block(0, path.c_str(), "greeting").Ptr(3, "hi there").Args()), 0u);
    EXPECT_EQ(REGSETVAL(Block(0, path.c_str(), "n").Int(3, -2).Args()), 0u);
    EXPECT_EQ(REGSETTEXTLIST(Block(0, path.c_str(), "list").Ptr(3, "alpha\r\nbeta").Args()), 0u);
    // A text that is not there is refused before any key is made.
    const std::string notMade = std::string(kFlat) + "\\NotMade\\Deeper";
    Block missing = Block(0, notMade.c_str(), "nothing").Ptr(3, nullptr);
    for (auto* write : {REGSETSTR, REGSETTEXTLIST})
        EXPECT_EQ(write(missing.Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CRegistry check;
    EXPECT_EQ(check.OpenKey(HKEY_LOCAL_MACHINE, (std::string(kFlat) + "\\NotMade").c_str(), KEY_READ), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(check.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ), 0);
    EXPECT_EQ(DumpOf(check), "greeting (REG_SZ) : hi there\nn (REG_DWORD) : 0xfffffffe\nlist (REG_MULTI_SZ) : alpha\n" +
                                 std::string(22, ' ') + "beta\n\n");
    // A key that may not be created gives the create's code.
    ASSERT_EQ(TmRegSetKeyRestriction(reg_.m_hKey, "", KEY_READ), 0);
    const std::string newPath = std::string(kFlat) + "\\New";
    Block refused = Block(0, newPath.c_str(), "l").Ptr(3, "a");
    for (auto* write : {REGSETTEXTLIST, REGSETSTR, REGSETVAL})
        EXPECT_EQ(write(refused.Args()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(TmRegSetKeyRestriction(reg_.m_hKey, "", KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
}

TEST_F(TmsRegFuncsTest, Deletions) {
    CRegistry sub;
    ASSERT_EQ(reg_.SetValue("v", DWORD(1)), 0);
    Sub(sub, reg_.m_hKey, "Tree\\Deeper\\Deepest");
    sub.CloseKey();
    Block value(0, kFlat, "v"), noKey(0, "Software\\Nowhere", "v");
    EXPECT_EQ(REGDELETEVALUE(value.Args()), 0u);
    EXPECT_EQ(REGDELETEVALUE(value.Args()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(REGDELETEVALUE(noKey.Args()), static_cast<DWORD>(ERROR_INVALID_DATA));
    const std::string tree = std::string(kFlat) + "\\Tree";
    Block deleteTree(0, tree.c_str(), nullptr), noPath(0, nullptr, nullptr);
    EXPECT_EQ(REGDELETETREE(deleteTree.Args()), 0u);
    EXPECT_EQ(REGDELETETREE(deleteTree.Args()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(REGDELETETREE(noPath.Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(DumpOf(reg_), "\n");

    // No path, or an empty one, below a root names the whole root: refused,
    // and nothing is deleted. Below an ordinary key the empty path is that
    // key, which goes with everything below it.
    CRegistry user, gone, below;
    Sub(user, HKEY_CURRENT_USER, "Software\\Kept");
    Sub(below, Sub(gone, reg_.m_hKey, "Gone"), "Below");
    struct Case { int selector; HKEY root; const char* path; };
    const Case kCases[] = {{0, HKEY_LOCAL_MACHINE, ""}, {1, HKEY_CURRENT_USER, ""}, {1, HKEY_CURRENT_USER, nullptr}};
    for (const Case& c : kCases) {
        const std::string label = std::to_string(c.selector) + (c.path ? " empty" : " null");
        EXPECT_EQ(REGDELETETREE(Block(c.selector, c.path, nullptr).Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << label;
        EXPECT_EQ(CRegistry().DeleteTree(c.root, c.path), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << label;
    }
    CRegistry parameters, kept;
    EXPECT_EQ(parameters.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
    EXPECT_EQ(kept.OpenKey(HKEY_CURRENT_USER, "Software\\Kept", KEY_READ), 0);
    EXPECT_EQ(CRegistry().DeleteTree(gone.m_hKey, ""), 0u);
    EXPECT_EQ(DumpOf(reg_), "\n");
}

// A fault inside a call is caught: traced as an unknown exception, then
// trapped one line further on, and the function gives its failure value.
TEST_F(TmsRegFuncsTest, CaughtFaultsGiveTheFailureValues) {
    SetParameter("DebugIt", 1);
    SetParameter("DebugX", 1);
    DebugInit();
    Block block = Block(0, kFlat, "v").Ptr(3, reinterpret_cast<const char*>(8));
    EXPECT_EQ(REGSETSTR(block.Args()), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(REGSETTEXTLIST(block.Args()), static_cast<DWORD>(ERROR_INVALID_DATA));
    for (auto* query : {REGQUERYSTREX, REGQUERYTEXTLIST}) {
        DWORD length = 0xDEADBEEF;
        EXPECT_EQ(query(&length, block.Args()), nullptr);
        EXPECT_EQ(length, 0u);
    }
    DebugExit();

    const std::string trace = ReadFile(root_ + "/debugit.log");
    size_t at = trace.find("TmsRegFuncs(");
    ASSERT_NE(at, std::string::npos) << trace;
    const int line = atoi(trace.c_str() + at + 12);
    EXPECT_NE(trace.find("TmsRegFuncs(" + std::to_string(line) + ") Unknown exception"), std::string::npos) << trace;
    int trapped = 0;
    for (const std::string& l : MainLines())
        trapped += l.find("TmsRegFuncs(" + std::to_string(line + 1) + ") Exception trapped") != std::string::npos;
    // REGSETTEXTLIST's fault is caught by SetTextList's own handler.
    EXPECT_EQ(trapped, 3);
    EXPECT_EQ(REGQUERYVAL(nullptr), 0u);
    EXPECT_EQ(REGSETVAL(nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
}

}  // namespace
}  // namespace tmtest
