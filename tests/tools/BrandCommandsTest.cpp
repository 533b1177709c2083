//===-- tests/tools/BrandCommandsTest.cpp - tmctl brand, scramble ---------===//
#include <filesystem>

#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

TEST(BrandCommandsTest, WriteThenShowRoundTrips) {
    std::string dir = MakeDir("tmctl-brand");
    Check({{"brand", "write", dir, "Acme Mail", "Server 3.1", "support@acme.example", "-42", "extra line",
            std::string(129, 'z')},
           0});
    EXPECT_FALSE(FileExists(dir + "/brand.inf.tmp"));
    // Scrambled lines, CR LF after each, as the library reads text.
    const std::string file = ReadFile(dir + "/brand.inf");
    std::vector<std::string> lines = SplitLines(file);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(file.substr(lines[0].size(), 2), "\r\n");
    Check({{"scramble", "quillfeather", "-42"}, 0, lines[3] + "\n"});
    Check({{"unscramble", "quillfeather", lines[0]}, 0, "Acme Mail\n"});
    Check({{"brand", "show", dir}, 0,
           "file:    " + dir + "/brand.inf\nbrand 1: Acme Mail\nbrand 2: Server 3.1\nbrand 3: support@acme.example\n"
           "number:  -42\nline 5:  extra line\nline 6:  " + std::string(129, 'z') + "\n"});
    // Written again: replaced whole; "-" is standard output.
    Check({{"brand", "write", dir, "a", "b", "c", "+7"}, 0});
    Check({{"brand", "show", dir + "/"}, 0, "file:    " + dir + "/brand.inf\nbrand 1: a\nbrand 2: b\nbrand 3: c\nnumber:  7\n"});
    Check({{"brand", "write", "-", "a", "b", "c", "+7"}, 0, ReadFile(dir + "/brand.inf")});
}

TEST(BrandCommandsTest, ShowBesideTmctlAndFailures) {
    // Without DIR: the brand.inf beside tmctl's own executable, read by the
    // library's default constructor.
    std::string toolDir = MakeDir("tmctl-home");
    std::filesystem::copy_file(TmctlPath(), toolDir + "/tmctl", std::filesystem::copy_options::overwrite_existing);
    Check({{"brand", "write", toolDir, "here", "b", "c", "1"}, 0});
    ProcessResult beside = RunProgram(toolDir + "/tmctl", {"brand", "show"});
    EXPECT_EQ(beside.exitCode, 0) << beside.err;
    EXPECT_NE(beside.out.find("brand 1: here\n"), std::string::npos) << beside.out;

    std::string missing = MakeDir("tmctl-brand-missing");
    Check({{"brand", "show", missing}, 1, std::nullopt, missing + "/brand.inf: error 2 (ERROR_FILE_NOT_FOUND"});
    Check({{"brand", "write", missing + "/not/there", "a", "b", "c", "1"}, 1, std::nullopt,
           "error 3 (ERROR_PATH_NOT_FOUND"});
    // A file cut after two lines: what there is, then the failure.
    std::vector<std::string> lines = SplitLines(ReadFile(toolDir + "/brand.inf"));
    WriteFile(toolDir + "/brand.inf", lines[0] + "\r\n" + lines[1] + "\r\n");
    ProcessResult partial = Tmctl({"brand", "show", toolDir});
    EXPECT_EQ(partial.exitCode, 1);
    EXPECT_NE(partial.out.find("brand 2: b\n"), std::string::npos) << partial.out;
    EXPECT_EQ(partial.out.find("number:"), std::string::npos) << partial.out;
    EXPECT_NE(partial.err.find("fewer than four lines"), std::string::npos) << partial.err;
}

// A number line that another tool wrote: read as "%d" reads it, and one
// without digits or outside 32 bits leaves the number 0.
TEST(BrandCommandsTest, ShowReadsTheNumberLine) {
    const std::string dir = MakeDir("tmctl-brand-number");
    auto scrambled = [](const std::string& text) { return Tmctl({"scramble", "quillfeather", text}).out.substr(0, text.size() * 2); };
    const std::pair<const char*, const char*> kCases[] = {
        {"2147483647", "2147483647"}, {"-2147483648", "-2147483648"}, {"+12abc", "12"},
        {"2147483648", "0"}, {"-2147483649", "0"}, {"99999999999999999999", "0"}, {"x1", "0"},
    };
    for (const auto& [line, shown] : kCases) {
        WriteFile(dir + "/brand.inf", scrambled("a") + "\r\n" + scrambled("b") + "\r\n" + scrambled("c") + "\r\n" + scrambled(line) + "\r\n");
        Check({{"brand", "show", dir}, 0, std::nullopt, "", "number:  " + std::string(shown) + "\n"});
    }
}

TEST(BrandCommandsTest, BadUsage) {
    std::string dir = MakeDir("tmctl-brand-usage");
    const Call kCalls[] = {
        {{"brand", "write", dir, "a", "b", "c"}, 2, "", "usage:"},
        {{"brand", "write", dir, "a", "b", "c", "12x"}, 2, "", "not a 32-bit decimal number: 12x"},
        {{"brand", "write", dir, "a", "b", "c", "2147483648"}, 2, "", "not a 32-bit decimal number"},
        {{"brand", "write", dir, "a", "", "c", "1"}, 2, "", "line 2 is empty"},
        {{"brand", "write", dir, std::string(130, 'x'), "b", "c", "1"}, 2, "", "line 1 is longer than 129 characters"},
        {{"scramble", "", "text"}, 2, "", "the key must not be empty"},
        {{"unscramble", "A", "C3C"}, 2, "", "not scrambled text"},
        {{"unscramble", "A", "c3"}, 2, "", "not scrambled text"},
    };
    for (const Call& call : kCalls) Check(call);
    EXPECT_FALSE(FileExists(dir + "/brand.inf"));  // nothing written by a refused command
}

}  // namespace
}  // namespace tmtest
