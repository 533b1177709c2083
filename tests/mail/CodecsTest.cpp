//===-- tests/mail/CodecsTest.cpp - Base64 and uuencode -------------------===//
#include <gtest/gtest.h>
#include <algorithm>
#include <cerrno>
#include <random>
#include <regex>

#include "SysCalls.h"
#include "../../fuzz/support/CodecsReference.h"
#include "mail/CodecKernels.h"
#include "mail/GuardedText.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

using ::testing::PrintToString;
constexpr unsigned char kSentinel = 0xBD;

// Runs a check under every set of loops this machine can run.
template <class Check>
void ForEachKernel(Check check) {
    std::vector<const tmc::codecs::Kernels*> all = {&tmc::codecs::kScalarKernels};
    if (const tmc::codecs::Kernels* avx2 = tmc::codecs::Avx2Kernels()) all.push_back(avx2);
    for (const tmc::codecs::Kernels* k : all) {
        SCOPED_TRACE(k->name);
        tmc::codecs::UseKernels(k);
        check();
    }
    tmc::codecs::UseKernels(nullptr);
}

// An output buffer of exactly the size a call may use, followed by
// sentinels that must stay as they are.
struct Out {
    explicit Out(size_t size) : bytes(size + 8, kSentinel), size(size) {}
    unsigned char* data() { return bytes.data(); }
    std::string Str(size_t n) const { return std::string(bytes.begin(), bytes.begin() + n); }
    bool TailUntouched() const {
        return std::all_of(bytes.begin() + size, bytes.end(), [](unsigned char c) { return c == kSentinel; });
    }
    std::vector<unsigned char> bytes;
    size_t size;
};

TEST(CodecsTest, EncodeStrExamples) {
    struct Case { const char* src; int length; const char* expected; };
    const Case kCases[] = {
        {"A", -1, "QQ=="}, {"AB", -1, "QUI="}, {"ABCD", -1, "QUJDRA=="}, {"ABCD", 0, ""}, {"ABCD", -7, ""},
        {"", -1, ""}, {"ABCD", 1, "QQ=="}, {"\xff\xfe\xfd", -1, "//79"}, {"\0\xff\x10", 3, "AP8Q"},
    };
    ForEachKernel([&] {
        for (const Case& c : kCases) {
            std::string source(c.src, c.length > 0 ? c.length : strlen(c.src) + 1), before = source;
            Out out(strlen(c.expected) + 1);
            MimeEncodeStr(source.data(), reinterpret_cast<char*>(out.data()), c.length);
            EXPECT_STREQ(reinterpret_cast<char*>(out.data()), c.expected) << c.src;
            EXPECT_TRUE(out.TailUntouched()) << c.src;
            EXPECT_EQ(source, before);
        }
    });
}

// Random data through the encoder and the decoder, against the reference:
// a smoke round at the edges (the decoder's pieces of 16384 characters);
// the fuzz target runs the rest.
TEST(CodecsTest, RoundTripsAgreeWithReference) {
    std::mt19937 rng(20240611);
    ForEachKernel([&] {
        for (size_t n : {0, 1, 2, 3, 4, 31, 32, 33, 47, 48, 49, 12287, 12288, 12289}) {
            std::string data(n, '\0');
            for (char& c : data) c = static_cast<char>(rng());
            const std::string expected = tmref::Encode(data);
            // Exactly as large as documented: a sanitizer sees any overrun.
            std::vector<char> source(data.begin(), data.end()), text(expected.size() + 1);
            MimeEncodeStr(source.data(), text.data(), static_cast<int>(n));
            ASSERT_EQ(std::string(text.data()), expected) << n;
            Out decoded(n + 1);
            ASSERT_EQ(MimeDecodeLine(text.data(), decoded.data()), static_cast<int>(n));
            EXPECT_EQ(decoded.Str(n), data);
            EXPECT_TRUE(decoded.TailUntouched());
        }
    });
}

