//===-- tests/platform/BrandTest.cpp - CConnMaker and COEM ----------------===//
#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <random>

#include "logging/LogFixture.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

// Makes the nothrow array allocations of this process fail while set, so
// that the scrambler's out-of-memory path can be taken on purpose.
static bool g_failArrayAllocations = false;

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failArrayAllocations) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace tmtest {
namespace {

const char kBrandKey[] = "quillfeather";

std::string Scrambled(const std::string& text) {
    CConnMaker maker(kBrandKey);
    return maker.Make(text.c_str());
}

// A brand.inf of the given strings, each scrambled, CR LF after each.
std::string BrandFile(const std::vector<std::string>& lines) {
    std::string file;
    for (const std::string& line : lines) file += Scrambled(line) + "\r\n";
    return file;
}

TEST(ConnMakerTest, KnownScrambles) {
    struct Case { const char* key; const char* text; const char* scrambled; };
    const Case kCases[] = {
        {"A", "AB", "C3C2"},       // one character: ((k + c) mod 256) XOR k
        {"k", "hello", "B8BBBCBCB1"},
        {"abc", "abcdef", "A0A4A6A7A9AB"},  // odd key: positions 0 2 1 0 2 1
        {"ab", "\xff\x01", "0200"},         // the sum wraps at 256
        {kBrandKey, "Tamarak Mail Server", "B0A6BFA78EB4A9E5DFA7B5A3E4D0B7B682B896"},
        {kBrandKey, "42", "D0F7"},
        {kBrandKey, "", ""},
    };
    for (const Case& c : kCases) {
        CConnMaker maker(c.key);
        EXPECT_STREQ(maker.Make(c.text), c.scrambled) << c.key << " " << c.text;
        // The key starts again at its first character on every call.
        EXPECT_STREQ(maker.Make(c.text), c.scrambled) << c.key << " " << c.text;
        EXPECT_EQ(maker.Make(c.text), maker.m_pResult);
        EXPECT_STREQ(maker.Unmake(c.scrambled), c.text) << c.key << " " << c.scrambled;
    }
}

TEST(ConnMakerTest, UnmakeOfUnevenOrForeignText) {
    struct Case { const char* key; const char* text; std::string plain; };
    const Case kCases[] = {
        {"A", "C3C2F", "AB"},  // the unpaired last character is ignored
        {"A", "C", ""},
        // Letters count d - 0x37 whatever their case: a lower-case first
        // digit is off by 32 * 16 and vanishes in the cut to a byte, a
        // lower-case second digit is off by 32.
        {"A", "c3", "A"},
        {"A", "Cc", "l"},
        {"A", "CC", "L"},
    };
    for (const Case& c : kCases) {
        CConnMaker maker(c.key);
        EXPECT_EQ(std::string(maker.Unmake(c.text)), c.plain) << c.text;
    }
}

TEST(ConnMakerTest, RandomStringsAndKeysRoundTrip) {
    std::mt19937 random(20041110);
    std::uniform_int_distribution<int> byte(1, 255), keyLength(1, 24), textLength(0, 300);
    for (int round = 0; round < 400; ++round) {
        std::string key(keyLength(random), '\0'), text(textLength(random), '\0');
        for (char& c : key) c = static_cast<char>(byte(random));
        for (char& c : text) c = static_cast<char>(byte(random));
        CConnMaker maker(key.c_str());
        std::string scrambled = maker.Make(text.c_str());
        ASSERT_EQ(scrambled.size(), 2 * text.size());
        ASSERT_EQ(scrambled.find_first_not_of("0123456789ABCDEF"), std::string::npos) << scrambled;
        ASSERT_EQ(std::string(maker.Unmake(scrambled.c_str())), text) << "round " << round;
    }
}

TEST(ConnMakerTest, EmptyOrNullKeyIsRefused) {
    for (const char* key : {"", static_cast<const char*>(nullptr)}) {
        CConnMaker maker(key);
        EXPECT_STREQ(maker.Make("abc"), "");
        EXPECT_STREQ(maker.Unmake("C3C2"), "");
        EXPECT_EQ(maker.m_pResult, nullptr);
        CConnMaker copy(maker);
        EXPECT_STREQ(copy.Make("abc"), "");
    }
    CConnMaker maker("k");
    EXPECT_STREQ(maker.Make(nullptr), "");
    EXPECT_STREQ(maker.Unmake(nullptr), "");
}

TEST(ConnMakerTest, CopiesOwnTheirBuffers) {
    CConnMaker original("k");
    const char* made = original.Make("hello");
    CConnMaker copy(original);
    EXPECT_NE(copy.m_pKey, original.m_pKey);
    EXPECT_STREQ(copy.m_pResult, "B8BBBCBCB1");
    copy.Make("x");
    EXPECT_STREQ(made, "B8BBBCBCB1");  // the original's buffer is untouched
    CConnMaker assigned("other key");
    assigned.Make("to be replaced");
    assigned = original;
    assigned = *&assigned;
    EXPECT_STREQ(assigned.Make("hello"), "B8BBBCBCB1");
    // Each object frees its own buffers at the end of the scope, which the
    // address sanitizer checks.
}

using ConnMakerMemoryTest = LogTest;

TEST_F(ConnMakerMemoryTest, FailedAllocationIsReportedAndGivesTheEmptyText) {
    CConnMaker maker("k");
    maker.Make("hello");
    g_failArrayAllocations = true;
    const char* made = maker.Make("hello");
    const char* unmade = maker.Unmake("B8BBBCBCB1");
    CConnMaker noKey("k");
    CConnMaker copy(maker);
    g_failArrayAllocations = false;
    EXPECT_STREQ(made, "");
    EXPECT_STREQ(unmade, "");
    EXPECT_EQ(maker.m_pResult, nullptr);  // the old result was let go, nothing new held
    EXPECT_EQ(noKey.m_pKey, nullptr);
    EXPECT_STREQ(noKey.Make("hello"), "");
    EXPECT_EQ(copy.m_pKey, nullptr);
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("! 09:08:07"), std::string::npos) << line;
        EXPECT_NE(line.find(" Memory allocation error at line "), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - 13), " of Encrypter") << line;
    }
    // The object works again once memory is there.
    EXPECT_STREQ(maker.Make("hello"), "B8BBBCBCB1");
}

