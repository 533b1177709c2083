//===-- logging/EventLog.cpp - The shared daily event log -----------------===//
//
// Every process of the installation appends lines to the same daily files
// in one log directory. A named mutex per log ("D02369B4-..." for the main
// log, "D02369B5-..." for the web log) keeps the lines of different
// processes and threads whole and in order. The file is opened for
// appending only, so that each line is one write that lands at the
// current end of the file, whoever wrote last. The file handle stays open
// from one line to the next and is reopened when the local date changes.
//
// Also here: the error reports (SysError, FileError, SocketError,
// NewError, UnknownError), the formatting DebugMsg and LOGEVENT, each one
// main-log line through a CEventLog of its own.
//
// Diagnostics: a log that cannot be opened or written loses the line
// without a word; nothing here ever fails its caller.
// Limits: event texts are cut at 1023 characters, DebugMsg texts at 511,
// process names at 63, log directories at 259.
//
// Contents:
//   1. Local time, type letters and the line builder
//   2. CEventLog: the log path, the mask, construction and copies
//   3. CEventLog: writing a line, the daily file, the shared mutexes
//   4. Error reports, DebugMsg and LOGEVENT
//===----------------------------------------------------------------------===//
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

#include "FormatInternal.h"
#include "Layer.h"
#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "EventLog";
const char kMainMutexName[] = "D02369B4-D2CF-11d1-86B0-0080C8330493";
const char kWebMutexName[] = "D02369B5-D2CF-11d1-86B0-0080C8330493";
const char kBurdockKey[] = "Software\\Tamarak Ltd\\Burdock";

// A log directory set by SetEventLogPath and not yet applied.
char g_szEventLogPath[260];

// Guards g_szEventLogPath, CEventLog::m_cszLogPath and g_pathGeneration: a
// constructor in one thread may apply a new directory while another thread
// builds a file name.
std::mutex g_pathLock;

// Set, under g_pathLock, when the library is unloaded. At process exit the
// C library runs the unload clean-up while the process's other threads may
// still be writing lines (Windows ends them first); from then on no thread
// reads or replaces the log directory, which the clean-up frees after
// Uninitialize, and no log file is opened again: their lines are dropped
// whole.
bool g_bUnloaded = false;

// How long the clean-up at unload waits for a log that another thread is
// writing. A line takes microseconds; a thread that holds the log through
// Lock may keep it until the process is gone, and the exit must not hang
// on it.
constexpr DWORD kUnloadWaitMs = 1000;

// The first construction in the process opens the two logs' named mutexes
// and reads the log directory that the registry names: neither is done at
// load, which would fix the registry's location (the mutexes' names live
// in its namespace) before a program can choose it.
w32::OnceInit g_logsOpened;

// Counts the directories applied, so that an open file in the old
// directory is left for the new one at the next line.
std::atomic<int> g_pathGeneration{0};

// The local time of the line that FileLog hands to WriteToLogFile, so that
// the time is read once per line.
thread_local const struct tm* t_lineTime = nullptr;

struct tm LocalNow() {
    time_t now = w32::CurrentTime();
    struct tm t;
    localtime_r(&now, &t);
    return t;
}

// What each log's open file was opened for (index 0 main, 1 web): the
// local date (year * 10000 + month * 100 + day) and the directory's
// generation. A file is reopened when either changes; the date, not only
// the day of the month, so that a process idle from one month's 5th to the
// next's does not append to the old file. Guarded by the log's shared
// mutex, as the handles are.
int g_openedDate[2];
int g_openedGeneration[2];

// What became of the calling thread's last event: ERROR_SUCCESS when its
// line was appended, TM_LOG_FILTERED when the mask kept it out, else the
// Win32 code of what failed. Only reported to the operators' tool; the
// library's own callers never learn of a lost line.
thread_local DWORD t_lastResult = ERROR_SUCCESS;

char TypeCharacter(WORD wType) {
    switch (wType) {
        case TM_EVENT_ERROR: return 'E';
        case TM_EVENT_WARNING: return 'W';
        case TM_EVENT_INFORMATION: return 'I';
        case 0x0008: return 'S';
        case 0x0010: return '<';
        case 0x0020: return '>';
        case 0x0040:
        case 0x0080:
        case 0x0100:
        case 0x0200: return '*';
        case TM_EVENT_DEBUG: return 'D';
        case TM_EVENT_ERROR_REPORT: return '!';
        case TM_EVENT_EXTERNAL: return '~';
        default: return '!';
    }
}

