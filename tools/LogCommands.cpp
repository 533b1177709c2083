//===-- tools/LogCommands.cpp - tmctl log, tmctl log tail -----------------===//
//
// Writing one line to the event log, and reading the day's log:
//   log [--web] [--type N] [--dir DIR] TEXT
//   log tail [-f] [-n N] [--web] [--type LETTERS] [--since HH:MM] [--dir DIR]
//
// log tail reads the day file of the main log (TMyymmdd.log) or of the web
// log (RQyymmdd.log) in the log directory, named by the local date as the
// library names it. A record is a line with the log's header (main log:
// process name, type character, HH:MM:SS, thread; web log: HH:MM:SS) and
// the lines after it that have none, since an event's text may hold line
// breaks; the filters keep or drop whole records. Lines are printed with
// LF ends.
//
// Following (-f) polls the file ten times a second, printing complete
// lines only. When the local date changes it reads the old day's file to
// its end and goes on with the new day's file as soon as it appears; the
// old file is still read for a few seconds after midnight, for a writer
// that named its file just before it.
//===----------------------------------------------------------------------===//
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

#include "CommandTree.h"

namespace tmctl {

std::string LogDirectory() {
    char path[4096];
    TmGetEventLogPath(path, sizeof path);
    return path;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The type characters of the main log's lines.
const char kTypeLetters[] = "EWIS<>*D!~";
constexpr int kPollMilliseconds = 100;
// How long after midnight the old day's file is still read.
constexpr time_t kOldFileGraceSeconds = 5;

// "does not exist" or "is not a directory", for a directory that is not one.
std::string WhyNotDirectory(const std::string& dir) {
    struct stat st;
    std::string bare = dir.size() > 1 && dir.back() == '/' ? dir.substr(0, dir.size() - 1) : dir;
    return stat(bare.c_str(), &st) == 0 ? "is not a directory" : "does not exist";
}

class LogCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_flag("--web", m_web, "write to the web log");
        m_typeOption = app.add_option("--type", m_type, "the event type (default 0x2000)")->type_name("N");
        m_dirOption = app.add_option("--dir", m_dir, "the log directory")->type_name("DIR");
        m_textOption = app.add_option("TEXT", m_text, "the line");
    }
    int Run() override {
        DWORD type = 0x2000;
        if (m_typeOption->count() && (!ParseNumber(m_type, &type) || type > 0xFFFF)) {
            return UsageError("log", "not a 16-bit event type: " + m_type);
        }
        if (m_textOption->count() == 0) return UsageError("log", "");
        const bool dirGiven = m_dirOption->count() != 0;
        if (dirGiven && m_dir.empty()) return UsageError("log", "the log directory is empty");
        std::string logDir;
        if (dirGiven) {
            SetEventLogPath(m_dir.data());
            logDir = LogDirectory();
            // The library keeps its directory when it refuses a new one; the
            // line must not go there instead. An applied directory ends in a
            // separator.
            std::string expected = m_dir;
            if (m_dir.back() != '/' && m_dir.back() != '\\') expected += '/';
            if (logDir != expected) {
                fprintf(stderr,
                        "tmctl: the log directory %s was refused (at most 259 characters); nothing was written\n",
                        m_dir.c_str());
                return kFailed;
            }
        } else {
            logDir = LogDirectory();
        }
        DWORD result;
        {
            CEventLog log(m_web ? 1 : 0);
            log.LogEvent(static_cast<WORD>(type), "%s", m_text.c_str());
            result = TmGetLastLogResult();
        }
        // The library loses a line without a word; an operator is told.
        if (result == ERROR_SUCCESS) return kOk;
        if (result == TM_LOG_FILTERED) {
            fprintf(stderr,
                    "tmctl: event type 0x%x is not in the main log's mask (value Logging); the line was not "
                    "written\n",
                    static_cast<unsigned>(type));
            return kFailed;
        }
        if (!IsDirectory(logDir)) {
            fprintf(stderr, "tmctl: the log directory %s %s; the line was not written\n", logDir.c_str(),
                    WhyNotDirectory(logDir).c_str());
            return kFailed;
        }
        return Win32Failure("the line was not written to the log in " + logDir, result);
    }

private:
    bool m_web = false;
    std::string m_type, m_dir, m_text;
    CLI::Option* m_typeOption = nullptr;
    CLI::Option* m_dirOption = nullptr;
    CLI::Option* m_textOption = nullptr;
};

