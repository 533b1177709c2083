//===-- tests/tools/MimeCommandsTest.cpp - tmctl mime, tmctl uudecode -----===//
#include <sys/stat.h>

#include <random>

#include "../../fuzz/support/CodecsReference.h"
#include "tools/ToolSupport.h"

namespace tmtest {
namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    return data;
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(MimeCommandsTest, UsageAndFailures) {
    std::string dir = MakeDir("mime-usage");
    const Call kCalls[] = {
        {{"mime", "encode"}, 2, "", "usage:"},
        {{"mime", "encode", "a", "b"}, 2, "", "tmctl mime encode [--crlf] FILE"},
        {{"uudecode", "--output"}, 2, "", "tmctl uudecode [--output PATH] [FILE]"},
        {{"mime", "encode", dir + "/missing"}, 1, "", "missing: No such file or directory"},
        {{"mime", "encode", dir}, 1, "", "Is a directory"},
        {{"uudecode", dir + "/missing"}, 1, "", "No such file or directory"},
    };
    for (const Call& call : kCalls) Check(call);
}

// Against the reference codec: LF and CR LF lines, decoded from a file and
// from standard input.
TEST(MimeCommandsTest, EncodeAndDecodeRoundTrip) {
    std::string dir = MakeDir("mime-roundtrip");
    for (size_t size : {0u, 1u, 48u, 49u, 100000u}) {
        const std::string data = RandomBytes(size, static_cast<unsigned>(size)), path = dir + "/data";
        const std::string lines = tmref::EncodeLines(data);
        WriteFile(path, data);
        WriteFile(path + ".b64", WithCrLf(lines));
        Check({{"mime", "encode", path}, 0, lines});
        Check({{"mime", "encode", "--crlf", path}, 0, WithCrLf(lines)});
        Check({{"mime", "decode", path + ".b64"}, 0, data});
        Check({{"mime", "decode"}, 0, data}, lines);
    }
    // A group carried over line ends; a final incomplete group decoded.
    Check({{"mime", "decode", "-"}, 0, "ABCAB"}, "QUJD\nQU\nI=\n");
}

TEST(MimeCommandsTest, Uudecode) {
    std::string dir = MakeDir("uudecode");
    std::string data = RandomBytes(1000, 9);
    std::string body;
    for (size_t at = 0; at < data.size(); at += 45) body += tmref::UUEncodeLine(data.substr(at, 45), at % 2) + "\n";
    std::string mail = "From: someone\r\n\r\nbeginning of the text\nbegin 640 ../elsewhere/cat.bin\n" + body +
                       "`\nend\ntrailing text\n";
    WriteFile(dir + "/mail.txt", mail);
    Check({{"uudecode", "--output", "-", dir + "/mail.txt"}, 0, data});
    Check({{"uudecode", "--output", dir + "/crlf.bin"}, 0}, WithCrLf(mail));
    EXPECT_EQ(ReadFile(dir + "/crlf.bin"), data);

    // The named file: its last part only, in the current directory, with
    // the begin line's mode; never over an existing file.
    std::string run = "cd '" + dir + "' && '" + TmctlPath() + "' uudecode mail.txt";
    ProcessResult named = RunProgram("/bin/sh", {"-c", run});
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(ReadFile(dir + "/cat.bin"), data);
    struct stat st;
    ASSERT_EQ(stat((dir + "/cat.bin").c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask) << std::oct << st.st_mode;
    WriteFile(dir + "/cat.bin", "keep me");
    ProcessResult again = RunProgram("/bin/sh", {"-c", run});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("cat.bin already exists"), std::string::npos) << again.err;
    EXPECT_EQ(ReadFile(dir + "/cat.bin"), "keep me");
}

TEST(MimeCommandsTest, UudecodeReportsBrokenInput) {
    std::string data = RandomBytes(90, 4);
    std::string line1 = tmref::UUEncodeLine(data.substr(0, 45), true) + "\n";
    std::string line2 = tmref::UUEncodeLine(data.substr(45), true) + "\n";
    std::string begin = "begin 644 x\n";
    struct Case { std::string input; const char* inErr; std::string kept; };
    const Case kCases[] = {
        {"no data here\n", "no 'begin' line", ""},
        {begin + line1 + line2, "no 'end' line", data},
        {begin + line1 + line2.substr(0, 30) + "\n" + "end\n", "line 3: not a valid uuencoded line", data.substr(0, 45)},
        {begin + line1 + "\xc3garbage\n" + line2 + "end\n", "line 3: not a valid uuencoded line", data.substr(0, 45)},
        {begin + line1 + std::string("M\0", 2) + line2.substr(1) + "end\n", "line 3", data.substr(0, 45)},
    };
    for (const Case& c : kCases) Check({{"uudecode", "--output", "-"}, 1, c.kept, c.inErr}, c.input);
}

}  // namespace
}  // namespace tmtest
