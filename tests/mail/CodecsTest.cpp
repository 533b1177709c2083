//===-- tests/mail/CodecsTest.cpp - Base64 and uuencode -------------------===//
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "SysCalls.h"
#include "mail/CodecKernels.h"
#include "mail/CodecsReference.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

using tmc::codecs::Kernels;

constexpr unsigned char kSentinel = 0xBD;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Every set of loops this machine can run: the tests hold each of them to
// the reference.
std::vector<const Kernels*> AllKernels() {
    std::vector<const Kernels*> all = {&tmc::codecs::kScalarKernels};
    if (const Kernels* avx2 = tmc::codecs::Avx2Kernels()) all.push_back(avx2);
    return all;
}

class CodecsTest : public ::testing::Test {
protected:
    void TearDown() override { tmc::codecs::UseKernels(nullptr); }
};

// An output buffer of exactly the size a call may use, followed by
// sentinels that must stay as they are.
struct Out {
    explicit Out(size_t size) : bytes(size + 8, kSentinel), size(size) {}
    unsigned char* data() { return bytes.data(); }
    std::string Str(size_t n) const { return std::string(bytes.begin(), bytes.begin() + n); }
    bool TailUntouched() const {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != kSentinel) return false;
        }
        return true;
    }
    std::vector<unsigned char> bytes;
    size_t size;
};

TEST_F(CodecsTest, EncodeStrExamples) {
    struct Case { const char* src; int length; const char* expected; };
    const Case kCases[] = {
        {"A", -1, "QQ=="},       {"AB", -1, "QUI="},     {"ABC", -1, "QUJD"},   {"ABCD", -1, "QUJDRA=="},
        {"ABCD", 0, ""},         {"ABCD", -7, ""},       {"", -1, ""},          {"ABCD", 1, "QQ=="},
        {"foobar", -1, "Zm9vYmFy"}, {"fooba", -1, "Zm9vYmE="}, {"\xff\xfe\xfd", -1, "//79"},
        {"\0\xff\x10", 3, "AP8Q"}, {"\0", 1, "AA=="},
    };
    for (const Case& c : kCases) {
        for (const Kernels* k : AllKernels()) {
            tmc::codecs::UseKernels(k);
            std::string source(c.src, c.length > 0 ? c.length : strlen(c.src) + 1);
            std::string before = source;
            Out out(strlen(c.expected) + 1);
            MimeEncodeStr(source.data(), reinterpret_cast<char*>(out.data()), c.length);
            EXPECT_STREQ(reinterpret_cast<char*>(out.data()), c.expected) << c.src << " " << k->name;
            EXPECT_TRUE(out.TailUntouched()) << c.src << " " << k->name;
            EXPECT_EQ(source, before);
        }
    }
}

TEST_F(CodecsTest, DecodeLineExamples) {
    struct Case { const char* text; const char* bytes; int count; };
    const Case kCases[] = {
        {"QUJD", "ABC", 3},        {"QU JD\r\n", "ABC", 3},   {"QUI=", "AB", 2},     {"QQ==", "A", 1},
        {"QUJDRA==", "ABCD", 4},   {"Q", "", 0},              {"====", "", 0},       {"", "", 0},
        {"QUJD=QUJD", "ABCABC", 6}, {"=Q=U=J=D=", "ABC", 3},  {"QUJDR", "ABC", 3},   {"\xc3QU\x80JD\x01", "ABC", 3},
        {"Zm9vYmFy\r\n", "foobar", 6}, {"AP8Q", "\0\xff\x10", 3},
    };
    for (const Case& c : kCases) {
        for (const Kernels* k : AllKernels()) {
            tmc::codecs::UseKernels(k);
            Out out(c.count + 1);
            EXPECT_EQ(MimeDecodeLine(c.text, out.data()), c.count) << c.text << " " << k->name;
            EXPECT_EQ(out.Str(c.count), std::string(c.bytes, c.count)) << c.text;
            EXPECT_EQ(out.bytes[c.count], 0) << c.text << ": the output ends with NUL";
            EXPECT_TRUE(out.TailUntouched()) << c.text << " " << k->name;
        }
    }
}