// The header of a line: its type character and its time in seconds of
// the day. False for a line without one (a continuation).
bool ParseHeader(const std::string& line, bool web, char* type, int* seconds) {
    auto timeAt = [&](size_t at) {
        if (at + 8 > line.size() || line[at + 2] != ':' || line[at + 5] != ':') return false;
        for (size_t i : {0, 1, 3, 4, 6, 7}) {
            if (!isdigit(static_cast<unsigned char>(line[at + i]))) return false;
        }
        *seconds = ((line[at] - '0') * 10 + (line[at + 1] - '0')) * 3600 +
                   ((line[at + 3] - '0') * 10 + (line[at + 4] - '0')) * 60 + (line[at + 6] - '0') * 10 +
                   (line[at + 7] - '0');
        return true;
    };
    if (web) {
        *type = 0;
        return line.size() >= 9 && line[8] == ' ' && timeAt(0);
    }
    // "%-8s %c %02d:%02d:%02d 0x%08x ": the name takes eight columns or
    // more, then one blank.
    for (size_t p = 8; p + 13 <= line.size() && p < 72; ++p) {
        if (line[p] != ' ' || line[p + 2] != ' ' || line[p + 11] != ' ' || line.compare(p + 12, 1, "0") != 0) continue;
        if (!strchr(kTypeLetters, line[p + 1]) || !timeAt(p + 3)) continue;
        *type = line[p + 1];
        return true;
    }
    return false;
}

// One day file of a log, read from where the last read stopped.
class DayFile {
public:
    explicit DayFile(std::string path) : m_path(std::move(path)) {}
    ~DayFile() {
        if (m_fd >= 0) close(m_fd);
    }
    DayFile(const DayFile&) = delete;
    DayFile& operator=(const DayFile&) = delete;

    const std::string& Path() const { return m_path; }
    bool Exists() {
        Reopen();
        return m_fd >= 0;
    }
    // The complete lines written since the last call, without their line
    // ends; at the end of input (final), an unfinished last line too.
    std::vector<std::string> NewLines(bool final) {
        std::vector<std::string> lines;
        Reopen();
        if (m_fd < 0) return lines;
        char buffer[65536];
        ssize_t n;
        while ((n = pread(m_fd, buffer, sizeof buffer, m_offset)) > 0) {
            m_offset += n;
            m_pending.append(buffer, static_cast<size_t>(n));
            size_t start = 0, end;
            while ((end = m_pending.find('\n', start)) != std::string::npos) {
                lines.push_back(Line(start, end));
                start = end + 1;
            }
            m_pending.erase(0, start);
        }
        if (final && !m_pending.empty()) {
            lines.push_back(Line(0, m_pending.size()));
            m_pending.clear();
        }
        return lines;
    }

private:
    std::string Line(size_t start, size_t end) const {
        if (end > start && m_pending[end - 1] == '\r') --end;
        return m_pending.substr(start, end - start);
    }
    // Opens the file when it appears, and again from its start when it was
    // replaced or cut short.
    void Reopen() {
        struct stat named;
        if (stat(m_path.c_str(), &named) != 0) return;
        struct stat open;
        if (m_fd >= 0 && fstat(m_fd, &open) == 0 && open.st_ino == named.st_ino && open.st_dev == named.st_dev &&
            open.st_size >= m_offset)
            return;
        if (m_fd >= 0) close(m_fd);
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        m_offset = 0;
        m_pending.clear();
    }

