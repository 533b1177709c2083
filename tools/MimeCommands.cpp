//===-- tools/MimeCommands.cpp - tmctl mime encode/decode, tmctl uudecode -===//
//
// Base64 and uuencoded data from a shell, through the library's codecs:
// "mime encode" writes a file as the library writes attachments (64
// characters a line), "mime decode" decodes base64 text line by line
// through the carry, "uudecode" decodes the data between a "begin" line
// and an "end" line.
//
// Diagnostics: a file that cannot be opened, read or written, a missing
// "begin" or "end" line and a line that is not valid uuencoded data are
// reported on stderr with exit status 1; what was decoded before the bad
// line is kept. All three stream: memory does not grow with the input.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tmctl.h"

namespace tmctl {
namespace {

int Failure(const std::string& message) {
    fprintf(stderr, "tmctl: %s\n", message.c_str());
    return kFailed;
}

std::string ErrnoText(const std::string& what, int err) { return what + ": " + strerror(err); }

// Writes what it is given to standard output with every "\n" as CR LF.
ssize_t WriteCrLf(void* /*cookie*/, const char* buf, size_t size) {
    const char* end = buf + size;
    for (const char* p = buf; p < end;) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        if (fwrite(p, 1, static_cast<size_t>(stop - p), stdout) != static_cast<size_t>(stop - p)) return -1;
        if (nl && fwrite("\r\n", 1, 2, stdout) != 2) return -1;
        p = nl ? nl + 1 : end;
    }
    return static_cast<ssize_t>(size);
}

int FinishStdout() {
    if (fflush(stdout) != 0 || ferror(stdout)) return Failure(ErrnoText("writing standard output", errno));
    return kOk;
}

int MimeEncodeFile(const std::string& path, bool crlf) {
    // The library says only "cannot be opened"; the operator is told why.
    FILE* probe = fopen(path.c_str(), "rb");
    if (!probe) return Failure(ErrnoText(path, errno));
    struct stat st;
    bool directory = fstat(fileno(probe), &st) == 0 && S_ISDIR(st.st_mode);
    fclose(probe);
    if (directory) return Failure(ErrnoText(path, EISDIR));

    static char outBuffer[1 << 16];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    FILE* out = stdout;
    if (crlf) {
        cookie_io_functions_t io = {nullptr, WriteCrLf, nullptr, nullptr};
        out = fopencookie(nullptr, "w", io);
        if (!out) return Failure(ErrnoText("standard output", errno));
        setvbuf(out, nullptr, _IOFBF, 1 << 16);
    }
    int done = MimeEncode(out, path.c_str());
    bool writeFailed = ferror(out) != 0;
    if (crlf && fclose(out) != 0) writeFailed = true;
    if (writeFailed) return Failure(ErrnoText("writing standard output", errno ? errno : EIO));
    int rc = FinishStdout();
    if (!done) return Failure(path + ": cannot be opened or read");
    return rc;
}

int MimeDecodeFile(const std::vector<std::string>& args) {
    std::string name = args.empty() || args[0] == "-" ? "standard input" : args[0];
    FILE* in = args.empty() || args[0] == "-" ? stdin : fopen(args[0].c_str(), "rb");
    if (!in) return Failure(ErrnoText(name, errno));

    // Each line (or each piece of a line longer than the buffer) goes
    // through the carry; a NUL byte, which would end a line for the
    // decoder, is skipped like any other byte outside the alphabet.
    constexpr size_t kChunk = 1 << 16;
    std::vector<char> chunk(kChunk + 1);
    std::vector<unsigned char> decoded(kChunk / 4 * 3 + 16);
    char carry[8] = "";
    bool writeFailed = false;
    auto put = [&](int count) {
        if (count > 0 && fwrite(decoded.data(), 1, static_cast<size_t>(count), stdout) != static_cast<size_t>(count)) {
            writeFailed = true;
        }
    };
    size_t got;
    while (!writeFailed && (got = fread(chunk.data(), 1, kChunk, in)) > 0) {
        chunk[got] = '\0';
        for (size_t at = 0; at < got;) {
            char* p = chunk.data() + at;
            const char* nl = static_cast<const char*>(memchr(p, '\n', got - at));
            size_t len = nl ? static_cast<size_t>(nl - p) + 1 : got - at;
            len = strnlen(p, len);
            char saved = p[len];
            p[len] = '\0';
            put(MimeDecodeLineEx(p, decoded.data(), carry));
            p[len] = saved;
            at += len;
            if (at < got && chunk[at] == '\0') ++at;
        }
    }
    bool readFailed = ferror(in) != 0;
    int readErrno = errno;
    if (in != stdin) fclose(in);
    // The final partial group: 2 or 3 characters give 1 or 2 bytes.
    if (!writeFailed) put(MimeDecodeLine(carry, decoded.data()));
    if (readFailed) {
        FinishStdout();
        return Failure(ErrnoText("reading " + name, readErrno));
    }
    if (writeFailed) return Failure(ErrnoText("writing standard output", errno));
    return FinishStdout();
}

// Reads one line with its line end into line, at most kMaxLine bytes of
// it; false at the end of the input. *cut tells that the line was longer.
constexpr size_t kMaxLine = 4096;

bool ReadLine(FILE* in, std::string& line, bool* cut) {
    line.clear();
    *cut = false;
    int c;
    while ((c = getc_unlocked(in)) != EOF) {
        if (line.size() < kMaxLine) line += static_cast<char>(c);
        else *cut = true;
        if (c == '\n') return true;
    }
    return !line.empty() || *cut;
}

std::string TrimRight(const std::string& text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// "begin MODE NAME": MODE octal, NAME the rest of the line.
bool ParseBegin(const std::string& line, unsigned* mode, std::string* name) {
    std::string text = TrimRight(line);
    if (text.rfind("begin ", 0) != 0) return false;
    size_t at = 6;
    size_t digits = text.find_first_not_of("01234567", at);
    if (digits == std::string::npos || digits == at || text[digits] != ' ') return false;
    *mode = static_cast<unsigned>(strtoul(text.substr(at, digits - at).c_str(), nullptr, 8));
    *name = text.substr(digits + 1);
    return !name->empty();
}

int Uudecode(const std::vector<std::string>& args, bool outputGiven, std::string outputPath) {
    if (outputGiven && outputPath.empty()) return UsageError("uudecode", "the output PATH is empty");
    std::string name = args.empty() || args[0] == "-" ? "standard input" : args[0];
    FILE* in = args.empty() || args[0] == "-" ? stdin : fopen(args[0].c_str(), "rb");
    if (!in) return Failure(ErrnoText(name, errno));
    struct Closer {
        FILE* in;
        ~Closer() {
            if (in != stdin) fclose(in);
        }
    } closer{in};

    std::string line;
    bool cut;
    unsigned mode = 0;
    std::string fileName;
    size_t lineNumber = 0;
    bool begun = false;
    while (ReadLine(in, line, &cut)) {
        ++lineNumber;
        if (!cut && ParseBegin(line, &mode, &fileName)) {
            begun = true;
            break;
        }
    }
    if (!begun) return Failure(name + ": no 'begin' line");

    FILE* out = stdout;
    if (!outputGiven || outputPath != "-") {
        std::string path = outputPath;
        int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        if (!outputGiven) {
            // The name comes with the data: only its last part is used, in
            // the current directory, and an existing file is not replaced.
            size_t slash = fileName.find_last_of('/');
            path = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
            if (path.empty() || path == "." || path == "..") {
                return Failure("the begin line names no usable file ('" + fileName + "'); use --output");
            }
            flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
        }
        int fd = open(path.c_str(), flags, mode & 0777);
        if (fd < 0 && errno == EEXIST) return Failure(path + " already exists; use --output to choose where to write");
        if (fd < 0) return Failure(ErrnoText(path, errno));
        out = fdopen(fd, "wb");
        if (!out) {
            close(fd);
            return Failure(ErrnoText(path, errno));
        }
        outputPath = path;
    } else {
        outputPath = "standard output";
    }

    std::string problem;
    bool ended = false;
    unsigned char decoded[96];
    while (problem.empty() && ReadLine(in, line, &cut)) {
        ++lineNumber;
        std::string text = TrimRight(line);
        if (text == "end") {
            ended = true;
            break;
        }
        if (text.empty()) continue;
        size_t first = text.find_first_not_of(" \t\n\v\f\r");
        if (first == std::string::npos) continue;
        // '`' alone is the line of no bytes before "end"; any other line
        // must give the count its length character announces.
        if (text[first] == '`' && first + 1 == text.size()) continue;
        int n = static_cast<signed char>(text[first]) - 32;
        bool usable = n >= 1 && n != 64 && !cut && line.find('\0') == std::string::npos;
        int count = usable ? UUDecodeLine(line.c_str(), decoded) : 0;
        if (!usable || count != n) {
            problem = name + " line " + std::to_string(lineNumber) + ": not a valid uuencoded line; " +
                      outputPath + " holds the data before it";
            break;
        }
        if (count > 0 && fwrite(decoded, 1, static_cast<size_t>(count), out) != static_cast<size_t>(count)) {
            problem = ErrnoText("writing " + outputPath, errno);
        }
    }
    if (problem.empty() && ferror(in)) problem = ErrnoText("reading " + name, errno);
    if (problem.empty() && !ended) {
        problem = name + ": no 'end' line; " + outputPath + " may be cut short";
    }
    bool closeFailed = out == stdout ? fflush(stdout) != 0 || ferror(stdout) : fclose(out) != 0;
    if (closeFailed && problem.empty()) problem = ErrnoText("writing " + outputPath, errno);
    if (!problem.empty()) return Failure(problem);
    return kOk;
}

class MimeEncodeCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_flag("--crlf", m_crlf, "end the lines with CR LF");
        app.add_option("FILE", m_path, "the file to encode")->required();
    }
    int Run() override { return MimeEncodeFile(m_path, m_crlf); }

private:
    bool m_crlf = false;
    std::string m_path;
};

class MimeDecodeCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_fileOption = app.add_option("FILE", m_path, "base64 text (default, or -: the standard input)");
    }
    int Run() override {
        return MimeDecodeFile(m_fileOption->count() ? std::vector<std::string>{m_path} : std::vector<std::string>{});
    }

private:
    std::string m_path;
    CLI::Option* m_fileOption = nullptr;
};

class UudecodeCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        m_outputOption =
            app.add_option("--output", m_output, "where the data goes; - for the standard output")->type_name("PATH");
        m_fileOption = app.add_option("FILE", m_path, "the text (default, or -: the standard input)");
    }
    int Run() override {
        return Uudecode(m_fileOption->count() ? std::vector<std::string>{m_path} : std::vector<std::string>{},
                        m_outputOption->count() != 0, m_output);
    }

private:
    std::string m_output, m_path;
    CLI::Option* m_outputOption = nullptr;
    CLI::Option* m_fileOption = nullptr;
};

}  // namespace

TMCTL_COMMAND(MimeEncodeCommand, "mime encode", "[--crlf] FILE", "write FILE as base64 to standard output",
              "Writes the file as the library writes attachments: 48 bytes to a line of\n"
              "64 characters, the last line shorter, an empty file as nothing. Lines end\n"
              "with LF, or with CR LF with --crlf.");
TMCTL_COMMAND(MimeDecodeCommand, "mime decode", "[FILE]", "decode base64 text from FILE or standard input",
              "Decodes line by line, carrying an incomplete group of characters over to\n"
              "the next line, and decodes a final incomplete group (2 or 3 characters give\n"
              "1 or 2 bytes) at the end. Bytes outside the base64 alphabet, '=' and line\n"
              "ends included, are skipped wherever they stand. Writes the bytes to\n"
              "standard output.");
TMCTL_COMMAND(UudecodeCommand, "uudecode", "[--output PATH] [FILE]", "decode uuencoded data from FILE or standard input",
              "Skips to the 'begin MODE NAME' line and decodes up to the 'end' line. Writes\n"
              "the file the begin line names (its last part only, in the current\n"
              "directory, with MODE; an existing file is not replaced), or PATH with\n"
              "--output ('-' for standard output). Fails at a line that is not valid\n"
              "uuencoded data, keeping what was decoded before it, and when the begin or\n"
              "end line is missing.");

}  // namespace tmctl
