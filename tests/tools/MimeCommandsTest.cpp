//===-- tests/tools/MimeCommandsTest.cpp - tmctl mime, tmctl uudecode -----===//
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "mail/CodecsReference.h"
#include "support/TestSupport.h"

namespace tmtest {
namespace {

ProcessResult Tmctl(const std::vector<std::string>& args, const std::string& input = {}) {
    return RunProgram(TmctlPath(), args, {}, input);
}

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
    struct Case { std::vector<std::string> args; int exitCode; const char* inErr; };
    const Case kCases[] = {
        {{"mime", "encode"}, 2, "usage:"},
        {{"mime", "encode", "--lf", "x"}, 2, "unknown option '--lf'"},
        {{"mime", "encode", "a", "b"}, 2, "tmctl mime encode [--crlf] FILE"},
        {{"mime", "decode", "a", "b"}, 2, "tmctl mime decode [FILE]"},
        {{"uudecode", "--output"}, 2, "tmctl uudecode [--output PATH] [FILE]"},
        {{"mime", "encode", dir + "/missing"}, 1, "missing: No such file or directory"},
        {{"mime", "encode", dir}, 1, "Is a directory"},
        {{"mime", "decode", dir + "/missing"}, 1, "No such file or directory"},
        {{"uudecode", dir + "/missing"}, 1, "No such file or directory"},
    };
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << c.args.back() << "\n" << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(MimeCommandsTest, EncodeAndDecodeRoundTrip) {
    std::string dir = MakeDir("mime-roundtrip");
    for (size_t size : {0u, 1u, 48u, 49u, 100000u}) {
        std::string data = RandomBytes(size, static_cast<unsigned>(size));
        std::string path = dir + "/data-" + std::to_string(size);
        WriteFile(path, data);
        ProcessResult lf = Tmctl({"mime", "encode", path});
        ASSERT_EQ(lf.exitCode, 0) << lf.err;
        EXPECT_EQ(lf.out, tmref::EncodeLines(data)) << size;
        ProcessResult crlf = Tmctl({"mime", "encode", "--crlf", path});
        ASSERT_EQ(crlf.exitCode, 0) << crlf.err;
        EXPECT_EQ(crlf.out, WithCrLf(tmref::EncodeLines(data))) << size;

        WriteFile(path + ".b64", crlf.out);
        ProcessResult fromFile = Tmctl({"mime", "decode", path + ".b64"});
        EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
        EXPECT_EQ(fromFile.out, data) << size;
        ProcessResult fromStdin = Tmctl({"mime", "decode"}, lf.out);
        EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.err;
        EXPECT_EQ(fromStdin.out, data) << size;
    }
}

// Lines of any length, bytes outside the alphabet (NUL included) and a
// final incomplete group: the same bytes as one decoding of the whole.
TEST(MimeCommandsTest, DecodeSkipsNoiseAndKeepsTheFinalGroup) {
    std::string data = RandomBytes(300001, 3);  // the text ends in 2 characters and "=="
    std::string text = tmref::Encode(data);
    std::string noisy = "  " + text.substr(0, 10) + std::string("\0=\t", 3) + text.substr(10, 200000) + "\r\n" +
                        text.substr(200010, 30) + "\n\n" + text.substr(200040) + "\n";
    ProcessResult r = Tmctl({"mime", "decode", "-"}, noisy);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, data);
    ProcessResult partial = Tmctl({"mime", "decode"}, "QUJD\nQU\nI=\n");
    EXPECT_EQ(partial.out, "ABCAB");
}

TEST(MimeCommandsTest, Uudecode) {
    std::string dir = MakeDir("uudecode");
    std::string data = RandomBytes(1000, 9);
    std::string body;
    for (size_t at = 0; at < data.size(); at += 45) body += tmref::UUEncodeLine(data.substr(at, 45), at % 2) + "\n";
    std::string mail = "From: someone\r\n\r\nbeginning of the text\nbegin 640 ../elsewhere/cat.bin\n" + body +
                       "`\nend\ntrailing text\n";
    WriteFile(dir + "/mail.txt", mail);

    ProcessResult toStdout = Tmctl({"uudecode", "--output", "-", dir + "/mail.txt"});
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, data);
    ProcessResult crlf = Tmctl({"uudecode", "--output", dir + "/crlf.bin"}, WithCrLf(mail));
    EXPECT_EQ(crlf.exitCode, 0) << crlf.err;
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
    for (const Case& c : kCases) {
        ProcessResult r = Tmctl({"uudecode", "--output", "-"}, c.input);
        EXPECT_EQ(r.exitCode, 1) << c.inErr;
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
        EXPECT_EQ(r.out, c.kept) << c.inErr;
    }
}

}  // namespace
}  // namespace tmtest