TEST_F(CodecsTest, DecodeLineExCarriesPartialGroups) {
    // Steps of one body, each starting from the carry the step before left.
    struct Step { const char* line; const char* bytes; int count; const char* carryAfter; };
    const Step kSteps[] = {
        {"QUJDRA==", "ABC", 3, "RA"},
        {"QUJD", "D\x04\x14", 3, "JD"},  // works on RAQUJD: decodes RAQU
        {"", "", 0, "JD"},
        {"=\r\n", "", 0, "JD"},
        {"R", "", 0, "JDR"},
        {"B\r\n", "$4A", 3, ""},
        {"QUJD QUJD\tQU", "ABCABC", 6, "QU"},
        {"\x80=R", "", 0, "QUR"},
    };
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        char carry[8] = "";
        for (const Step& s : kSteps) {
            Out out(s.count + 1);
            EXPECT_EQ(MimeDecodeLineEx(s.line, out.data(), carry), s.count) << s.line << " " << k->name;
            EXPECT_EQ(out.Str(s.count + 1), std::string(s.bytes, s.count + 1)) << s.line;
            EXPECT_STREQ(carry, s.carryAfter) << s.line << " " << k->name;
            EXPECT_TRUE(out.TailUntouched()) << s.line << " " << k->name;
        }
    }
}

TEST_F(CodecsTest, DecodeLineExLongLinesAndInPlace) {
    std::mt19937 rng(7);
    std::string data(700, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::string text = tmref::Encode(data);
    // A line of far more than 255 characters, with line breaks inside.
    std::string line = "QU" + text.substr(0, 300) + "\r\n" + text.substr(300) + "\r\n";
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        char carry[8] = "QUJ";
        char refCarry[8] = "QUJ";
        std::vector<unsigned char> expected(line.size() + 8);
        int refCount = tmref::DecodeLineEx(line.c_str(), expected.data(), refCarry);
        Out out(refCount + 1);
        EXPECT_EQ(MimeDecodeLineEx(line.c_str(), out.data(), carry), refCount) << k->name;
        EXPECT_EQ(out.Str(refCount), std::string(expected.begin(), expected.begin() + refCount));
        EXPECT_STREQ(carry, refCarry);
        EXPECT_TRUE(out.TailUntouched());
        // Decoding a line into its own buffer, with a carry that puts the
        // output ahead of the characters still to be read.
        for (size_t cut : {4u, 40u, 255u, 400u}) {
            std::string piece = line.substr(0, cut);
            char c1[8] = "QUJ", c2[8] = "QUJ";
            std::vector<char> buffer(piece.begin(), piece.end());
            buffer.push_back('\0');
            std::vector<unsigned char> ref(piece.size() + 8);
            int n = tmref::DecodeLineEx(piece.c_str(), ref.data(), c1);
            EXPECT_EQ(MimeDecodeLineEx(buffer.data(), reinterpret_cast<unsigned char*>(buffer.data()), c2), n) << cut;
            EXPECT_EQ(std::string(buffer.data(), n), std::string(ref.begin(), ref.begin() + n)) << cut;
            EXPECT_STREQ(c2, c1) << cut;
        }
    }
}

TEST_F(CodecsTest, DecodeLineExTrapsBadPointers) {
    char carry[8] = "QU";
    unsigned char out[16];
    EXPECT_EQ(MimeDecodeLineEx(nullptr, out, carry), 0);
    EXPECT_EQ(MimeDecodeLineEx("QUJD", out, nullptr), 0);
}

