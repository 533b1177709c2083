//===-- platform/OEM.cpp - The branding file "brand.inf" (COEM) -----------===//
//
// "brand.inf" lies beside the executable of the process (not below the
// root path, not beside the library). It is a text file; each line holds
// one string scrambled on its own with CConnMaker and the key
// "quillfeather":
//   lines 1-3   m_cszBrand1..3
//   line 4      a decimal number, m_nBrandNumber
//   lines 5...  m_csaBrandLines, any number of them
// A line is a run of non-blank characters, as "%s\n" reads it: blank
// lines and blanks around a line are skipped.
//
// Diagnostics: a missing file is no error (m_bLoaded stays 0). A line
// whose unscrambling fails is reported with NewError and DebugX and left
// out; reading goes on with the next line.
// Limits: a line is read into 260 characters: 259 of scrambled text, so
// 129 characters of a string. A longer line keeps its first 259
// characters and drops the rest, so that the lines after it keep their
// places. A file with fewer than four lines fills the fields it has,
// leaves m_nBrandNumber 0 and m_bLoaded 0; so does one that cannot be read
// to its end. A line 4 that is not a number of 32 bits ("%d": blanks, a
// sign, digits, anything after them ignored) leaves m_nBrandNumber 0 with
// m_bLoaded 1. The executable's path may be as long as the system allows.
//===----------------------------------------------------------------------===//
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Layer.h"
#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmplatform.h"

namespace {

const char kSourceFile[] = "OEM";
const char kBrandFileName[] = "brand.inf";
const char kBrandKey[] = "quillfeather";

// A line's buffer, as "%259s" fills it.
constexpr size_t kLineBuffer = 260;

// Reads the next line into line[kLineBuffer]; false at the end of the file
// (line then empty).
bool ReadLine(FILE* fp, char* line) {
    if (fscanf(fp, "%259s", line) != 1) {
        line[0] = '\0';
        return false;
    }
    int c;
    // The rest of an overlong line.
    while ((c = getc(fp)) != EOF && !isspace(c)) {
    }
    // The line end and any blank lines, as the "\n" of "%s\n" skips them;
    // reaching the end here marks the file as read to its end.
    while (c != EOF && isspace(c)) c = getc(fp);
    if (c != EOF) ungetc(c, fp);
    return true;
}

// The number of line 4 as "%d" reads it; false without digits or outside
// 32 bits.
bool ParseBrandNumber(const char* text, int* value) {
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// One line's own handler: a failure is reported and the line left out.
template <class Body>
void LineStep(int handlerLine, Body&& body) {
    tmc::GuardedReportingAllocation(kSourceFile, handlerLine, body);
}

}  // namespace

COEM::COEM() : m_nBrandNumber(0), m_bLoaded(0) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        char path[PATH_MAX + sizeof kBrandFileName];
        DWORD length = GetModuleFileNameA(nullptr, path, PATH_MAX);
        if (length == 0 || length >= PATH_MAX) return;
        char* base = path + (w32::BaseName(path) - path);
        memcpy(base, kBrandFileName, sizeof kBrandFileName);
        ReadBrandFile(path);
    });
}

COEM::COEM(const char* pszDirectory) : m_nBrandNumber(0), m_bLoaded(0) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        std::string path = pszDirectory ? pszDirectory : "";
        if (!path.empty() && !w32::IsPathSeparator(path.back())) path += w32::kPathSeparator;
        path += kBrandFileName;
        ReadBrandFile(path.c_str());
    });
}

COEM::~COEM() {}

void COEM::ReadBrandFile(const char* pszPath) {
    FILE* fp = tm_fopen(pszPath, "r");
    if (!fp) return;
    CConnMaker maker(kBrandKey);
    char line[kLineBuffer];
    int lines = 0;
    // Each line has a handler of its own, so that a report names the line.
    if (ReadLine(fp, line)) {
        ++lines;
        LineStep(__LINE__, [&] { m_cszBrand1 = maker.Unmake(line); });
    }
    if (lines == 1 && ReadLine(fp, line)) {
        ++lines;
        LineStep(__LINE__, [&] { m_cszBrand2 = maker.Unmake(line); });
    }
    if (lines == 2 && ReadLine(fp, line)) {
        ++lines;
        LineStep(__LINE__, [&] { m_cszBrand3 = maker.Unmake(line); });
    }
    if (lines == 3 && ReadLine(fp, line)) {
        ++lines;
        LineStep(__LINE__, [&] {
            int number;
            if (ParseBrandNumber(maker.Unmake(line), &number)) m_nBrandNumber = number;
        });
    }
    while (lines >= 4 && !feof(fp) && ReadLine(fp, line)) {
        ++lines;
        LineStep(__LINE__, [&] { m_csaBrandLines.Add(maker.Unmake(line)); });
    }
    bool complete = lines >= 4 && !ferror(fp);
    fclose(fp);
    if (complete) m_bLoaded = 1;
}
