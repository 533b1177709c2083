//===-- tests/registry/TmsRegFuncsTest.cpp - The flat registry functions --===//
#include <cstring>
#include <string>

#include "logging/LogFixture.h"
#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

const char kFlat[] = "Software\\Kelt\\Tamarak\\TreeTests\\Flat";

// An argument block of four 8-byte cells. The unused half of an integer's
// cell holds 0xBD bytes: the functions must not read it.
struct Block {
    alignas(8) unsigned char bytes[32];
    Block(int root, const char* path, const char* name) {
        memset(bytes, 0xBD, sizeof bytes);
        SetInt(0, root);
        SetPtr(1, path);
        SetPtr(2, name);
        SetInt(3, 0);
    }
    Block& SetInt(int cell, int32_t value) {
        memcpy(bytes + 8 * cell, &value, 4);
        return *this;
    }
    Block& SetPtr(int cell, const char* value) {
        memcpy(bytes + 8 * cell, &value, sizeof value);
        return *this;
    }
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

TEST_F(TmsRegFuncsTest, NumbersAndTheirDefaults) {
    const BYTE two[] = {1, 2};
    ASSERT_EQ(reg_.SetValue("short", two, 2), 0);
    ASSERT_EQ(reg_.SetValue("n", DWORD(0x12345678)), 0);
    ASSERT_EQ(reg_.SetValue("long", "more than four bytes"), 0);
    struct Case { const char* label; const char* path; const char* name; DWORD val; DWORD valEx; };
    const Case kCases[] = {
        {"number", kFlat, "n", 0x12345678, 0x12345678},
        {"two bytes", kFlat, "short", 0x0201, 0x0201},
        {"missing key", "Software\\Nowhere", "n", 0, 7},
        {"missing value", kFlat, "none", 0, 7},
        {"too long for a number", kFlat, "long", 0, 7},
    };
    for (const Case& c : kCases) {
        Block block(0, c.path, c.name);
        block.SetInt(3, 7);
        EXPECT_EQ(REGQUERYVAL(block.Args()), c.val) << c.label;
        EXPECT_EQ(REGQUERYVALEX(block.Args()), c.valEx) << c.label;
    }
}

TEST_F(TmsRegFuncsTest, RootSelectors) {
    struct Case { int selector; HKEY root; };
    const Case kCases[] = {{0, HKEY_LOCAL_MACHINE}, {1, HKEY_CURRENT_USER}, {2, HKEY_CLASSES_ROOT},
                           {3, HKEY_USERS},         {4, HKEY_LOCAL_MACHINE}, {-1, HKEY_LOCAL_MACHINE}};
    for (const Case& c : kCases) {
        const std::string path = "Software\\FlatRoot" + std::to_string(c.selector);
        Block block(c.selector, path.c_str(), "v");
        block.SetInt(3, c.selector + 100);
        ASSERT_EQ(REGSETVAL(block.Args()), 0u) << c.selector;
        CRegistry check;
        DWORD value = 0;
        ASSERT_EQ(check.OpenKey(c.root, path.c_str(), KEY_READ), 0) << c.selector;
        EXPECT_EQ(check.QueryValue("v", value), 0) << c.selector;
        EXPECT_EQ(value, static_cast<DWORD>(c.selector + 100)) << c.selector;
    }
}

TEST_F(TmsRegFuncsTest, StringsAndTheirDefaults) {
    ASSERT_EQ(reg_.SetValue("s", "hello"), 0);
    ASSERT_EQ(reg_.SetValue("empty", ""), 0);
    const std::string big(1 << 20, 'b');
    ASSERT_EQ(reg_.SetValue("big", big.c_str()), 0);
    struct Case { const char* label; const char* path; const char* name; const char* def; std::string str; std::string strEx; };
    const Case kCases[] = {
        {"value", kFlat, "s", "dflt", "hello", "hello"},
        {"empty value", kFlat, "empty", "dflt", "", ""},
        {"1 MB value", kFlat, "big", "dflt", big, big},
        {"missing value", kFlat, "none", "dflt", "(null)", "dflt"},
        {"missing key", "Software\\Nowhere", "s", "dflt", "(null)", "dflt"},
        {"no default", kFlat, "none", nullptr, "(null)", ""},
    };
    for (const Case& c : kCases) {
        Block block(0, c.path, c.name);
        block.SetPtr(3, c.def);
        DWORD length = 0xDEADBEEF;
        char* text = REGQUERYSTR(&length, block.Args());
        EXPECT_EQ(length, c.str == "(null)" ? 0u : c.str.size()) << c.label;
        EXPECT_EQ(Take(text), c.str) << c.label;
        length = 0xDEADBEEF;
        text = REGQUERYSTREX(&length, block.Args());
        EXPECT_EQ(length, c.strEx.size()) << c.label;
        EXPECT_EQ(Take(text), c.strEx) << c.label;
    }
    FreeString(nullptr);
}

TEST_F(TmsRegFuncsTest, WritesCreateTheirKeys) {
    const std::string path = std::string(kFlat) + "\\a\\b\\c";
    Block block(0, path.c_str(), "greeting");
    block.SetPtr(3, "hi there");
    EXPECT_EQ(REGSETSTR(block.Args()), 0u);
    Block number(0, path.c_str(), "n");
    number.SetInt(3, -2);
    EXPECT_EQ(REGSETVAL(number.Args()), 0u);
    Block list(0, path.c_str(), "list");
    list.SetPtr(3, "alpha\r\nbeta");
    EXPECT_EQ(REGSETTEXTLIST(list.Args()), 0u);
    Block missing(0, path.c_str(), "nothing");
    EXPECT_EQ(REGSETSTR(missing.SetPtr(3, nullptr).Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(REGSETTEXTLIST(missing.Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A key that may not be created gives the create's code.
    ASSERT_EQ(TmRegSetKeyRestriction(reg_.m_hKey, "", KEY_READ), 0);
    const std::string newPath = std::string(kFlat) + "\\New";
    Block refused(0, newPath.c_str(), "l");
    refused.SetPtr(3, "a");
    EXPECT_EQ(REGSETTEXTLIST(refused.Args()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(REGSETSTR(refused.Args()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(REGSETVAL(refused.Args()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(TmRegSetKeyRestriction(reg_.m_hKey, "", KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    CRegistry check;
    ASSERT_EQ(check.OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ), 0);
    EXPECT_EQ(DumpOf(check),
              "greeting (REG_SZ) : hi there\nn (REG_DWORD) : 0xfffffffe\nlist (REG_MULTI_SZ) : alpha\n" +
                  std::string(22, ' ') + "beta\n\n");
}

TEST_F(TmsRegFuncsTest, TextLists) {
    CStringArray list;
    list.Add("one");
    list.Add("two");
    ASSERT_EQ(reg_.SetValue("l", list), 0);
    struct Case { const char* label; const char* name; const char* def; const char* text; };
    const Case kCases[] = {
        {"list", "l", "dflt", "one\r\ntwo"},
        {"missing", "none", "x\r\ny", "x\r\ny"},
        {"no default", "none", nullptr, ""},
    };
    for (const Case& c : kCases) {
        Block block(0, kFlat, c.name);
        block.SetPtr(3, c.def);
        DWORD length = 0xDEADBEEF;
        EXPECT_EQ(Take(REGQUERYTEXTLIST(&length, block.Args())), c.text) << c.label;
        EXPECT_EQ(length, strlen(c.text)) << c.label;
    }
}

TEST_F(TmsRegFuncsTest, Deletions) {
    ASSERT_EQ(reg_.SetValue("v", DWORD(1)), 0);
    CRegistry sub;
    Sub(sub, reg_.m_hKey, "Tree\\Deeper\\Deepest");
    sub.CloseKey();
    struct Case { const char* label; const char* path; const char* name; DWORD value; };
    const std::string tree = std::string(kFlat) + "\\Tree";
    const Case kCases[] = {
        {"value", kFlat, "v", 0},
        {"missing value", kFlat, "v", ERROR_FILE_NOT_FOUND},
        {"missing key", "Software\\Nowhere", "v", ERROR_INVALID_DATA},
    };
    for (const Case& c : kCases) {
        Block block(0, c.path, c.name);
        EXPECT_EQ(REGDELETEVALUE(block.Args()), c.value) << c.label;
    }
    Block deleteTree(0, tree.c_str(), nullptr);
    EXPECT_EQ(REGDELETETREE(deleteTree.Args()), 0u);
    EXPECT_EQ(REGDELETETREE(deleteTree.Args()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Block noPath(0, nullptr, nullptr);
    EXPECT_EQ(REGDELETETREE(noPath.Args()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(DumpOf(reg_), "\n");
}

// A fault inside a call is caught: traced as an unknown exception, then
// trapped one line further on, and the function gives its failure value.
TEST_F(TmsRegFuncsTest, CaughtFaultsGiveTheFailureValues) {
    SetParameter("DebugIt", 1);
    SetParameter("DebugX", 1);
    DebugInit();
    const char* bad = reinterpret_cast<const char*>(8);
    Block block(0, kFlat, "v");
    block.SetPtr(3, bad);
    DWORD length = 0xDEADBEEF;
    EXPECT_EQ(REGSETSTR(block.Args()), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(REGQUERYSTREX(&length, block.Args()), nullptr);
    EXPECT_EQ(length, 0u);
    length = 0xDEADBEEF;
    EXPECT_EQ(REGQUERYTEXTLIST(&length, block.Args()), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(REGSETTEXTLIST(block.Args()), static_cast<DWORD>(ERROR_INVALID_DATA));
    DebugExit();

    const std::string trace = ReadFile(root_ + "/debugit.log");
    size_t at = trace.find("TmsRegFuncs(");
    ASSERT_NE(at, std::string::npos) << trace;
    const int line = atoi(trace.c_str() + at + 12);
    EXPECT_NE(trace.find("TmsRegFuncs(" + std::to_string(line) + ") Unknown exception"), std::string::npos) << trace;
    int trapped = 0;
    for (const std::string& l : MainLines()) {
        trapped += l.find("TmsRegFuncs(" + std::to_string(line + 1) + ") Exception trapped") != std::string::npos;
    }
    // REGSETTEXTLIST's fault is caught by SetTextList's own handler.
    EXPECT_EQ(trapped, 3);
    EXPECT_EQ(REGQUERYVAL(nullptr), 0u);
    EXPECT_EQ(REGSETVAL(nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
}

}  // namespace
}  // namespace tmtest