TEST_F(CodecsTest, UUDecodeLineExamples) {
    struct Case { const char* line; int count; const char* bytes; int written; };
    // written: bytes the call leaves in the output, also when it returns 0.
    const Case kCases[] = {
        {"#0V%T\r\n", 3, "Cat", 3},     {"#0V%T", 3, "Cat", 3},       {"  \t#0V%T \r\n", 3, "Cat", 3},
        {"end\r\n", 0, "", 0},          {"end", 0, "", 0},            {"end\n", 0, "", 0},
        {"`", 0, "", 0},                {" ", 0, "", 0},              {"`\r\n", 0, "", 0},
        {"", 0, "", 0},                 {"#0V%Tx", 0, "Cat", 3},      {"#0V%", 0, "", 0},
        {"#````", 3, "\0\0\0", 3},      {"#    ", 3, "\0\0\0", 3},    {"!80  \n", 1, "a", 1},
        {"!80\r\n", 1, "a", 1},         {"\"0V%T", 2, "Ca", 2},        {"#0V\x01T", 0, "C", 1},
        {"#0\x7fV%T", 0, "", 0},        {"\xc3\x30V%T", 0, "", 0},    {"$0V%T", 0, "Cat", 3},
        {"#0V%T0V%T", 0, "Cat", 3},
    };
    for (const Case& c : kCases) {
        Out out(96);
        EXPECT_EQ(UUDecodeLine(c.line, out.data()), c.count) << c.line;
        EXPECT_EQ(out.Str(c.written), std::string(c.bytes, c.written)) << c.line;
        EXPECT_EQ(out.bytes[c.written], kSentinel) << c.line << ": nothing past the decoded bytes";
    }
    // Lengths above the grave accent are taken as they stand: 'a' is 65.
    std::string bytes(65, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    std::string line = tmref::UUEncodeLine(bytes, true);
    line[0] = 'a';
    Out out(95);
    EXPECT_EQ(UUDecodeLine(line.c_str(), out.data()), 65);
    EXPECT_EQ(out.Str(65), bytes);
    EXPECT_TRUE(out.TailUntouched());
}

// Random data through every encoder and decoder, against the reference.
TEST_F(CodecsTest, RoundTripsAgreeWithReference) {
    std::mt19937 rng(20240611);
    std::vector<size_t> sizes;
    for (size_t n = 0; n < 200; ++n) sizes.push_back(n);
    for (int i = 0; i < 20; ++i) sizes.push_back(200 + rng() % 20000);
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        for (size_t n : sizes) {
            std::string data(n, '\0');
            for (char& c : data) c = static_cast<char>(rng());
            std::string expected = tmref::Encode(data);
            // Exactly as large as documented: a sanitizer sees any overrun.
            std::vector<char> source(data.begin(), data.end());
            std::vector<char> text(expected.size() + 1);
            MimeEncodeStr(source.data(), text.data(), static_cast<int>(n));
            ASSERT_EQ(std::string(text.data()), expected) << n << " " << k->name;

            Out decoded(n + 1);
            ASSERT_EQ(MimeDecodeLine(text.data(), decoded.data()), static_cast<int>(n)) << k->name;
            EXPECT_EQ(decoded.Str(n), data);
            EXPECT_TRUE(decoded.TailUntouched());

            // The text in random pieces, with line breaks between some,
            // through the carry; the final partial group decoded at the end.
            std::string got;
            char carry[8] = "";
            std::vector<unsigned char> buffer(expected.size() + 16);
            for (size_t at = 0; at < expected.size();) {
                size_t len = std::min<size_t>(rng() % 90, expected.size() - at);
                std::string piece = expected.substr(at, len) + (rng() % 2 ? "\r\n" : "");
                at += len;
                int count = MimeDecodeLineEx(piece.c_str(), buffer.data(), carry);
                ASSERT_EQ(count % 3, 0);
                got.append(reinterpret_cast<char*>(buffer.data()), count);
            }
            got.append(reinterpret_cast<char*>(buffer.data()), MimeDecodeLine(carry, buffer.data()));
            EXPECT_EQ(got, data) << n << " " << k->name;
        }
    }
}

