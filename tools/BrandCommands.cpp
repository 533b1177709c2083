//===-- tools/BrandCommands.cpp - tmctl brand write|show, scramble --------===//
//
// The branding file "brand.inf" and its scrambler, through the library's
// own CConnMaker and COEM:
//   brand write DIR LINE1 LINE2 LINE3 NUMBER [MORE...]
//   brand show [DIR]
//   scramble KEY TEXT / unscramble KEY TEXT
//
// brand write refuses what the reader could not give back whole: an empty
// string (a blank line is skipped by the reader, moving every later line
// up), a string of more than 129 characters (a line holds 259 scrambled
// characters), a number outside 32 bits. It replaces the file whole (see
// OutputFile.cpp), so a reader never meets half a file; a brand.inf that
// is a link has its target replaced. DIR "-" writes the file's contents to
// standard output.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tmctl.h"

namespace tmctl {
namespace {

const char kBrandKey[] = "quillfeather";
const char kBrandFileName[] = "brand.inf";
// Longest string a line of the file carries: 259 scrambled characters.
constexpr size_t kMaxBrandText = 129;

std::string BrandPath(const std::string& dir) {
    if (dir.empty()) return kBrandFileName;
    return dir + (dir.back() == '/' ? "" : "/") + kBrandFileName;
}

// A decimal number of 32 bits: an optional sign and digits, nothing else.
bool ParseDecimal(const std::string& text, int* value) {
    if (text.empty()) return false;
    size_t digits = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == digits || text.size() > digits + 10) return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    long long v = strtoll(text.c_str(), nullptr, 10);
    if (v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// Pairs of upper-case hexadecimal digits: what Make writes.
bool IsScrambledText(const std::string& text) {
    if (text.size() % 2) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

DWORD ErrnoCode(int err) {
    switch (err) {
        case ENOENT: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOSPC: return ERROR_DISK_FULL;
        default: return ERROR_WRITE_FAULT;
    }
}

int BrandWrite(const std::vector<std::string>& args) {
    const std::string& dir = args[0];
    int number = 0;
    if (!ParseDecimal(args[4], &number)) {
        return UsageError("brand write", "NUMBER is not a 32-bit decimal number: " + args[4]);
    }
    std::vector<std::string> lines = {args[1], args[2], args[3], std::to_string(number)};
    lines.insert(lines.end(), args.begin() + 5, args.end());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string which = "line " + std::to_string(i + 1);
        if (lines[i].empty()) {
            return UsageError("brand write", which + " is empty: the file cannot hold an empty string");
        }
        if (lines[i].size() > kMaxBrandText) {
            return UsageError("brand write", which + " is longer than " + std::to_string(kMaxBrandText) +
                                                 " characters: the reader would cut it");
        }
    }
    const std::string path = dir == "-" ? dir : BrandPath(dir);
    OutputFile out;
    if (!out.Open(path)) return Win32Failure("cannot write " + path, ErrnoCode(errno));
    // CR LF after each line, as the library reads text files.
    CConnMaker maker(kBrandKey);
    bool ok = true;
    for (const std::string& line : lines) {
        ok = fputs(maker.Make(line.c_str()), out.Stream()) >= 0 && fputs("\r\n", out.Stream()) >= 0 && ok;
    }
    int err = ok ? 0 : errno;
    if (int error = out.Commit(); error && ok) err = error;
    if (err) return Win32Failure("cannot write " + out.Target(), ErrnoCode(err));
    return kOk;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return "";
    std::string text(path, n);
    return text.substr(0, text.rfind('/'));
}

int BrandShow(const std::vector<std::string>& args) {
    std::string dir = args.empty() ? ExecutableDirectory() : args[0];
    std::string path = BrandPath(dir);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return Win32Failure(path, errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrnoCode(errno));
    }
    if (access(path.c_str(), R_OK) != 0) return Win32Failure(path, ERROR_ACCESS_DENIED);
    // Without DIR this is what every program beside tmctl reads.
    COEM brand = args.empty() ? COEM() : COEM(dir.c_str());
    printf("file:    %s\n", path.c_str());
    printf("brand 1: %s\n", static_cast<const char*>(brand.m_cszBrand1));
    printf("brand 2: %s\n", static_cast<const char*>(brand.m_cszBrand2));
    printf("brand 3: %s\n", static_cast<const char*>(brand.m_cszBrand3));
    if (brand.m_bLoaded) printf("number:  %d\n", brand.m_nBrandNumber);
    for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) {
        printf("line %d:  %s\n", i + 5, static_cast<const char*>(brand.m_csaBrandLines[i]));
    }
    if (!brand.m_bLoaded) {
        fprintf(stderr, "tmctl: %s holds fewer than four lines or could not be read to its end\n",
                path.c_str());
        return kFailed;
    }
    return kOk;
}

int Scramble(const std::vector<std::string>& args) {
    if (args[0].empty()) return UsageError("scramble", "the key must not be empty");
    CConnMaker maker(args[0].c_str());
    printf("%s\n", maker.Make(args[1].c_str()));
    return kOk;
}

int Unscramble(const std::vector<std::string>& args) {
    if (args[0].empty()) return UsageError("unscramble", "the key must not be empty");
    if (!IsScrambledText(args[1])) {
        return UsageError("unscramble", "not scrambled text (pairs of digits 0-9, A-F): " + args[1]);
    }
    CConnMaker maker(args[0].c_str());
    printf("%s\n", maker.Unmake(args[1].c_str()));
    return kOk;
}

class BrandWriteCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("DIR", m_dir, "the directory of brand.inf, or - for the standard output")->required();
        app.add_option("LINE1", m_lines[0], "the first string")->required();
        app.add_option("LINE2", m_lines[1], "the second string")->required();
        app.add_option("LINE3", m_lines[2], "the third string")->required();
        app.add_option("NUMBER", m_number, "a signed 32-bit decimal number")->required();
        app.add_option("MORE", m_more, "further strings");
    }
    int Run() override {
        std::vector<std::string> args = {m_dir, m_lines[0], m_lines[1], m_lines[2], m_number};
        args.insert(args.end(), m_more.begin(), m_more.end());
        return BrandWrite(args);
    }