// The spam filter runs as "burdocks"; its main log is BDyymmdd.log.
bool IsBurdockPath(const char* path) {
    const char* base = w32::BaseName(path);
    return _stricmp(base, "burdocks") == 0 || _stricmp(base, "burdocks.exe") == 0;
}

// Builds a log line without the C library's formatter, which costs more
// than the rest of a line's work together. Appends stop at the buffer's
// end; the caller's buffer always has room for the fixed part.
class LineBuilder {
public:
    LineBuilder(char* buffer, size_t size) : m_p(buffer), m_end(buffer + size - 1) {}
    void Text(const char* text) {
        size_t n = strnlen(text, static_cast<size_t>(m_end - m_p));
        memcpy(m_p, text, n);
        m_p += n;
    }
    void Char(char c) {
        if (m_p < m_end) *m_p++ = c;
    }
    void TwoDigits(int n) {
        Char(static_cast<char>('0' + n / 10 % 10));
        Char(static_cast<char>('0' + n % 10));
    }
    void Time(const struct tm& t) {
        TwoDigits(t.tm_hour);
        Char(':');
        TwoDigits(t.tm_min);
        Char(':');
        TwoDigits(t.tm_sec);
    }
    void Hex8(DWORD v) {
        static const char kDigits[] = "0123456789abcdef";
        for (int shift = 28; shift >= 0; shift -= 4) Char(kDigits[(v >> shift) & 0xF]);
    }
    // The event text. A line break (CR, LF or CR LF) that a space or a tab
    // does not follow gets a tab after it, so that no text can begin a
    // line of its own and pass for an entry of any process; a folded
    // header's continuation, which begins with a space or a tab, stays as
    // it is, and so does a break at the end of the text.
    void EventText(const char* text) {
        while (*text && m_p < m_end) {
            size_t run = strcspn(text, "\r\n");
            size_t room = static_cast<size_t>(m_end - m_p);
            if (run > room) run = room;
            memcpy(m_p, text, run);
            m_p += run;
            text += run;
            if (!*text || m_p >= m_end) break;
            char c = *text++;
            Char(c);
            if (c == '\r' && *text == '\n') Char(*text++);
            if (*text && *text != ' ' && *text != '\t') Char('\t');
        }
    }
    // "%-8s": left-aligned in eight columns; a longer text is written whole.
    void Padded(const char* text) {
        const char* start = m_p;
        Text(text);
        while (m_p - start < 8) Char(' ');
    }
    size_t Finish(char* buffer) {
        *m_p = '\0';
        return static_cast<size_t>(m_p - buffer);
    }

private:
    char* m_p;
    char* m_end;
};

}  // namespace

void CEventLog::Initialize() {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        char path[PATH_MAX];
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        if (n == 0 || n >= sizeof path) path[0] = '\0';
        m_bBurdock = IsBurdockPath(path);
        const char* base = w32::BaseName(path);
        {
            std::lock_guard<std::mutex> guard(g_pathLock);
            // $TAMARAK_LOG_DIR; else an installed library's programs share
            // the machine's log directory (an installed tmctl must not log
            // into /usr/bin/log); else "log" beside the executable, below
            // the current directory when the path has none. A "LogDirectory"
            // value of the parameters key, read by the first construction,
            // comes after this as if set by SetEventLogPath before it.
            const char* env = getenv("TAMARAK_LOG_DIR");
            if (env && *env) {
                m_cszLogPath = env;
            } else if (w32::RunsInstalled()) {
                m_cszLogPath = TM_SYSTEM_LOG_DIR;
            } else {
                m_cszLogPath = CString(path, static_cast<int>(base - path));
                m_cszLogPath += "log";
            }
            if (!w32::IsPathSeparator(m_cszLogPath[m_cszLogPath.GetLength() - 1])) {
                m_cszLogPath += w32::kPathSeparator;
            }
            ++g_pathGeneration;
        }
        m_hMutex = CreateMutexA(nullptr, FALSE, nullptr);
        m_hWebMutex = CreateMutexA(nullptr, FALSE, nullptr);
    });
}