    std::string m_path;
    int m_fd = -1;
    off_t m_offset = 0;
    std::string m_pending;
};

class LogTailCommand final : public Command {
public:
    void Define(CLI::App& app) override {
        app.add_flag("-f,--follow", m_follow, "go on printing lines as they are written, across midnight");
        m_linesOption = app.add_option("-n,--lines", m_lines,
                                       "print the last N records (default 10; with --since, all of them)")
                            ->type_name("N");
        app.add_flag("--web", m_web, "read the web log instead of the main log");
        CLI::Option* type =
            app.add_option("--type", m_letters, "only records of these type characters, e.g. EW!")->type_name("LETTERS");
        SetChoices(type, {"E", "W", "I", "D", "!", "~"});
        m_sinceOption = app.add_option("--since", m_since, "only records written at HH:MM or later")->type_name("HH:MM");
        m_dirOption = app.add_option("--dir", m_dir, "the log directory (default: the library's)")->type_name("DIR");
    }

    int Run() override {
        if (int rc = CheckArguments()) return rc;
        m_dirPath = m_dirOption->count() ? m_dir : LogDirectory();
        if (!m_dirPath.empty() && m_dirPath.back() != '/') m_dirPath += '/';
        if (!IsDirectory(m_dirPath)) {
            fprintf(stderr, "tmctl: the log directory %s %s\n", m_dirPath.c_str(), WhyNotDirectory(m_dirPath).c_str());
            return kFailed;
        }
        auto day = std::make_unique<DayFile>(DayFilePath(time(nullptr)));
        if (!m_follow && !day->Exists()) {
            fprintf(stderr, "tmctl: %s does not exist: nothing has been written to the %s log today\n",
                    day->Path().c_str(), m_web ? "web" : "main");
            return kFailed;
        }
        // The day so far: the last records that pass the filters.
        std::deque<std::vector<std::string>> last;
        for (const std::string& line : day->NewLines(!m_follow)) {
            if (Keep(line, true)) {
                if (m_startsRecord || last.empty()) last.emplace_back();
                last.back().push_back(line);
                if (m_limit && last.size() > m_limit) last.pop_front();
            }
        }
        for (const auto& record : last) {
            for (const std::string& line : record) printf("%s\n", line.c_str());
        }
        if (fflush(stdout) != 0) return kFailed;
        if (!m_follow) return kOk;
        return Follow(std::move(day));
    }

private:
    int CheckArguments() {
        for (char& c : m_letters) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            if (!strchr(kTypeLetters, c)) {
                return UsageError("log tail", std::string("not a type character: '") + c + "' (one of " + kTypeLetters + ")");
            }
        }
        if (m_web && !m_letters.empty()) return UsageError("log tail", "the web log's lines have no type");
        if (m_sinceOption->count()) {
            unsigned hours = 0, minutes = 0;
            char end = 0;
            if (sscanf(m_since.c_str(), "%2u:%2u%c", &hours, &minutes, &end) != 2 || hours > 23 || minutes > 59 ||
                m_since.size() != 5) {
                return UsageError("log tail", "not a time HH:MM: " + m_since);
            }
            m_sinceSeconds = static_cast<int>(hours * 3600 + minutes * 60);
        }
        if (m_linesOption->count()) {
            DWORD n = 0;
            if (!ParseNumber(m_lines, &n)) return UsageError("log tail", "not a number of records: " + m_lines);
            m_limit = n;
            if (n == 0) m_limit = 0, m_none = true;
        } else {
            m_limit = m_sinceOption->count() ? 0 : 10;
        }
        if (m_dirOption->count() && m_dir.empty()) return UsageError("log tail", "the log directory is empty");
        return kOk;
    }

    std::string DayFilePath(time_t when) const {
        struct tm local;
        localtime_r(&when, &local);
        char name[32];
        snprintf(name, sizeof name, "%s%02d%02d%02d.log", m_web ? "RQ" : "TM", local.tm_year % 100, local.tm_mon + 1,
                 local.tm_mday);
        return m_dirPath + name;
    }

    // Whether the line is printed: a header line by the filters, a line
    // without one as the record it continues. firstDay: --since applies.
    bool Keep(const std::string& line, bool firstDay) {
        char type;
        int seconds;
        m_startsRecord = ParseHeader(line, m_web, &type, &seconds);
        if (m_none) return false;
        if (!m_startsRecord) return m_keeping;
        m_keeping = (m_letters.empty() || strchr(m_letters.c_str(), type)) &&
                    (!firstDay || m_sinceSeconds < 0 || seconds >= m_sinceSeconds);
        return m_keeping;
    }

    int Follow(std::unique_ptr<DayFile> day) {
        m_none = false;
        bool firstDay = true;
        std::unique_ptr<DayFile> old;
        time_t oldUntil = 0;
        for (;;) {
            const time_t now = time(nullptr);
            const std::string path = DayFilePath(now);
            if (path != day->Path()) {
                // Midnight: the old day to its end, then the new day.
                Print(day->NewLines(false), firstDay);
                old = std::move(day);
                oldUntil = now + kOldFileGraceSeconds;
                day = std::make_unique<DayFile>(path);
                firstDay = false;
                m_keeping = m_letters.empty();
            }
            if (old) {
                Print(old->NewLines(false), false);
                if (now >= oldUntil) old.reset();
            }
            Print(day->NewLines(false), firstDay);
            if (fflush(stdout) != 0) return kFailed;
            usleep(kPollMilliseconds * 1000);
        }
    }

    void Print(const std::vector<std::string>& lines, bool firstDay) {
        for (const std::string& line : lines) {
            if (Keep(line, firstDay)) printf("%s\n", line.c_str());
        }
    }

    bool m_follow = false, m_web = false;
    std::string m_lines, m_letters, m_since, m_dir;
    CLI::Option* m_linesOption = nullptr;
    CLI::Option* m_sinceOption = nullptr;
    CLI::Option* m_dirOption = nullptr;
    std::string m_dirPath;
    size_t m_limit = 10;
    bool m_none = false;  // -n 0: nothing of the day so far
    int m_sinceSeconds = -1;
    bool m_startsRecord = false;
    bool m_keeping = true;
};

}  // namespace

