//===-- tests/registry/CRegistryTest.cpp - One open key, its values and lists -===//
#include <string>
#include <vector>

#include "registry/TreeSupport.h"

namespace tmtest {
namespace {

class CRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { FreshKey(reg_, "Values"); }
    void Store(const char* name, DWORD type, const std::string& data) { tmtest::Store(reg_.m_hKey, name, type, data); }
    std::string Stored(const char* name, DWORD* type = nullptr) {
        BYTE data[256];
        DWORD size = sizeof data;
        EXPECT_EQ(reg_.QueryValue(name, data, &size, type), 0) << name;
        return std::string(reinterpret_cast<char*>(data), size);
    }
    std::vector<std::string> List(const char* name, LONG expected = 0) {
        CStringArray list;
        list.Add("stale");
        EXPECT_EQ(reg_.QueryValue(name, list), expected) << name;
        std::vector<std::string> out;
        for (int i = 0; i < list.GetSize(); ++i) out.emplace_back(list[i]);
        return out;
    }
    CRegistry reg_;
};

// A value written by a program that counted strlen(s) bytes is stored with
// the zero after them, as NT stores it, and reads back whole.
TEST_F(CRegistryTest, TextReadTakesTheLastByteForTheTerminator) {
    struct Case { const char* name; const char* bytes; DWORD counted; std::string text; };
    const Case kCases[] = {
        {"sz", "abc", 4, "abc"}, {"unterminated", "abcX", 3, "ab"}, {"strlen", "abc", 3, "abc"}, {"empty", "", 0, ""}};
    for (const Case& c : kCases) {
        ASSERT_EQ(RegSetValueExA(reg_.m_hKey, c.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.bytes), c.counted), 0);
        CString text("previous");
        DWORD type = 0xDEADBEEF;
        EXPECT_EQ(reg_.QueryValue(c.name, text, &type), 0) << c.name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << c.name;
        EXPECT_EQ(std::string(text, text.GetLength()), c.text) << c.name;
    }
    Store("multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
    CString text;
    EXPECT_EQ(reg_.QueryValue("multi", text), 0);  // no type wanted
    EXPECT_STREQ(text, "a");
    text = "untouched";
    EXPECT_EQ(reg_.QueryValue("nothing", text), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(CRegistryTest, NumberReadFillsOnlyWhatIsStored) {
    Store("short", REG_BINARY, "\x01\x02");
    DWORD number = 0xFFFFFFFF;
    int signedNumber = -1;
    // A Windows unsigned long is 32 bits: this one holds the 32-bit number
    // whole, with nothing left above it.
    unsigned long wide = ~0ul;
    EXPECT_EQ(reg_.QueryValue("short", number), 0);
    EXPECT_EQ(reg_.QueryValue("short", signedNumber), 0);
    EXPECT_EQ(reg_.QueryValue("short", wide), 0);
    EXPECT_EQ(number, 0xFFFF0201u);
    EXPECT_EQ(static_cast<unsigned>(signedNumber), 0xFFFF0201u);
    EXPECT_EQ(wide, 0xFFFF0201ul);
    wide = ~0ul;
    EXPECT_EQ(reg_.QueryValue("missing", wide), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(wide, ~0ul);
    Store("long", REG_BINARY, "\1\2\3\4\5\6");
    EXPECT_EQ(reg_.QueryValue("long", number), ERROR_MORE_DATA);
    // Text is stored with its zero, and read as its bytes, not as twelve;
    // the byte after its zero keeps what it held.
    ASSERT_EQ(reg_.SetValue("text12", "12"), 0);
    EXPECT_EQ(Stored("text12"), std::string("12", 3));
    number = 0xBDBDBDBD;
    EXPECT_EQ(reg_.QueryValue("text12", number), 0);
    EXPECT_EQ(number, 0xBD003231u);
}

// Value names of 80 characters or more, key names of 40 or more, give
// ERROR_MORE_DATA and an empty name.
TEST_F(CRegistryTest, EnumerationNameLimits) {
    CRegistry k39, k40;
    ASSERT_EQ(reg_.SetValue(std::string(79, 'v').c_str(), "x"), 0);
    ASSERT_EQ(reg_.SetValue(std::string(80, 'w').c_str(), "x"), 0);
    ASSERT_EQ(k39.CreateKey(reg_.m_hKey, std::string(39, 'k').c_str(), 0x2001F, 0), 0);
    ASSERT_EQ(k40.CreateKey(reg_.m_hKey, std::string(40, 'l').c_str(), 0x2001F, 0), 0);
    CString name;
    DWORD type = 0;
    EXPECT_EQ(reg_.EnumValue(0, name, type), 0);
    EXPECT_STREQ(name, std::string(79, 'v').c_str());
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(reg_.EnumValue(1, name, type), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(reg_.EnumValue(2, name, type), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg_.EnumKey(0, name), 0);
    EXPECT_STREQ(name, std::string(39, 'k').c_str());
    EXPECT_EQ(reg_.EnumKey(1, name), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(reg_.EnumKey(2, name), ERROR_NO_MORE_ITEMS);
}

// A list is each element and its zero, then one more zero; it ends at the
// first empty element.
TEST_F(CRegistryTest, ListsAndTheirBytes) {
    struct Case { const char* name; std::vector<const char*> items; std::string bytes; std::vector<std::string> back; };
    const Case kCases[] = {
        {"two", {"a", "bc"}, std::string("a\0bc\0\0", 6), {"a", "bc"}},
        {"none", {}, std::string("\0\0", 2), {}},
        {"hole", {"a", "", "b"}, std::string("a\0\0b\0\0", 6), {"a"}},
        {"spaces", {" a b ", "\xe9\n"}, std::string(" a b \0\xe9\n\0\0", 10), {" a b ", "\xe9\n"}},
    };
    for (const Case& c : kCases) {
        CStringArray list;
        for (const char* e : c.items) list.Add(e);
        ASSERT_EQ(reg_.SetValue(c.name, list), 0) << c.name;
        DWORD type = 0;
        EXPECT_EQ(Stored(c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ)) << c.name;
        EXPECT_EQ(List(c.name), c.back) << c.name;
    }
}

TEST_F(CRegistryTest, ListReadsOfOtherShapesNeverPassTheData) {
    struct Case { const char* name; DWORD type; std::string bytes; std::vector<std::string> back; };
    const Case kCases[] = {
        {"sz", REG_SZ, std::string("abc\0", 4), {"abc"}},
        {"unterminated", REG_MULTI_SZ, "ab", {"ab"}},
        {"oneZero", REG_MULTI_SZ, std::string("ab\0cd", 5), {"ab", "cd"}},
        {"dword", REG_DWORD, std::string("\x41\x42\0\x43", 4), {"AB", "C"}},
        {"empty", REG_MULTI_SZ, "", {}},
    };
    for (const Case& c : kCases) {
        Store(c.name, c.type, c.bytes);
        EXPECT_EQ(List(c.name), c.back) << c.name;
    }
    EXPECT_EQ(List("missing", ERROR_FILE_NOT_FOUND), std::vector<std::string>{});  // emptied all the same
}

// Text up to the first space or tab, lines split at CR and the character
// after it; read back joined with CR LF.
TEST_F(CRegistryTest, TextLists) {
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

}  // namespace
}  // namespace tmtest

namespace {

// Windows code declares sizes and types as unsigned long; NULL and nullptr
// still pick the DWORD forms.
TEST(CRegistryUnsignedLongTest, OutputsDeclaredAsUnsignedLong) {
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kelt\\Tamarak\\Wide", 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("n", 7UL), 0);
    ASSERT_EQ(reg.SetValue("s", "text"), 0);
    unsigned long type = ~0ul, size = 2, number = ~0ul;
    CString text;
    EXPECT_EQ(reg.QueryValue("s", text, &type), 0);
    EXPECT_EQ(type, static_cast<unsigned long>(REG_SZ));
    EXPECT_EQ(reg.QueryValue("n", number, &type), 0);
    EXPECT_EQ(number & 0xFFFFFFFFul, 7ul);
    EXPECT_EQ(type, static_cast<unsigned long>(REG_DWORD));
    char buffer[2];
    EXPECT_EQ(reg.QueryValue("s", buffer, &size, &type), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5ul);  // the size needed
    EXPECT_EQ(reg.QueryValue("s", text, NULL), 0);
    EXPECT_EQ(reg.QueryValue("s", text, nullptr), 0);
    CString name;
    EXPECT_EQ(reg.EnumValue(1, name, type), 0);
    EXPECT_STREQ(name, "s");
}

}  // namespace