namespace {

// Ends the last line of the log file pszName with CR LF when it has no
// line feed: the line a holder left when it died in the middle of it.
void EndTornLineIn(const char* pszName) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        if (!pszName[0]) return;
        FILE* fp = tm_fopen(pszName, "rb+");
        if (!fp) return;
        if (fseek(fp, -1, SEEK_END) == 0 && fgetc(fp) != '\n' && fseek(fp, 0, SEEK_END) == 0) {
            fwrite("\r\n", 1, 2, fp);
        }
        fclose(fp);
    });
}

}  // namespace

// Run once, by the first construction: the shared mutexes first, so that
// an error report made while the registry is read has its log.
void CEventLog::OpenLogs() {
    g_logsOpened.Run([] {
        tmc::Guarded(kSourceFile, __LINE__, [] {
            m_hSharedMutex = CreateMutexA(nullptr, FALSE, kMainMutexName);
            m_hWebSharedMutex = CreateMutexA(nullptr, FALSE, kWebMutexName);
            const char* env = getenv("TAMARAK_LOG_DIR");
            if (env && *env) return;
            CString dir;
            CRegistry reg;
            if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE) != ERROR_SUCCESS ||
                reg.QueryValue("LogDirectory", dir, nullptr) != ERROR_SUCCESS || dir.IsEmpty() ||
                dir.GetLength() >= static_cast<int>(sizeof g_szEventLogPath)) {
                return;
            }
            std::lock_guard<std::mutex> guard(g_pathLock);
            if (g_bUnloaded) return;
            m_cszLogPath = dir;
            if (!w32::IsPathSeparator(dir[dir.GetLength() - 1])) m_cszLogPath += w32::kPathSeparator;
            ++g_pathGeneration;
        });
    });
}

void CEventLog::Uninitialize() {
    // Today's files, named while the directory is still known: a wait
    // below that comes back abandoned ends the torn line the dead holder
    // left, as any other writer would.
    char names[2][PATH_MAX + 32];
    const struct tm today = LocalNow();
    for (bool web : {false, true}) LogFileName(names[web], sizeof names[web], web, today);
    {
        std::lock_guard<std::mutex> guard(g_pathLock);
        g_bUnloaded = true;
    }
    // Each file is closed holding its log's shared mutex: a line that
    // another thread is writing is finished first, and a writer that comes
    // after finds the file closed and, with no directory left, drops its
    // line. A log held longer than the wait keeps its file open; the
    // kernel closes it with the process. A thread that is opening the logs
    // (its first construction) finishes before the handles are read.
    g_logsOpened.Excluding([&] {
        for (bool web : {false, true}) {
            HANDLE mutex = web ? m_hWebSharedMutex : m_hSharedMutex;
            HANDLE& file = web ? m_hWebFile : m_hFile;
            DWORD wait = mutex ? WaitForSingleObject(mutex, kUnloadWaitMs) : WAIT_OBJECT_0;
            if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) continue;
            if (wait == WAIT_ABANDONED) EndTornLineIn(names[web]);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
                file = INVALID_HANDLE_VALUE;
            }
            if (mutex) ReleaseMutex(mutex);
        }
    });
    // The mutexes stay open: threads that are still logging wait on them,
    // and a handle closed under a waiter would be used after its close.
    // The process's end releases them.
}

void SetEventLogPath(char* pszDirectory) {
    if (!pszDirectory) return;
    size_t n = strlen(pszDirectory);
    // A directory that does not fit is refused rather than cut into
    // another directory.
    if (n >= sizeof g_szEventLogPath) return;
    std::lock_guard<std::mutex> guard(g_pathLock);
    memcpy(g_szEventLogPath, pszDirectory, n + 1);
}

DWORD TmGetLastLogResult(void) { return t_lastResult; }

int TmGetEventLogPath(char* pszBuffer, int nSize) {
    // Constructing an object applies a pending directory.
    CEventLog log(0);
    return CEventLog::CopyLogPath(pszBuffer, nSize);
}

