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
    CRegistry reg_;
};

// A value written by a program that counted strlen(s) bytes is stored with
// the zero after them, as NT stores it, and reads back whole; a number
// takes only the bytes stored, over what the variable held.
TEST_F(CRegistryTest, TextAndNumberReads) {
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
    EXPECT_EQ(reg_.QueryValue("multi", text), 0);
    EXPECT_STREQ(text, "a");
    text = "untouched";
    EXPECT_EQ(reg_.QueryValue("nothing", text), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(text, "untouched");

    Store("short", REG_BINARY, "\x01\x02");
    DWORD number = 0xFFFFFFFF;
    int signedNumber = -1;
    unsigned long wide = ~0ul;  // a Windows unsigned long is 32 bits: nothing left above it
    EXPECT_EQ(reg_.QueryValue("short", number) + reg_.QueryValue("short", signedNumber) + reg_.QueryValue("short", wide), 0);
    EXPECT_EQ(number, 0xFFFF0201u);
    EXPECT_EQ(static_cast<unsigned>(signedNumber), 0xFFFF0201u);
    EXPECT_EQ(wide, 0xFFFF0201ul);
    wide = ~0ul;
    EXPECT_EQ(reg_.QueryValue("missing", wide), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(wide, ~0ul);
    Store("long", REG_BINARY, "\1\2\3\4\5\6");
    EXPECT_EQ(reg_.QueryValue("long", number), ERROR_MORE_DATA);
    // Text is stored with its zero and read as its bytes, not as twelve.
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
    ASSERT_EQ(reg_.SetValue(std::string(79, 'v').c_str(), "x") + reg_.SetValue(std::string(80, 'w').c_str(), "x"), 0);
    Sub(k39, reg_.m_hKey, std::string(39, 'k').c_str());
    Sub(k40, reg_.m_hKey, std::string(40, 'l').c_str());
    std::string seen;
    for (DWORD i = 0; i < 3; ++i) {
        CString value("stale"), key("stale");
        DWORD type = 0;
        const LONG rcValue = reg_.EnumValue(i, value, type), rcKey = reg_.EnumKey(i, key);
        seen += std::to_string(rcValue) + " " + std::string(value) + " " + std::to_string(type) + "/" + std::to_string(rcKey) + " " + std::string(key) + "\n";
    }
    EXPECT_EQ(seen, "0 " + std::string(79, 'v') + " 1/0 " + std::string(39, 'k') + "\n234  1/234 \n259  0/259 \n");
}

// A list is each element and its zero, then one more zero; it ends at the
// first empty element. Read as a list, other shapes never pass their data.
TEST_F(CRegistryTest, ListsAndTheirBytes) {
    struct Case { const char* name; bool set; std::vector<const char*> items; DWORD type; std::string bytes; std::vector<std::string> back; };
    const Case kCases[] = {
        {"two", true, {"a", "bc"}, REG_MULTI_SZ, std::string("a\0bc\0\0", 6), {"a", "bc"}},
        {"none", true, {}, REG_MULTI_SZ, std::string("\0\0", 2), {}},
        {"hole", true, {"a", "", "b"}, REG_MULTI_SZ, std::string("a\0\0b\0\0", 6), {"a"}},
        {"spaces", true, {" a b ", "\xe9\n"}, REG_MULTI_SZ, std::string(" a b \0\xe9\n\0\0", 10), {" a b ", "\xe9\n"}},
        {"sz", false, {}, REG_SZ, std::string("abc\0", 4), {"abc"}},
        {"unterminated", false, {}, REG_MULTI_SZ, "ab", {"ab"}},
        {"oneZero", false, {}, REG_MULTI_SZ, std::string("ab\0cd", 5), {"ab", "cd"}},
        {"dword", false, {}, REG_DWORD, std::string("\x41\x42\0\x43", 4), {"AB", "C"}},
        {"empty", false, {}, REG_MULTI_SZ, "", {}},
    };
    for (const Case& c : kCases) {
        CStringArray list;
        for (const char* e : c.items) list.Add(e);
        if (c.set) {
            ASSERT_EQ(reg_.SetValue(c.name, list), 0) << c.name;
        } else {
            Store(c.name, c.type, c.bytes);
        }
        DWORD type = 0;
        EXPECT_EQ(c.set ? Stored(c.name, &type) : c.bytes, c.bytes) << c.name;
        EXPECT_EQ(c.set ? type : c.type, c.type) << c.name;
        list.RemoveAll();
        list.Add("stale");
        EXPECT_EQ(reg_.QueryValue(c.name, list), 0) << c.name;
        std::vector<std::string> back;
        for (int i = 0; i < list.GetSize(); ++i) back.emplace_back(list[i]);
        EXPECT_EQ(back, c.back) << c.name;
    }
    CStringArray list;
    list.Add("stale");
    EXPECT_EQ(reg_.QueryValue("missing", list), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(list.GetSize(), 0);  // emptied all the same
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

// Windows code declares sizes and types as unsigned long; NULL and nullptr
// still pick the DWORD forms.
TEST_F(CRegistryTest, OutputsDeclaredAsUnsignedLong) {
    ASSERT_EQ(reg_.SetValue("n", 7UL) + reg_.SetValue("s", "text"), 0);
    unsigned long type = ~0ul, size = 2, number = ~0ul;
    CString text;
    EXPECT_EQ(reg_.QueryValue("s", text, &type), 0);
    EXPECT_EQ(type, static_cast<unsigned long>(REG_SZ));
    EXPECT_EQ(reg_.QueryValue("n", number, &type), 0);
    EXPECT_EQ(number & 0xFFFFFFFFul, 7ul);
    EXPECT_EQ(type, static_cast<unsigned long>(REG_DWORD));
    char buffer[2];
    EXPECT_EQ(reg_.QueryValue("s", buffer, &size, &type), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5ul);  // the size needed
    EXPECT_EQ(reg_.QueryValue("s", text, NULL) + reg_.QueryValue("s", text, nullptr), 0);
    CString name;
    EXPECT_EQ(reg_.EnumValue(1, name, type), 0);
    EXPECT_STREQ(name, "s");
}

}  // namespace
}  // namespace tmtest
