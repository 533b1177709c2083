//===-- tests/tools/ListCommandsTest.cpp - tmctl reg list-get|list-set ----===//
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args) { return RunProgram(TmctlPath(), args); }

std::string StoredBytes(const char* name) {
    CRegistry reg;
    EXPECT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, "Software\\ListTest", KEY_READ), 0);
    BYTE data[256];
    DWORD size = sizeof data;
    if (reg.QueryValue(name, data, &size) != 0) return "(none)";
    return std::string(reinterpret_cast<char*>(data), size);
}

TEST(ListCommandsTest, WriteAndReadBack) {
    const std::string key = "HKLM/Software/ListTest";
    struct Case { std::vector<std::string> items; std::string bytes; const char* shown; };
    const Case kCases[] = {
        {{"a", "bc"}, std::string("a\0bc\0\0", 6), "a\nbc\n"},
        {{" spaced out ", "*.d.e"}, std::string(" spaced out \0*.d.e\0\0", 20), " spaced out \n*.d.e\n"},
        {{"x"}, std::string("x\0\0", 3), "x\n"},
    };
    for (const Case& c : kCases) {
        std::vector<std::string> args = {"reg", "list-set", key, "Domains"};
        args.insert(args.end(), c.items.begin(), c.items.end());
        ProcessResult set = Tmctl(args);
        ASSERT_EQ(set.exitCode, 0) << set.err;
        EXPECT_EQ(StoredBytes("Domains"), c.bytes);
        ProcessResult get = Tmctl({"reg", "list-get", key, "Domains"});
        EXPECT_EQ(get.exitCode, 0) << get.err;
        EXPECT_EQ(get.out, c.shown);
        EXPECT_EQ(get.err, "");
    }
}

TEST(ListCommandsTest, RefusalsAndFailures) {
    const std::string kKey = "HKLM/Software/ListTest";
    ASSERT_EQ(Tmctl({"reg", "list-set", kKey, "Kept", "one", "two"}).exitCode, 0);
    struct Case { std::vector<std::string> args; int exitCode; const char* inErr; };
    const Case kCases[] = {
        {{"reg", "list-set", kKey, "Kept", "one", "", "three"}, 2, "item 2 is empty"},
        {{"reg", "list-set", kKey, "Kept"}, 2, "usage:"},
        {{"reg", "list-set", "HKEY_NOWHERE\\x", "Kept", "a"}, 2, "unknown root"},
        {{"reg", "list-get", kKey, "Missing"}, 1, "error 2 (ERROR_FILE_NOT_FOUND"},
        {{"reg", "list-get", "HKLM\\Software\\Nowhere", "Kept"}, 1, "key HKLM\\Software\\Nowhere: error 2"},
        {{"reg", "list-get", kKey}, 2, "tmctl reg list-get KEY NAME"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1] << "\n" << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
    }
    // The refused writes left the value as it was.
    ProcessResult get = Tmctl({"reg", "list-get", kKey, "Kept"});
    EXPECT_EQ(get.out, "one\ntwo\n");
    // Another type is read as a list, with a note.
    ASSERT_EQ(Tmctl({"reg", "set", kKey, "Text", "abc"}).exitCode, 0);
    get = Tmctl({"reg", "list-get", kKey, "Text"});
    EXPECT_EQ(get.exitCode, 0);
    EXPECT_EQ(get.out, "abc\n");
    EXPECT_NE(get.err.find("not a multi-string value"), std::string::npos) << get.err;
}

}  // namespace
}  // namespace tmtest