int CEventLog::CopyLogPath(char* pszBuffer, int nSize) {
    std::lock_guard<std::mutex> guard(g_pathLock);
    int n = g_bUnloaded ? 0 : m_cszLogPath.GetLength();
    if (pszBuffer && nSize > 0) {
        int copied = n < nSize - 1 ? n : nSize - 1;
        if (copied > 0) memcpy(pszBuffer, static_cast<const char*>(m_cszLogPath), copied);
        pszBuffer[copied] = '\0';
    }
    return n;
}

CEventLog::CEventLog(int nLog) : m_bWebLocked(0), m_bLocked(0), m_bWebLog(nLog) {
    m_szBuffer[0] = '\0';
    OpenLogs();
    volatile bool held = false;
    w32::CatchAll(
        [&] {
            {
                std::lock_guard<std::mutex> guard(g_pathLock);
                if (g_szEventLogPath[0] && !g_bUnloaded) {
                    m_cszLogPath = g_szEventLogPath;
                    char last = g_szEventLogPath[strlen(g_szEventLogPath) - 1];
                    if (!w32::IsPathSeparator(last)) m_cszLogPath += w32::kPathSeparator;
                    g_szEventLogPath[0] = '\0';
                    ++g_pathGeneration;
                }
            }
            WaitForSingleObject(m_hMutex, INFINITE);
            held = true;
            if (!m_szName[0]) {
                char path[PATH_MAX];
                char name[_MAX_FNAME];
                if (GetModuleFileNameA(nullptr, path, sizeof path) == 0) path[0] = '\0';
                _splitpath(path, nullptr, nullptr, name, nullptr);
                // A longer name is cut to the 63 characters that fit.
                size_t n = strnlen(name, sizeof m_szName - 1);
                memcpy(m_szName, name, n);
                m_szName[n] = '\0';
            }
            if (m_nCount++ == 0) ReadMask();
            held = false;
            ReleaseMutex(m_hMutex);
        },
        [&] {
            if (held) ReleaseMutex(m_hMutex);
            DebugX(kSourceFile, __LINE__);
        });
}

// Reads the mask "Logging" from the registry: the parameters key's value
// for the server's processes, a level under the Burdock key for the spam
// filter. Error reports (0x1000) and LOGEVENT lines (0x2000) always pass.
void CEventLog::ReadMask() {
    DWORD mask = __atomic_load_n(&m_dwFileLogging, __ATOMIC_RELAXED);
    CRegistry reg;
    if (!m_bBurdock) {
        if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE) == ERROR_SUCCESS) {
            DWORD value = mask;
            if (reg.QueryValue("Logging", value) == ERROR_SUCCESS) mask = value;
        }
    } else if (reg.OpenKey(HKEY_LOCAL_MACHINE, kBurdockKey, TM_KEY_READ_WRITE) == ERROR_SUCCESS) {
        DWORD value = mask;
        if (reg.QueryValue("Logging", value) == ERROR_SUCCESS) mask = value;
        mask = mask == 0 ? 0x00C7 : mask == 1 ? 0x0007 : 0x0003;
    }
    __atomic_store_n(&m_dwFileLogging, mask | TM_EVENT_ERROR_REPORT | TM_EVENT_EXTERNAL, __ATOMIC_RELAXED);
}

// A copy is one more live object of the process. It starts without the
// shared mutexes: the original holds them, and a copy that released them
// would leave the original's lines unprotected.
CEventLog::CEventLog(const CEventLog& other)
    : m_bWebLocked(0), m_bLocked(0), m_bWebLog(other.m_bWebLog) {
    memcpy(m_szBuffer, other.m_szBuffer, sizeof m_szBuffer);
    WaitForSingleObject(m_hMutex, INFINITE);
    ++m_nCount;
    ReleaseMutex(m_hMutex);
}

// Assignment takes the text and the log; each object keeps the shared
// mutexes it holds itself.
CEventLog& CEventLog::operator=(const CEventLog& other) {
    if (this != &other) {
        memcpy(m_szBuffer, other.m_szBuffer, sizeof m_szBuffer);
        m_bWebLog = other.m_bWebLog;
    }
    return *this;
}

CEventLog::~CEventLog() {
    if (m_bLocked) {
        ReleaseMutex(m_hSharedMutex);
        m_bLocked = 0;
    }
    if (m_bWebLocked) {
        ReleaseMutex(m_hWebSharedMutex);
        m_bWebLocked = 0;
    }
    WaitForSingleObject(m_hMutex, INFINITE);
    --m_nCount;
    ReleaseMutex(m_hMutex);
}

