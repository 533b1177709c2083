//===-- tests/registry/CRegistryTest.cpp - One open key and its values ----===//
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace {

const char kKey[] = "Software\\Kelt\\Tamarak\\Test";

class CRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(reg_.CreateKey(HKEY_LOCAL_MACHINE, kKey, 0x2001F, 0), 0);
    }
    void Store(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExA(reg_.m_hKey, name, 0, type, static_cast<const BYTE*>(data), size), 0);
    }
    CRegistry reg_;
};

TEST_F(CRegistryTest, TextReadTakesTheLastByteForTheTerminator) {
    const DWORD dword = 0x12345678;
    struct Case { const char* name; DWORD type; std::string bytes; std::string text; };
    const Case kCases[] = {
        {"sz", REG_SZ, std::string("abc", 4), "abc"},
        {"unterminated", REG_SZ, "abc", "ab"},
        {"empty", REG_SZ, "", ""},
        {"number", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4), "\x78\x56\x34"},
        {"expand", REG_EXPAND_SZ, std::string("%TEMP%\\x", 9), "%TEMP%\\x"},
    };
    for (const Case& c : kCases) {
        Store(c.name, c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        CString text("previous");
        DWORD type = 0xDEADBEEF;
        EXPECT_EQ(reg_.QueryValue(c.name, text, &type), 0) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(std::string(text, text.GetLength()), c.text) << c.name;
    }
    Store("multi", REG_MULTI_SZ, "a\0bc\0\0", 6);
    CString text;
    EXPECT_EQ(reg_.QueryValue("multi", text), 0);  // no type wanted
    EXPECT_STREQ(text, "a");
}

TEST_F(CRegistryTest, MissingValueLeavesTheTextAlone) {
    CString text("untouched");
    DWORD type = 0xDEADBEEF;
    EXPECT_EQ(reg_.QueryValue("nothing", text, &type), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(CRegistryTest, WritesStoreExactlyTheirBytes) {
    ASSERT_EQ(reg_.SetValue("text", "abc"), 0);
    ASSERT_EQ(reg_.SetValue("number", static_cast<DWORD>(0xA1B2C3D4)), 0);
    const BYTE bytes[] = {0, 1, 0, 2};
    ASSERT_EQ(reg_.SetValue("bytes", bytes, 4), 0);
    struct Case { const char* name; DWORD type; std::string data; };
    const Case kCases[] = {
        {"text", REG_SZ, std::string("abc", 4)},
        {"number", REG_DWORD, "\xD4\xC3\xB2\xA1"},
        {"bytes", REG_BINARY, std::string("\0\1\0\2", 4)},
    };
    for (const Case& c : kCases) {
        BYTE buffer[16];
        DWORD size = sizeof buffer, type = 0;
        ASSERT_EQ(reg_.QueryValue(c.name, buffer, &size, &type), 0) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), c.data) << c.name;
    }
}

TEST_F(CRegistryTest, NumberReadFillsOnlyWhatIsStored) {
    const BYTE two[] = {0x01, 0x02};
    ASSERT_EQ(reg_.SetValue("short", two, 2), 0);
    DWORD number = 0xFFFFFFFF;
    EXPECT_EQ(reg_.QueryValue("short", number), 0);
    EXPECT_EQ(number, 0xFFFF0201u);
    int signedNumber = -1;
    EXPECT_EQ(reg_.QueryValue("short", signedNumber), 0);
    EXPECT_EQ(static_cast<unsigned>(signedNumber), 0xFFFF0201u);
    unsigned long wide = ~0ul;
    EXPECT_EQ(reg_.QueryValue("short", wide), 0);
    EXPECT_EQ(wide & 0xFFFFFFFFul, 0xFFFF0201ul);
    const BYTE six[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(reg_.SetValue("long", six, 6), 0);
    EXPECT_EQ(reg_.QueryValue("long", number), ERROR_MORE_DATA);
    ASSERT_EQ(reg_.SetValue("text12", "12"), 0);
    number = 0;
    EXPECT_EQ(reg_.QueryValue("text12", number), 0);
    EXPECT_EQ(number, 0x003231u);  // the characters' bytes, not twelve
}

TEST_F(CRegistryTest, EnumerationNameLimits) {
    CRegistry sub;
    ASSERT_EQ(sub.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Kelt\\Tamarak\\Names", 0x2001F, 0), 0);
    ASSERT_EQ(sub.SetValue(std::string(79, 'v').c_str(), "x"), 0);
    ASSERT_EQ(sub.SetValue(std::string(80, 'w').c_str(), "x"), 0);
    CRegistry k39, k40;
    ASSERT_EQ(k39.CreateKey(sub.m_hKey, std::string(39, 'k').c_str(), 0x2001F, 0), 0);
    ASSERT_EQ(k40.CreateKey(sub.m_hKey, std::string(40, 'l').c_str(), 0x2001F, 0), 0);
    CString name("sentinel");
    DWORD type = 0;
    EXPECT_EQ(sub.EnumValue(0, name, type), 0);
    EXPECT_EQ(name.GetLength(), 79);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    name = "sentinel";
    EXPECT_EQ(sub.EnumValue(1, name, type), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(sub.EnumValue(2, name, type), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(sub.EnumKey(0, name), 0);
    EXPECT_EQ(name.GetLength(), 39);
    name = "sentinel";
    EXPECT_EQ(sub.EnumKey(1, name), ERROR_MORE_DATA);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(sub.EnumKey(2, name), ERROR_NO_MORE_ITEMS);
}

TEST_F(CRegistryTest, KeysOpenLocallyAndRemoteNamesFail) {
    CRegistry local, remote;
    EXPECT_EQ(local.OpenKey(nullptr, HKEY_LOCAL_MACHINE, kKey, 0x2001F), 0);
    EXPECT_NE(local.m_hKey, nullptr);
    EXPECT_EQ(remote.OpenKey("\\\\nosuchhost", HKEY_LOCAL_MACHINE, kKey, 0x2001F), ERROR_BAD_NETPATH);
    EXPECT_EQ(remote.m_hKey, nullptr);
    CRegistry missing;
    EXPECT_EQ(missing.OpenKey(HKEY_LOCAL_MACHINE, "Software\\Nothing\\Here", 0x2001F), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(local.CloseKey(), 0);
    EXPECT_EQ(local.m_hKey, nullptr);
    EXPECT_EQ(local.CloseKey(), ERROR_INVALID_HANDLE);  // nothing held
}

TEST_F(CRegistryTest, DeletingValuesAndKeys) {
    ASSERT_EQ(reg_.SetValue("gone", "x"), 0);
    EXPECT_EQ(reg_.DeleteValue("gone"), 0);
    EXPECT_EQ(reg_.DeleteValue("gone"), ERROR_FILE_NOT_FOUND);
    CRegistry child, grandchild;
    ASSERT_EQ(child.CreateKey(reg_.m_hKey, "Child", 0x2001F, 0), 0);
    ASSERT_EQ(grandchild.CreateKey(child.m_hKey, "Grandchild", 0x2001F, 0), 0);
    EXPECT_EQ(reg_.DeleteKey("Child"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(child.DeleteKey("Grandchild"), 0);
    EXPECT_EQ(reg_.DeleteKey("Child"), 0);
}

}  // namespace