// Text of valid and invalid characters mixed: counts, bytes and carries
// as the reference gives them, line by line.
TEST_F(CodecsTest, NoisyTextAgreesWithReference) {
    std::mt19937 rng(4242);
    const std::string noise = std::string("= \t\r\n.-_\x80\xff\x01", 12);
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        char carry[8] = "", refCarry[8] = "";
        for (int round = 0; round < 3000; ++round) {
            size_t len = rng() % (round % 10 == 0 ? 600 : 120);
            int noiseRate = 1 + static_cast<int>(rng() % 40);  // one in N characters
            std::string text;
            for (size_t i = 0; i < len; ++i) {
                text += rng() % noiseRate == 0 ? noise[rng() % noise.size()] : tmref::kAlphabet[rng() % 64];
            }
            std::vector<unsigned char> ref(len + 16), out(len + 16, kSentinel);
            int refCount = tmref::DecodeLine(text.c_str(), ref.data());
            ASSERT_EQ(MimeDecodeLine(text.c_str(), out.data()), refCount) << Hex(text) << " " << k->name;
            ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << Hex(text) << " " << k->name;
            EXPECT_EQ(out[refCount + 1], kSentinel);

            refCount = tmref::DecodeLineEx(text.c_str(), ref.data(), refCarry);
            std::fill(out.begin(), out.end(), kSentinel);
            ASSERT_EQ(MimeDecodeLineEx(text.c_str(), out.data(), carry), refCount) << Hex(text) << " " << k->name;
            ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << Hex(text) << " " << k->name;
            ASSERT_STREQ(carry, refCarry);
        }
    }
}

// Every byte value in every position of a block: the vector loops must
// classify each one as the scalar table does.
TEST_F(CodecsTest, EveryByteInEveryPositionDecodesAsReference) {
    std::string valid;
    for (int i = 0; i < 160; ++i) valid += tmref::kAlphabet[(i * 37) % 64];
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        for (int b = 1; b < 256; ++b) {
            for (size_t pos = 0; pos < 96; ++pos) {
                std::string text = valid;
                text[pos] = static_cast<char>(b);
                unsigned char ref[160], out[160];
                int count = tmref::DecodeLine(text.c_str(), ref);
                ASSERT_EQ(MimeDecodeLine(text.c_str(), out), count) << b << "@" << pos << " " << k->name;
                ASSERT_EQ(memcmp(out, ref, count), 0) << b << "@" << pos << " " << k->name;
            }
        }
    }
}

TEST_F(CodecsTest, UUDecodeLineAgreesWithReferenceOnRandomLines) {
    std::mt19937 rng(99);
    const std::string tails[] = {"", "\r\n", "\n", "  ", " x", "\r\nend", "`"};
    for (int round = 0; round < 50000; ++round) {
        std::string line(rng() % 3, ' ');
        int n = rng() % 8 == 0 ? static_cast<int>(rng() % 256) : static_cast<int>(rng() % 64);
        line += static_cast<char>(rng() % 8 == 0 ? static_cast<int>(rng() % 256) : n + 32);
        int groups = (n + 2) / 3 + (rng() % 4 == 0 ? static_cast<int>(rng() % 3) - 1 : 0);
        for (int i = 0; i < groups * 4; ++i) {
            int pick = rng() % 50;
            line += static_cast<char>(pick == 0 ? rng() % 256 : pick == 1 ? '`' : 32 + rng() % 64);
        }
        line += tails[rng() % std::size(tails)];
        Out ref(96), out(96);
        int expected = tmref::UUDecodeLine(line.c_str(), ref.data());
        ASSERT_EQ(UUDecodeLine(line.c_str(), out.data()), expected) << Hex(line);
        ASSERT_EQ(out.bytes, ref.bytes) << Hex(line);
    }
}