void CEventLog::SetLogging(DWORD dwMask) { __atomic_store_n(&m_dwFileLogging, dwMask, __ATOMIC_RELAXED); }

int CEventLog::LogEvent(WORD wType, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    // A trapped fault or exception loses the line.
    t_lastResult = ERROR_GEN_FAILURE;
    w32::CatchAll(
        [&] {
            wvsprintfA(m_szBuffer, pszFormat, args);
            FileLog(wType, m_szBuffer);
        },
        [&] {
            DebugPrint(kSourceFile, __LINE__, "Unknown exception");
            DebugX(kSourceFile, __LINE__);
        });
    va_end(args);
    return 1;
}

void CEventLog::FileLog(WORD wType, const char* pszText) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        // Any log number but 0 writes the web log.
        if (!m_bWebLog && !(wType & __atomic_load_n(&m_dwFileLogging, __ATOMIC_RELAXED))) {
            t_lastResult = TM_LOG_FILTERED;
            return;
        }
        struct tm t = LocalNow();
        // "%-8s %c %02d:%02d:%02d 0x%08x %s\r\n" for the main log,
        // "%02d:%02d:%02d %s\r\n" for the web log.
        char line[4096 + 256];
        LineBuilder b(line, sizeof line - 2);
        if (!m_bWebLog) {
            b.Padded(m_szName);
            b.Char(' ');
            b.Char(TypeCharacter(wType));
            b.Char(' ');
            b.Time(t);
            b.Text(" 0x");
            b.Hex8(GetCurrentThreadId());
            b.Char(' ');
        } else {
            b.Time(t);
            b.Char(' ');
        }
        b.EventText(pszText);
        size_t n = b.Finish(line);
        memcpy(line + n, "\r\n", 3);
        t_lineTime = &t;
        WriteToLogFile(line);
        t_lineTime = nullptr;
    });
}

void CEventLog::WriteToLogFile(const char* pszLine) {
    const bool web = m_bWebLog != 0;
    HANDLE mutex = web ? m_hWebSharedMutex : m_hSharedMutex;
    HANDLE& file = web ? m_hWebFile : m_hFile;
    int& lastDate = g_openedDate[web];
    int& lastGeneration = g_openedGeneration[web];
    volatile bool held = false;
    w32::CatchAll(
        [&] {
            struct tm t = t_lineTime ? *t_lineTime : LocalNow();
            int date = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
            int generation = g_pathGeneration.load(std::memory_order_acquire);
            // The mutex covers the date check, the open when needed and
            // the write; the file's name is made only to open it.
            DWORD wait = WaitForSingleObject(mutex, INFINITE);
            held = true;
            if (wait == WAIT_ABANDONED) EndTornLine(web, t);
            if (file != INVALID_HANDLE_VALUE && (date != lastDate || generation != lastGeneration)) {
                CloseHandle(file);
                file = INVALID_HANDLE_VALUE;
            }
            if (file == INVALID_HANDLE_VALUE) {
                char name[PATH_MAX + 32];
                generation = LogFileName(name, sizeof name, web, t);
                file = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    lastDate = date;
                    lastGeneration = generation;
                } else {
                    t_lastResult = GetLastError();
                }
            }
            if (file != INVALID_HANDLE_VALUE) {
                DWORD length = static_cast<DWORD>(strlen(pszLine)), written = 0;
                if (!WriteFile(file, pszLine, length, &written, nullptr)) {
                    t_lastResult = GetLastError();
                } else {
                    t_lastResult = written == length ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
                }
            }
            held = false;
            ReleaseMutex(mutex);
        },
        [&] {
            if (held) ReleaseMutex(mutex);
            DebugX(kSourceFile, __LINE__);
        });
}

// Builds the name of the log's file of the local date t; returns the
// generation of the directory it lies in.
int CEventLog::LogFileName(char* pszName, size_t nSize, bool bWeb, const struct tm& t) {
    const char* prefix = bWeb ? "RQ" : m_bBurdock ? "BD" : "TM";
    std::lock_guard<std::mutex> guard(g_pathLock);
    // After unload there is no directory: an empty name opens nothing.
    if (g_bUnloaded) {
        if (nSize > 0) pszName[0] = '\0';
    } else {
        snprintf(pszName, nSize, "%s%s%02d%02d%02d.log", static_cast<const char*>(m_cszLogPath), prefix,
                 t.tm_year % 100, t.tm_mon + 1, t.tm_mday);
    }
    return g_pathGeneration.load(std::memory_order_relaxed);
}