// "loaded [brand1] [brand2] [brand3] number [line5]...", as brand_probe
// prints it too.
std::string Describe(const COEM& b) {
    std::string text = std::to_string(b.m_bLoaded) + " [" + static_cast<const char*>(b.m_cszBrand1) + "] [" +
                       static_cast<const char*>(b.m_cszBrand2) + "] [" + static_cast<const char*>(b.m_cszBrand3) +
                       "] " + std::to_string(b.m_nBrandNumber);
    for (int i = 0; i < b.m_csaBrandLines.GetSize(); ++i) {
        text += std::string(" [") + static_cast<const char*>(b.m_csaBrandLines[i]) + "]";
    }
    return text;
}

TEST(BrandFileTest, LineRules) {
    std::string over = Scrambled(std::string(150, 'y'));  // 300 characters on its line
    std::string y129 = std::string(129, 'y'), q129 = std::string(129, 'q');
    struct Case { const char* label; std::string file; std::string want; };
    const Case kCases[] = {
        {"exactly four lines", BrandFile({"Acme", "Mail", "Server", "42"}), "1 [Acme] [Mail] [Server] 42"},
        {"further lines", BrandFile({"a", "b", "c", "-7", "five", "six"}), "1 [a] [b] [c] -7 [five] [six]"},
        {"no line end at the end", BrandFile({"a", "b", "c"}) + Scrambled("9"), "1 [a] [b] [c] 9"},
        {"blank lines and blanks are skipped",
         "\r\n" + Scrambled("a") + "  \r\n\r\n" + Scrambled("b") + "\n\t" + Scrambled("c") + "\r\n" + Scrambled("1") + "\r\n\r\n",
         "1 [a] [b] [c] 1"},
        {"number with text after it", BrandFile({"a", "b", "c", " 12abc"}), "1 [a] [b] [c] 12"},
        {"not a number", BrandFile({"a", "b", "c", "many"}), "1 [a] [b] [c] 0"},
        {"number beyond 32 bits", BrandFile({"a", "b", "c", "4294967296"}), "1 [a] [b] [c] 0"},
        {"three lines", BrandFile({"a", "b", "c"}), "0 [a] [b] [c] 0"},
        {"one line", BrandFile({"only"}), "0 [only] [] [] 0"},
        {"empty file", "", "0 [] [] [] 0"},
        {"longest line", BrandFile({q129, "b", "c", "3"}), "1 [" + q129 + "] [b] [c] 3"},
        {"overlong line keeps its start, the others their places",
         BrandFile({"a"}) + over + "\r\n" + BrandFile({"c", "4", "e"}), "1 [a] [" + y129 + "] [c] 4 [e]"},
        {"overlong last line", BrandFile({"a", "b", "c", "5"}) + over, "1 [a] [b] [c] 5 [" + y129 + "]"},
    };
    int n = 0;
    for (const Case& c : kCases) {
        std::string dir = MakeDir("brand-rules-" + std::to_string(++n));
        WriteFile(dir + "/brand.inf", c.file);
        EXPECT_EQ(Describe(COEM(dir.c_str())), c.want) << c.label;
        EXPECT_EQ(Describe(COEM((dir + "/").c_str())), c.want) << c.label << " (DIR/)";
    }
    EXPECT_EQ(Describe(COEM(MakeDir("brand-missing").c_str())), "0 [] [] [] 0");
}

TEST(BrandFileTest, FoundBesideTheExecutableNotTheLibraryOrRoot) {
    // A program in a directory of its own; the library stays in the build
    // tree, the root path points elsewhere with a decoy.
    std::string appDir = MakeDir("brand-app");
    std::string program = appDir + "/brand_probe";
    std::filesystem::copy_file(HelperPath("brand_probe"), program, std::filesystem::copy_options::overwrite_existing);
    WriteFile(appDir + "/brand.inf", BrandFile({"Acme", "Mail", "Server", "2004", "five", "six"}));
    std::string rootDir = MakeDir("brand-root");
    WriteFile(rootDir + "/brand.inf", BrandFile({"root", "root", "root", "1"}));
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", rootDir.c_str()), 0);
    ProcessResult app = RunProgram(program, {});
    EXPECT_EQ(app.out, "1 [Acme] [Mail] [Server] 2004 [five] [six]\n") << app.err;
    // The same program where it was built: no brand.inf beside it.
    ProcessResult built = RunProgram(HelperPath("brand_probe"), {});
    EXPECT_EQ(built.out, "0 [] [] [] 0\n") << built.err;
    reg.DeleteValue("RootPath");
}

}  // namespace
}  // namespace tmtest