TMCTL_COMMAND(LogCommand, "log", "[--web] [--type N] [--dir DIR] TEXT", "write one line to the event log",
              "Writes TEXT to today's main log (TMyymmdd.log), or with --web to the web\n"
              "log (RQyymmdd.log), in the log directory (see 'tmctl env'; --dir sets it).\n"
              "N is the event type (default 0x2000, which the main log always takes;\n"
              "0x1 error, 0x2 warning, 0x4 information, 0x400 debug, 0x1000 error report).\n"
              "Fails, saying why, when the line was not written: a log directory that\n"
              "does not exist or cannot be written, a day file that cannot be opened,\n"
              "a --dir that is refused, or a type that the main log's mask leaves out.\n"
              "A TEXT that is 'tail' or begins with '-' follows '--'.");
TMCTL_COMMAND(LogTailCommand, "log tail",
              "[-f] [-n N] [--web] [--type LETTERS] [--since HH:MM] [--dir DIR]",
              "print the last records of today's event log, and follow it",
              "Reads today's main log (TMyymmdd.log), or with --web the web log\n"
              "(RQyymmdd.log), in the log directory (see 'tmctl env'). A record is a\n"
              "line with the log's header and the lines of its text after it. Prints\n"
              "the last 10 records, the last N with -n, every record from HH:MM on with\n"
              "--since. LETTERS are type characters of the main log: E error, W warning,\n"
              "I information, S, <, >, *, D debug, ! error report, ~ external message.\n\n"
              "With -f, goes on printing records as they are written until interrupted,\n"
              "and at midnight moves on to the new day's file. Without -f, a day file\n"
              "that does not exist yet is a failure; a missing log directory always is.");

}  // namespace tmctl