// Valid lines, from Python's encoder and from ours, as Python's decoder
// reads them.
TEST_F(CodecsTest, UUDecodeLineAgreesWithPython) {
    if (system("python3 -c 'import binascii' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    std::mt19937 rng(5);
    std::string lines;
    for (int i = 0; i < 400; ++i) {
        std::string data(rng() % 46, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        lines += Hex(tmref::UUEncodeLine(data, i % 2) + (i % 3 ? "\n" : "\r\n")) + "\n";
    }
    std::string script = SandboxDir() + "/a2b_uu.py", input = SandboxDir() + "/uu-lines.txt";
    WriteFile(input, lines);
    WriteFile(script,
              "import binascii, random, sys\n"
              "random.seed(11)\n"
              "for hexline in open(sys.argv[1]):\n"
              "    line = bytes.fromhex(hexline.strip())\n"
              "    print(line.hex(), binascii.a2b_uu(line).hex())\n"
              "for i in range(400):\n"
              "    data = bytes(random.getrandbits(8) for _ in range(random.randrange(46)))\n"
              "    line = binascii.b2a_uu(data, backtick=bool(i % 2))\n"
              "    print(line.hex(), binascii.a2b_uu(line).hex())\n");
    ProcessResult py = RunProgram("/usr/bin/env", {"python3", script, input});
    ASSERT_EQ(py.exitCode, 0) << py.err;
    std::vector<std::string> results = SplitLines(py.out);
    ASSERT_EQ(results.size(), 800u);
    for (const std::string& result : results) {
        size_t space = result.find(' ');
        std::string lineHex = result.substr(0, space), bytesHex = result.substr(space + 1);
        std::string line;
        for (size_t i = 0; i < lineHex.size(); i += 2) line += static_cast<char>(std::stoi(lineHex.substr(i, 2), nullptr, 16));
        unsigned char out[96];
        int count = UUDecodeLine(line.c_str(), out);
        EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(out), count)), bytesHex) << lineHex;
    }
}

class MimeEncodeTest : public CodecsTest {
protected:
    std::string Source(size_t size) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + 7) ^ (i >> 8));
        std::string path = SandboxDir() + "/source-" + std::to_string(size);
        WriteFile(path, data);
        return path;
    }
};

TEST_F(MimeEncodeTest, WritesLinesOf64Characters) {
    const size_t kSizes[] = {0, 1, 2, 3, 47, 48, 49, 96, 100, 48 * 1024, 48 * 1024 + 1, 48 * 2048 + 50};
    for (const Kernels* k : AllKernels()) {
        tmc::codecs::UseKernels(k);
        for (size_t size : kSizes) {
            std::string path = Source(size);
            std::string expected = tmref::EncodeLines(ReadFile(path));
            std::string outPath = SandboxDir() + "/encoded";
            FILE* out = fopen(outPath.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(MimeEncode(out, path.c_str()), 1) << size;
            fclose(out);
            EXPECT_EQ(ReadFile(outPath), expected) << size << " " << k->name;
            // A text stream of the layer has CR LF on disk.
            out = tm_fopen(outPath.c_str(), "w");
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(MimeEncode(out, path.c_str()), 1) << size;
            fclose(out);
            std::string crlf;
            for (char c : expected) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
            EXPECT_EQ(ReadFile(outPath), crlf) << size << " " << k->name;
        }
    }
    // The line shapes of the examples: 48 bytes one full line, 49 a full
    // line and one of 4 characters.
    std::vector<std::string> lines = SplitLines(tmref::EncodeLines(std::string(49, 'x')));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 64u);
    EXPECT_EQ(lines[1], "eA==");
}

TEST_F(MimeEncodeTest, FailuresReturnZero) {
    std::string outPath = SandboxDir() + "/failed";
    FILE* out = fopen(outPath.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(MimeEncode(out, (SandboxDir() + "/no-such-file").c_str()), 0);
    // A directory opens on this platform but cannot be read.
    EXPECT_EQ(MimeEncode(out, SandboxDir().c_str()), 0);
    EXPECT_EQ(MimeEncode(nullptr, Source(10).c_str()), 0);
    EXPECT_EQ(MimeEncode(out, nullptr), 0);
    fclose(out);
    EXPECT_EQ(ReadFile(outPath), "") << "nothing written for a file that cannot be read";

    // A full disk under a text stream: the encoding is not reported done.
    std::string source = Source(5000);
    out = tm_fopen(outPath.c_str(), "w");
    ASSERT_NE(out, nullptr);
    static int writes;
    writes = 0;
    w32::Sys().write = [](int fd, const void* buf, size_t n) -> ssize_t {
        if (++writes > 3) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, buf, n);
    };
    EXPECT_EQ(MimeEncode(out, source.c_str()), 0);
    w32::ResetSysCalls();
    fclose(out);
    std::vector<std::string> written = SplitLines(ReadFile(outPath));
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(ReadFile(outPath).find("\r\n"), 64u);
}

}  // namespace
}  // namespace tmtest