// Texts of valid and invalid characters decoded line by line, each from
// the carry the line before left, also in place (the output over the line
// itself): counts, bytes and carries as the reference gives them: every
// byte value in every position of a block, which the vector loops must
// classify as the scalar table does, and lines around the in-place buffer.
TEST(CodecsTest, DecodingAgreesWithReference) {
    std::vector<std::string> texts;
    std::string valid;
    for (int i = 0; i < 160; ++i) valid += tmref::kAlphabet[(i * 37) % 64];
    for (int b = 1; b < 256; ++b) {
        for (size_t pos = 0; pos < 96; ++pos) {
            texts.push_back(valid);
            texts.back()[pos] = static_cast<char>(b);
        }
    }
    // Around the 255 characters of the in-place decoding's stack buffer,
    // with noise; the fuzz target runs random mixes at length.
    for (size_t len = 250; len < 262; ++len) {
        std::string text;
        for (size_t i = 0; i < len; ++i) text += i % 17 == 5 ? "= \t\r\n.\x80"[i % 7] : tmref::kAlphabet[(i * 11) % 64];
        texts.push_back(text);
    }
    ForEachKernel([&] {
        char carry[8] = "", refCarry[8] = "";
        for (const std::string& text : texts) {
            std::vector<unsigned char> ref(text.size() + 16), out(text.size() + 16, kSentinel);
            int refCount = tmref::DecodeLine(text.c_str(), ref.data());
            ASSERT_EQ(MimeDecodeLine(text.c_str(), out.data()), refCount) << PrintToString(text);
            ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << PrintToString(text);
            EXPECT_EQ(out[refCount + 1], kSentinel);
            char inPlaceCarry[8];
            strcpy(inPlaceCarry, refCarry);
            refCount = tmref::DecodeLineEx(text.c_str(), ref.data(), refCarry);
            std::fill(out.begin(), out.end(), kSentinel);
            ASSERT_EQ(MimeDecodeLineEx(text.c_str(), out.data(), carry), refCount) << PrintToString(text);
            ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << PrintToString(text);
            ASSERT_STREQ(carry, refCarry);
            EXPECT_EQ(out[refCount + 1], kSentinel);
            if (static_cast<size_t>(refCount) > text.size()) continue;  // would not fit over the line
            std::vector<char> line(text.c_str(), text.c_str() + text.size() + 1);
            ASSERT_EQ(MimeDecodeLineEx(line.data(), reinterpret_cast<unsigned char*>(line.data()), inPlaceCarry), refCount);
            ASSERT_EQ(memcmp(line.data(), ref.data(), refCount + 1), 0) << PrintToString(text);
            ASSERT_STREQ(inPlaceCarry, refCarry);
            line.assign(text.c_str(), text.c_str() + text.size() + 1);
            refCount = tmref::DecodeLine(text.c_str(), ref.data());
            ASSERT_EQ(MimeDecodeLine(line.data(), reinterpret_cast<unsigned char*>(line.data())), refCount);
            ASSERT_EQ(memcmp(line.data(), ref.data(), refCount + 1), 0) << "in place: " << PrintToString(text);
        }
    });
    char carry[8] = "QU";
    unsigned char out[16];
    EXPECT_EQ(MimeDecodeLineEx(nullptr, out, carry), 0);
    EXPECT_EQ(MimeDecodeLineEx("QUJD", out, nullptr), 0);
}

// The carry inside the output buffer, before it or after it: whatever the
// two share ends as the work buffer leaves it, the carry written first and
// the output over it.
TEST(CodecsTest, CarryInTheOutputBufferAgreesWithReference) {
    const std::string kLines[] = {"QUJDRA==", "QUJD\r\n", std::string(76, 'Q') + "\r\n", std::string(75, 'w') + "\r\n",
                                  std::string(150, 'x')};
    const std::string kCarries[] = {"", "QU", "Q"};
    ForEachKernel([&] {
        for (const std::string& line : kLines) {
            for (const std::string& carry : kCarries) {
                for (int at = -6; at < 120; at += 3) {
                    // The output at 16 in the buffer, the carry at 16 + at.
                    std::vector<char> buf(160, '\x7f'), refBuf(160, '\x7f');
                    strcpy(&buf[16 + at], carry.c_str());
                    strcpy(&refBuf[16 + at], carry.c_str());
                    int refCount = tmref::DecodeLineEx(line.c_str(), reinterpret_cast<unsigned char*>(&refBuf[16]), &refBuf[16 + at]);
                    ASSERT_EQ(MimeDecodeLineEx(line.c_str(), reinterpret_cast<unsigned char*>(&buf[16]), &buf[16 + at]), refCount)
                        << line << " " << carry << " " << at;
                    ASSERT_EQ(buf, refBuf) << line << " " << carry << " " << at;
                }
            }
        }
    });
}