// Called holding the log's shared mutex after a wait on it came back
// abandoned: the thread that held it died, perhaps in the middle of a
// line. A last line left without its line feed gets CR LF, so that the
// next line starts on a line of its own instead of being glued to the
// torn one.
void CEventLog::EndTornLine(bool bWeb, const struct tm& t) {
    char name[PATH_MAX + 32];
    LogFileName(name, sizeof name, bWeb, t);
    EndTornLineIn(name);
}

void CEventLog::Lock(int bWeb) {
    if (bWeb) {
        if (!m_bWebLocked) {
            m_bWebLocked = 1;
            if (WaitForSingleObject(m_hWebSharedMutex, INFINITE) == WAIT_ABANDONED) EndTornLine(true, LocalNow());
        }
    } else if (!m_bLocked) {
        m_bLocked = 1;
        if (WaitForSingleObject(m_hSharedMutex, INFINITE) == WAIT_ABANDONED) EndTornLine(false, LocalNow());
    }
}

void CEventLog::Unlock(int bWeb) {
    if (bWeb) {
        m_bWebLocked = 0;
        ReleaseMutex(m_hWebSharedMutex);
    } else if (m_bLocked) {
        m_bLocked = 0;
        ReleaseMutex(m_hSharedMutex);
    }
}

//===-- Error reports -----------------------------------------------------===//

namespace {

// Formats one report and writes it as a main-log line. It runs inside the
// caller's catch-all handler, which also covers the reading of the
// caller's source file name: a name that cannot be read is trapped like
// any other fault, not left to end the process.
void ReportLine(WORD wType, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    wvsprintfA(text, format, args);
    va_end(args);
    CEventLog log(0);
    log.LogEvent(wType, "%s", text);
}

}  // namespace

void SysError(const char* pszFile, int nLine, DWORD dwError) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        ReportLine(TM_EVENT_ERROR_REPORT, "System error 0x%x at line %d of %s", dwError, nLine, w32::BaseName(pszFile));
    });
}

void FileError(const char* pszProcessed, const char* pszFile, int nLine, DWORD dwError) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        ReportLine(TM_EVENT_ERROR_REPORT, "File error 0x%x at line %d of %s processing %s", dwError, nLine,
                   w32::BaseName(pszFile), pszProcessed);
    });
}

void SocketError(const char* pszFile, int nLine, int nError) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        ReportLine(TM_EVENT_ERROR_REPORT, "Socket error %d at line %d of %s", nError, nLine, w32::BaseName(pszFile));
    });
}

void NewError(const char* pszFile, int nLine) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        ReportLine(TM_EVENT_ERROR_REPORT, "Memory allocation error at line %d of %s", nLine, w32::BaseName(pszFile));
    });
}

void UnknownError(const char* pszFile, int nLine) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        ReportLine(TM_EVENT_ERROR_REPORT, "Unknown exception caught at line %d of %s", nLine, w32::BaseName(pszFile));
    });
}

void DebugMsg(const char* pszFile, DWORD dwLine, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    w32::CatchAll(
        [&] {
            char text[1024];
            int n = snprintf(text, 512, "%s:%d - ", w32::BaseName(pszFile), static_cast<int>(dwLine));
            if (n < 0) n = 0;
            if (n > 511) n = 511;
            // The caller's text gets a buffer of 512 bytes of its own: it is
            // cut at 511 characters.
            w32::FormatV(text + n, 512, pszFormat, args);
            CEventLog log(0);
            log.LogEvent(TM_EVENT_DEBUG, "%s", text);
        },
        [&] { DebugX(kSourceFile, __LINE__); });
    va_end(args);
}

void LOGEVENT(void* pArgs) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        if (!pArgs) return;
        const char* text = *static_cast<const char* const*>(pArgs);
        CEventLog log(0);
        log.LogEvent(TM_EVENT_EXTERNAL, "%s", text ? text : "");
    });
}
