//===-- tests/win32/FormatTest.cpp - wsprintf, _splitpath, _strnicmp ------===//
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "Win32Internal.h"

namespace {

std::string Format(const char* format, ...) {
    char buffer[1100];
    memset(buffer, 0xBD, sizeof buffer);
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(buffer, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), strlen(buffer));
    return buffer;
}

// Output is cut at 1023 characters.
TEST(WsprintfTest, ConversionsAsWindowsWritesThem) {
    EXPECT_EQ(Format("%d|%5d|%-5d|%05d", -3, 42, 42, 42), "-3|   42|42   |00042");
    EXPECT_EQ(Format("%x %X %08x %u", 255u, 255u, 0xabcu, 4000000000u), "ff FF 00000abc 4000000000");
    EXPECT_EQ(Format("%c%c %s|%.2s|%4s|%-4s|", 'o', 'k', "text", "text", "ab", "ab"), "ok text|te|  ab|ab  |");
    EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(Format("100%% %ld %hd %hu", LONG(-5), 70000, 70000), "100% -5 4464 4464");
    // No floating point: the conversion character is written as it is.
    EXPECT_EQ(Format("%f!"), "f!");
    EXPECT_EQ(Format("ends with %"), "ends with %");
    char buffer[1100];
    memset(buffer, 0xBD, sizeof buffer);
    EXPECT_EQ(wsprintfA(buffer, "%s%s", std::string(3000, 'x').c_str(), "tail"), 1023);
    EXPECT_EQ(std::string(buffer + 1022, 3), std::string("x\0\xBD", 3));  // nothing written beyond
}

// A width or precision that comes from an argument is cut like one in the
// format: padding two billion characters takes the C library seconds.
TEST(WsprintfTest, WidthsFromArgumentsAreCut) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Format("%*d%.*u", INT_MAX, 1, INT_MAX, 2u), std::string(1023, ' '));
    EXPECT_EQ(Format("%-*d|", INT_MAX, 7), "7" + std::string(1022, ' '));
    EXPECT_EQ(Format("%.*d|", INT_MAX, 7), std::string(1023, '0'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Sizes as 64-bit Windows reads them: l is 32 bits, I64 64, I32 32, I the
// size of a pointer. Every argument is passed as a 64-bit value, as the
// conformance cases on Windows pass them: a 32-bit size reads the low half.
TEST(WsprintfTest, SizesAsOnSixtyFourBitWindows) {
    struct Case { const char* format; long long value; const char* text; };
    const Case kCases[] = {
        {"%010ld", -1, "-000000001"},
        {"%ld", -5, "-5"},
        {"%lu", -0x100000000LL + 7, "7"},
        {"%lx", 0x123450067890ALL, "67890a"},
        {"%I64X", 0x123450067890ALL, "123450067890A"},
        {"%I32X", 0x123450067890ALL, "67890A"},
        {"%I64d", 543210000000LL, "543210000000"},
        {"%I64X", -0x12345, "FFFFFFFFFFFEDCBB"},
        {"%I32x", -0x12345, "fffedcbb"},
        {"%I64u", -123, "18446744073709551493"},
        {"%Id", -12345, "-12345"},
        {"%Ix", 0x123450067890ALL, "123450067890a"},
        {"%Ix", -0x12345, "fffffffffffedcbb"},
        {"%p", -0x12345, "FFFFFFFFFFFEDCBB"},
        {"%p", 0x1234, "0000000000001234"},
        {"%-20p|", 0xab, "00000000000000AB|"},
        {"%lld", -543210000000LL, "-543210000000"},
    };
    for (const Case& c : kCases) EXPECT_EQ(Format(c.format, c.value), c.text) << c.format;
    // A 32-bit size leaves the next argument where it is.
    EXPECT_EQ(Format("%ld %s", LONG(-1), "next"), "-1 next");
}

TEST(SplitPathTest, ComponentsOfBothPlatforms) {
    struct Case { const char* path; const char* drive; const char* dir; const char* fname; const char* ext; };
    const Case kCases[] = {
        {"C:\\tamarak\\tmarksvc.exe", "C:", "\\tamarak\\", "tmarksvc", ".exe"},
        {"/opt/tamarak/bin/tmctl", "", "/opt/tamarak/bin/", "tmctl", ""},
        {"/a.b/name.tar.gz", "", "/a.b/", "name.tar", ".gz"},
        {"plain", "", "", "plain", ""},
        {"", "", "", "", ""},
    };
    for (const Case& c : kCases) {
        char drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
        _splitpath(c.path, drive, dir, fname, ext);
        EXPECT_EQ(std::string(drive) + "|" + dir + "|" + fname + "|" + ext,
                  std::string(c.drive) + "|" + c.dir + "|" + c.fname + "|" + c.ext) << c.path;
    }
    char fname[_MAX_FNAME];
    std::string longName = "/d/" + std::string(400, 'n');
    _splitpath(longName.c_str(), nullptr, nullptr, fname, nullptr);
    EXPECT_EQ(strlen(fname), static_cast<size_t>(_MAX_FNAME - 1));
}

TEST(StrnicmpTest, ComparesWithoutCaseUpToCount) {
    EXPECT_EQ(_strnicmp("January", "JAN", 3), 0);
    EXPECT_NE(_strnicmp("Ja", "jan", 3), 0);  // the terminator takes part
    EXPECT_LT(_strnicmp("abc", "ABD", 3), 0);
    EXPECT_EQ(_strnicmp("x", "y", 0), 0);
    EXPECT_EQ(_stricmp("MiXeD", "mixed"), 0);
}

}  // namespace