private:
    std::string m_dir, m_lines[3], m_number;
    std::vector<std::string> m_more;
};

class BrandShowCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_dirOption = app.add_option("DIR", m_dir, "the directory of brand.inf (default: tmctl's own)");
    }
    int Run() override { return BrandShow(m_dirOption->count() ? std::vector<std::string>{m_dir} : std::vector<std::string>{}); }

private:
    std::string m_dir;
    CLI::Option* m_dirOption = nullptr;
};

// scramble and unscramble: KEY TEXT.
template <int (*Run_)(const std::vector<std::string>&)>
class KeyTextCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_option("KEY", m_args[0], "the key")->required();
        app.add_option("TEXT", m_args[1], "the text")->required();
    }
    int Run() override { return Run_(m_args); }

private:
    std::vector<std::string> m_args = std::vector<std::string>(2);
};

}  // namespace

TMCTL_COMMAND(BrandWriteCommand, "brand write", "DIR LINE1 LINE2 LINE3 NUMBER [MORE...]", "write a scrambled brand.inf",
              "Writes DIR/brand.inf: the three strings, the decimal NUMBER and any further\n"
              "strings, one per line, each scrambled with the branding key. Programs read\n"
              "the brand.inf that lies beside their executable. A string must have 1 to\n"
              "129 characters; NUMBER is a signed 32-bit decimal number. An existing file\n"
              "is replaced whole (a link: its target). DIR '-' writes the file to the\n"
              "standard output.");
TMCTL_COMMAND(BrandShowCommand, "brand show", "[DIR]", "read a brand.inf and print its fields",
              "Reads DIR/brand.inf, or without DIR the brand.inf beside tmctl itself, as\n"
              "the programs do, and prints its strings and number. Fails when the file\n"
              "is missing, or holds fewer than four lines (what it has is printed).");
TMCTL_COMMAND(KeyTextCommand<Scramble>, "scramble", "KEY TEXT", "scramble TEXT with KEY as brand.inf lines are",
              "Prints two upper-case hexadecimal digits per byte of TEXT.");
TMCTL_COMMAND(KeyTextCommand<Unscramble>, "unscramble", "KEY TEXT", "unscramble TEXT with KEY",
              "TEXT is what 'tmctl scramble' prints: pairs of digits 0-9 and A-F.");

}  // namespace tmctl
