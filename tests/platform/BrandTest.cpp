//===-- tests/platform/BrandTest.cpp - CConnMaker and COEM ----------------===//
#include <gtest/gtest.h>

#include <filesystem>
#include <new>

#include "logging/LogFixture.h"

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

std::string Scrambled(const std::string& text) { return CConnMaker("quillfeather").Make(text.c_str()); }

// A brand.inf of the given strings, each scrambled, CR LF after each.
std::string BrandFile(const std::vector<std::string>& lines) {
    std::string file;
    for (const std::string& line : lines) file += Scrambled(line) + "\r\n";
    return file;
}

TEST(ConnMakerTest, KnownScrambles) {
    struct Case { const char* key; const char* text; const char* scrambled; bool made; };
    const Case kCases[] = {
        {"A", "AB", "C3C2", true},  // one character: ((k + c) mod 256) XOR k
        {"k", "hello", "B8BBBCBCB1", true},
        {"abc", "abcdef", "A0A4A6A7A9AB", true},  // odd key: positions 0 2 1 0 2 1
        {"ab", "\xff\x01", "0200", true},         // the sum wraps at 256
        {"quillfeather", "Tamarak Mail Server", "B0A6BFA78EB4A9E5DFA7B5A3E4D0B7B682B896", true},
        // Only read back: the unpaired last character is ignored; letters
        // count d - 0x37 whatever their case, so a lower-case first digit
        // is off by 32 * 16 and vanishes in the cut to a byte, a
        // lower-case second digit is off by 32.
        {"A", "AB", "C3C2F", false},
        {"A", "A", "c3", false},
        {"A", "l", "Cc", false},
    };
    for (const Case& c : kCases) {
        CConnMaker maker(c.key);
        if (c.made) {
            EXPECT_STREQ(maker.Make(c.text), c.scrambled) << c.key << " " << c.text;
            // The key starts again at its first character on every call;
            // the argument may be the object's own last result.
            EXPECT_STREQ(maker.Make(maker.Unmake(maker.Make(c.text))), c.scrambled) << c.key << " " << c.text;
        }
        EXPECT_STREQ(maker.Unmake(c.scrambled), c.text) << c.key << " " << c.scrambled;
    }
}

// Each object frees its own buffers, which the address sanitizer checks.
TEST(ConnMakerTest, CopiesOwnTheirBuffersAndRefusals) {
    CConnMaker original("k"), assigned("other key");
    const char* made = original.Make("hello");
    CConnMaker copy(original);
    EXPECT_NE(copy.m_pKey, original.m_pKey);
    EXPECT_STREQ(copy.m_pResult, "B8BBBCBCB1");
    assigned.Make("to be replaced");
    assigned = original;
    assigned = *&assigned;
    EXPECT_STREQ(assigned.Make("hello"), "B8BBBCBCB1");
    copy.Make("x");
    EXPECT_STREQ(made, "B8BBBCBCB1") << "the original's buffer is untouched";
    // A null text is refused and leaves the result as it was, and so is an
    // empty or null key, also in a copy.
    EXPECT_STREQ(copy.Make(nullptr), "");
    EXPECT_STREQ(copy.Unmake(nullptr), "");
    EXPECT_STREQ(copy.m_pResult, "88");
    for (const char* key : {"", static_cast<const char*>(nullptr)}) {
        CConnMaker maker(key);
        EXPECT_STREQ(maker.Make("abc"), "");
        EXPECT_STREQ(CConnMaker(maker).Unmake("C3C2"), "");
        EXPECT_EQ(maker.m_pResult, nullptr);
    }
}

using ConnMakerMemoryTest = LogTest;

