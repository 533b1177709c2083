//===-- tests/tools/BrandCommandsTest.cpp - tmctl brand, scramble ---------===//
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args) { return RunProgram(TmctlPath(), args); }

TEST(BrandCommandsTest, WriteThenShowRoundTrips) {
    std::string dir = MakeDir("tmctl-brand");
    ProcessResult write = Tmctl({"brand", "write", dir, "Acme Mail", "Server 3.1", "support@acme.example", "-42",
                                 "extra line", std::string(129, 'z')});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_FALSE(FileExists(dir + "/brand.inf.tmp"));
    // Scrambled lines, CR LF after each, as the library reads text.
    std::vector<std::string> lines = SplitLines(ReadFile(dir + "/brand.inf"));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(ReadFile(dir + "/brand.inf").substr(lines[0].size(), 2), "\r\n");
    ProcessResult scrambled = Tmctl({"scramble", "quillfeather", "-42"});
    EXPECT_EQ(scrambled.out, lines[3] + "\n");
    ProcessResult unscrambled = Tmctl({"unscramble", "quillfeather", lines[0]});
    EXPECT_EQ(unscrambled.out, "Acme Mail\n");

    ProcessResult show = Tmctl({"brand", "show", dir});
    ASSERT_EQ(show.exitCode, 0) << show.err;
    EXPECT_EQ(show.out, "file:    " + dir + "/brand.inf\n"
                        "brand 1: Acme Mail\n"
                        "brand 2: Server 3.1\n"
                        "brand 3: support@acme.example\n"
                        "number:  -42\n"
                        "line 5:  extra line\n"
                        "line 6:  " + std::string(129, 'z') + "\n");

    // Written again: replaced whole.
    ASSERT_EQ(Tmctl({"brand", "write", dir, "a", "b", "c", "+7"}).exitCode, 0);
    show = Tmctl({"brand", "show", dir + "/"});
    EXPECT_EQ(show.out, "file:    " + dir + "/brand.inf\nbrand 1: a\nbrand 2: b\nbrand 3: c\nnumber:  7\n");
}

TEST(BrandCommandsTest, ShowBesideTmctlAndFailures) {
    // Without DIR: the brand.inf beside tmctl's own executable, read by the
    // library's default constructor.
    std::string toolDir = MakeDir("tmctl-home");
    std::string tool = toolDir + "/tmctl";
    std::filesystem::copy_file(TmctlPath(), tool, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(Tmctl({"brand", "write", toolDir, "here", "b", "c", "1"}).exitCode, 0);
    ProcessResult beside = RunProgram(tool, {"brand", "show"});
    EXPECT_EQ(beside.exitCode, 0) << beside.err;
    EXPECT_NE(beside.out.find("brand 1: here\n"), std::string::npos) << beside.out;

    std::string missing = MakeDir("tmctl-brand-missing");
    ProcessResult none = Tmctl({"brand", "show", missing});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find(missing + "/brand.inf: error 2 (ERROR_FILE_NOT_FOUND"), std::string::npos) << none.err;

    std::string shortDir = MakeDir("tmctl-brand-short");
    ProcessResult full = Tmctl({"brand", "write", shortDir, "a", "b", "c", "1"});
    ASSERT_EQ(full.exitCode, 0);
    std::vector<std::string> lines = SplitLines(ReadFile(shortDir + "/brand.inf"));
    WriteFile(shortDir + "/brand.inf", lines[0] + "\r\n" + lines[1] + "\r\n");
    ProcessResult partial = Tmctl({"brand", "show", shortDir});
    EXPECT_EQ(partial.exitCode, 1);
    EXPECT_NE(partial.out.find("brand 2: b\n"), std::string::npos) << partial.out;
    EXPECT_EQ(partial.out.find("number:"), std::string::npos) << partial.out;
    EXPECT_NE(partial.err.find("fewer than four lines"), std::string::npos) << partial.err;

    ProcessResult noDir = Tmctl({"brand", "write", missing + "/not/there", "a", "b", "c", "1"});
    EXPECT_EQ(noDir.exitCode, 1);
    EXPECT_NE(noDir.err.find("error 3 (ERROR_PATH_NOT_FOUND"), std::string::npos) << noDir.err;
}

TEST(BrandCommandsTest, BadUsage) {
    std::string dir = MakeDir("tmctl-brand-usage");
    std::string tooLong(130, 'x');
    struct Case { std::vector<std::string> args; const char* inErr; };
    const Case kCases[] = {
        {{"brand", "write", dir, "a", "b", "c"}, "usage:"},
        {{"brand", "write", dir, "a", "b", "c", "12x"}, "not a 32-bit decimal number: 12x"},
        {{"brand", "write", dir, "a", "b", "c", "2147483648"}, "not a 32-bit decimal number"},
        {{"brand", "write", dir, "a", "", "c", "1"}, "line 2 is empty"},
        {{"brand", "write", dir, tooLong, "b", "c", "1"}, "line 1 is longer than 129 characters"},
        {{"brand", "show", dir, dir}, "usage:"},
        {{"scramble", "", "text"}, "the key must not be empty"},
        {{"unscramble", "", "C3"}, "the key must not be empty"},
        {{"unscramble", "A", "C3C"}, "not scrambled text"},
        {{"unscramble", "A", "c3"}, "not scrambled text"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        std::string label = c.args[0] + " " + c.args[1] + " ...";
        EXPECT_EQ(r.exitCode, 2) << label << "\n" << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << label << "\n" << r.err;
    }
    // Nothing was written by a refused command.
    EXPECT_FALSE(FileExists(dir + "/brand.inf"));
}

}  // namespace
}  // namespace tmtest
