//===-- tests/registry/RegistryListsTest.cpp - Multi-string values --------===//
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcommon.h"

namespace {

class RegistryListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(reg_.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kelt\\Tamarak\\Lists", 0x2001F, 0), 0);
    }
    std::string Stored(const char* name, DWORD* type = nullptr) {
        BYTE data[256];
        DWORD size = sizeof data;
        EXPECT_EQ(reg_.QueryValue(name, data, &size, type), 0) << name;
        return std::string(reinterpret_cast<char*>(data), size);
    }
    std::vector<std::string> Read(const char* name, LONG expected = 0) {
        CStringArray list;
        list.Add("stale");
        EXPECT_EQ(reg_.QueryValue(name, list), expected) << name;
        std::vector<std::string> out;
        for (int i = 0; i < list.GetSize(); ++i) out.emplace_back(list[i]);
        return out;
    }
    CRegistry reg_;
};

TEST_F(RegistryListsTest, ArraysAndTheirBytes) {
    struct Case { const char* name; std::vector<const char*> elements; std::string bytes; std::vector<std::string> back; };
    const Case kCases[] = {
        {"two", {"a", "bc"}, std::string("a\0bc\0\0", 6), {"a", "bc"}},
        {"one", {"x"}, std::string("x\0\0", 3), {"x"}},
        {"none", {}, std::string("\0\0", 2), {}},
        {"hole", {"a", "", "b"}, std::string("a\0\0b\0\0", 6), {"a"}},  // the empty element hides the rest
        {"spaces", {" a b ", "\xe9\n"}, std::string(" a b \0\xe9\n\0\0", 10), {" a b ", "\xe9\n"}},
    };
    for (const Case& c : kCases) {
        CStringArray list;
        for (const char* e : c.elements) list.Add(e);
        ASSERT_EQ(reg_.SetValue(c.name, list), 0) << c.name;
        DWORD type = 0;
        EXPECT_EQ(Stored(c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ)) << c.name;
        EXPECT_EQ(Read(c.name), c.back) << c.name;
    }
}

TEST_F(RegistryListsTest, ReadingOtherShapesNeverPassesTheData) {
    struct Case { const char* name; DWORD type; std::string bytes; std::vector<std::string> back; };
    const Case kCases[] = {
        {"sz", REG_SZ, std::string("abc\0", 4), {"abc"}},
        {"unterminated", REG_MULTI_SZ, "ab", {"ab"}},
        {"oneZero", REG_MULTI_SZ, std::string("ab\0cd", 5), {"ab", "cd"}},
        {"dword", REG_DWORD, std::string("\x41\x42\0\x43", 4), {"AB", "C"}},
        {"empty", REG_MULTI_SZ, "", {}},
    };
    for (const Case& c : kCases) {
        ASSERT_EQ(RegSetValueExA(reg_.m_hKey, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                                 static_cast<DWORD>(c.bytes.size())),
                  0);
        EXPECT_EQ(Read(c.name), c.back) << c.name;
    }
    EXPECT_EQ(Read("missing", ERROR_FILE_NOT_FOUND), std::vector<std::string>{});  // emptied all the same
}

TEST_F(RegistryListsTest, TextLists) {
    struct Case { const char* name; const char* text; std::string bytes; const char* back; };
    const Case kCases[] = {
        {"crlf", "alpha\r\nbeta\r\n", std::string("alpha\0beta\0\0\0", 13), "alpha\r\nbeta"},
        {"blank", "one two\r\nthree", std::string("one\0\0", 5), "one"},
        {"tab", "a\r\nb\tc", std::string("a\0b\0\0", 5), "a\r\nb"},
        {"empty", "", std::string("\0\0", 2), ""},
        {"lf", "x\ny\nz", std::string("x\ny\nz\0\0", 7), "x\ny\nz"},
        {"lastCr", "a\r", std::string("a\0\0", 3), "a"},
        {"bareCr", "a\rbc", std::string("a\0c\0\0", 5), "a\r\nc"},
    };
    for (const Case& c : kCases) {
        ASSERT_EQ(reg_.SetTextList(c.name, c.text), 0) << c.name;
        EXPECT_EQ(Stored(c.name), c.bytes) << c.name;
        CString text("stale");
        EXPECT_EQ(reg_.QueryTextList(c.name, text), 0) << c.name;
        EXPECT_STREQ(text, c.back) << c.name;
    }
    CString text("untouched");
    EXPECT_EQ(reg_.QueryTextList("missing", text), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(RegistryListsTest, WritesThroughAReadOnlyHandleFail) {
    CRegistry readOnly;
    ASSERT_EQ(readOnly.OpenKey(HKEY_LOCAL_MACHINE, "Software\\Kelt\\Tamarak\\Lists", KEY_READ), 0);
    CStringArray list;
    list.Add("x");
    EXPECT_EQ(readOnly.SetValue("ro", list), ERROR_ACCESS_DENIED);
    EXPECT_EQ(readOnly.SetTextList("ro", "x"), ERROR_ACCESS_DENIED);
}

}  // namespace