// Texts at the end of a page followed by one that cannot be read, or at
// the start of a page after one: the decoders read in blocks, and none may
// reach the next page. A fault kills the test (MimeDecodeLine) or fails
// the call (MimeDecodeLineEx, whose handler returns 0).
TEST(CodecsTest, DecodingStaysInTheTextsPages) {
    std::vector<std::string> texts = {std::string(1000, 'Z') + "\r\n"};
    for (size_t len = 0; len < 200; ++len) {
        std::string chars;
        for (size_t i = 0; i < len; ++i) chars += tmref::kAlphabet[(i * 29 + len) % 64];
        texts.insert(texts.end(), {chars, chars + "\r\n", chars.substr(0, len / 2) + "\r\n" + chars.substr(len / 2) + "="});
    }
    GuardedText guarded;
    ForEachKernel([&] {
        for (const std::string& text : texts) {
            for (bool atEnd : {true, false}) {
                const char* at = guarded.Place(text, atEnd);
                std::vector<unsigned char> ref(text.size() + 8), out(text.size() + 8);
                int refCount = tmref::DecodeLine(text.c_str(), ref.data());
                ASSERT_EQ(MimeDecodeLine(at, out.data()), refCount) << PrintToString(text) << atEnd;
                ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << PrintToString(text) << atEnd;
                for (const char* start : {"", "QUJ"}) {
                    char carry[8], refCarry[8];
                    strcpy(carry, start);
                    strcpy(refCarry, start);
                    refCount = tmref::DecodeLineEx(text.c_str(), ref.data(), refCarry);
                    ASSERT_EQ(MimeDecodeLineEx(at, out.data(), carry), refCount) << PrintToString(text) << atEnd;
                    ASSERT_EQ(memcmp(out.data(), ref.data(), refCount + 1), 0) << PrintToString(text) << atEnd;
                    ASSERT_STREQ(carry, refCarry);
                }
            }
        }
    });
}

std::string Source(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + 7) ^ (i >> 8));
    std::string path = SandboxDir() + "/source-" + std::to_string(size);
    WriteFile(path, data);
    return path;
}

// Lines of Python's uuencoder (zero values as "`" and as a space, LF and
// CR LF ends, blanks after some), then blanks before a line, "end", and a
// length above the grave accent ('a' is 65), with the bytes the decoder
// reads from them: one "LINE BYTES" pair in hex a line. Nothing is written
// past the bytes; a line that fails may leave those it decoded before.
TEST(CodecsTest, UUDecodeLineMatchesTheGoldenLines) {
    const std::vector<std::string> lines = SplitLines(ReadFile(std::string(TM_TEST_SOURCE_DIR) + "/mail/golden/uudecode.ref"));
    ASSERT_EQ(lines.size(), 125u);
    auto bytes = [](const std::string& hex) {
        std::string text;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return text;
    };
    for (const std::string& pair : lines) {
        const size_t space = pair.find(' ');
        const std::string line = bytes(pair.substr(0, space)), want = bytes(pair.substr(space + 1));
        Out out(96);
        ASSERT_EQ(UUDecodeLine(line.c_str(), out.data()), static_cast<int>(want.size())) << pair;
        EXPECT_EQ(out.Str(want.size()), want) << pair;
        EXPECT_EQ(out.bytes[want.size()], kSentinel) << pair;
    }
    const std::pair<const char*, const char*> kFailing[] = {{"#0V%Tx", "Cat"}, {"#0V\x01T", "C"}, {"$0V%T", "Cat"}};
    for (const auto& [line, written] : kFailing) {
        Out out(96);
        EXPECT_EQ(UUDecodeLine(line, out.data()), 0) << line;
        EXPECT_EQ(out.Str(strlen(written) + 1), written + std::string(1, kSentinel)) << line;
    }
}

TEST(MimeEncodeTest, WritesLinesOf64Characters) {
    std::string xs;
    for (int i = 0; i < 16; ++i) xs += "eHh4";
    ASSERT_EQ(tmref::EncodeLines(std::string(49, 'x')), xs + "\neA==\n");
    const std::string outPath = SandboxDir() + "/encoded";
    ForEachKernel([&] {
        for (size_t size : {0, 1, 2, 3, 47, 48, 49, 96, 100, 48 * 1024, 48 * 1024 + 1, 48 * 2048 + 50}) {
            const std::string path = Source(size), expected = tmref::EncodeLines(ReadFile(path));
            // A text stream of the layer has CR LF on disk.
            for (bool text : {false, true}) {
                FILE* out = text ? tm_fopen(outPath.c_str(), "w") : fopen(outPath.c_str(), "wb");
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(MimeEncode(out, path.c_str()), 1) << size;
                fclose(out);
                EXPECT_EQ(ReadFile(outPath), text ? std::regex_replace(expected, std::regex("\n"), "\r\n") : expected)
                    << size << (text ? " text" : " binary");
            }
        }
    });
}

TEST(MimeEncodeTest, FailuresReturnZero) {
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
        if (++writes <= 3) return ::write(fd, buf, n);
        errno = ENOSPC;
        return -1;
    };
    EXPECT_EQ(MimeEncode(out, source.c_str()), 0);
    w32::ResetSysCalls();
    fclose(out);
    EXPECT_EQ(SplitLines(ReadFile(outPath)).size(), 3u);
    EXPECT_EQ(ReadFile(outPath).find("\r\n"), 64u);
}

}  // namespace
}  // namespace tmtest