TEST_F(ConnMakerMemoryTest, FailedAllocationIsReportedAndGivesTheEmptyText) {
    CConnMaker maker("k");
    maker.Make("hello");
    g_failArrayAllocations = true;
    EXPECT_STREQ(maker.Make("hello"), "");
    EXPECT_STREQ(maker.Unmake("B8BBBCBCB1"), "");
    CConnMaker noKey("k"), copy(maker);
    g_failArrayAllocations = false;
    EXPECT_STREQ(maker.m_pResult, "B8BBBCBCB1") << "the old result is kept";
    EXPECT_EQ(noKey.m_pKey, nullptr);
    EXPECT_STREQ(noKey.Make("hello"), "");
    EXPECT_EQ(copy.m_pKey, nullptr);
    std::vector<std::string> lines = MainLines();
    ASSERT_EQ(lines.size(), 5u);  // Make, Unmake, a key, a copy's key and result
    const std::string head = Line('!', "Memory allocation error at line ");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.substr(0, head.size()), head);
        EXPECT_EQ(line.substr(line.size() - 13), " of Encrypter") << line;
    }
    EXPECT_STREQ(maker.Make("hello"), "B8BBBCBCB1") << "works again once memory is there";
}

// "loaded [brand1] [brand2] [brand3] number [line5]...", as platform_probe
// prints it too.
std::string Describe(const COEM& b) {
    std::string text = std::to_string(b.m_bLoaded);
    for (const CString* s : {&b.m_cszBrand1, &b.m_cszBrand2, &b.m_cszBrand3}) text += " [" + std::string(*s) + "]";
    text += " " + std::to_string(b.m_nBrandNumber);
    for (int i = 0; i < b.m_csaBrandLines.GetSize(); ++i) text += " [" + std::string(b.m_csaBrandLines[i]) + "]";
    return text;
}

TEST(BrandFileTest, LineRules) {
    std::string over = Scrambled(std::string(150, 'y'));  // 300 characters
    std::string y129 = std::string(129, 'y'), q129 = std::string(129, 'q');
    struct Case { const char* label; std::string file; std::string want; };
    const Case kCases[] = {
        {"further lines", BrandFile({"a", "b", "c", "-7", "five", "six"}), "1 [a] [b] [c] -7 [five] [six]"},
        {"no line end at the end", BrandFile({"a", "b", "c"}) + Scrambled("9"), "1 [a] [b] [c] 9"},
        {"blank lines and blanks are skipped",
         "\r\n" + BrandFile({"a"}) + "  \r\n" + BrandFile({"b"}) + "\n\t" + BrandFile({"c", "1"}) + "\r\n\r\n",
         "1 [a] [b] [c] 1"},
        {"number with text after it", BrandFile({"a", "b", "c", " 12abc"}), "1 [a] [b] [c] 12"},
        {"not a number", BrandFile({"a", "b", "c", "many"}), "1 [a] [b] [c] 0"},
        {"number beyond 32 bits", BrandFile({"a", "b", "c", "4294967296"}), "1 [a] [b] [c] 0"},
        {"three lines", BrandFile({"a", "b", "c"}), "0 [a] [b] [c] 0"},
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

TEST(BrandFileTest, FoundBesideTheExecutableNotTheRoot) {
    std::string appDir = MakeDir("brand-app"), rootDir = MakeDir("brand-root");
    std::filesystem::copy_file(HelperPath("platform_probe"), appDir + "/platform_probe",
                               std::filesystem::copy_options::overwrite_existing);
    WriteFile(appDir + "/brand.inf", BrandFile({"Acme", "Mail", "Server", "2004", "five", "six"}));
    WriteFile(rootDir + "/brand.inf", BrandFile({"root", "root", "root", "1"}));
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    ASSERT_EQ(reg.SetValue("RootPath", rootDir.c_str()), 0);
    ProcessResult app = RunProgram(appDir + "/platform_probe", {"brand"});
    reg.DeleteValue("RootPath");
    EXPECT_EQ(app.out, "1 [Acme] [Mail] [Server] 2004 [five] [six]\n") << app.err;
}

}  // namespace
}  // namespace tmtest
