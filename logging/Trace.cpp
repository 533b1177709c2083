//===-- logging/Trace.cpp - Exception trap and trace files ----------------===//
//
// Two diagnostic traces in the root path, each switched on by a value of
// the parameters key when the process calls DebugInit:
//   debugx.log  ("DebugX")  the exception trap's records, appended across
//                           runs;
//   debugit.log ("DebugIt") DebugPrint and the socket traffic trace,
//                           started empty by each DebugInit.
// Both are text streams (CR LF on disk) opened for appending: every
// process of the installation that traces writes to the same files, and
// each record goes to the end of the file in one write, made under the
// file's lock, so that records of different processes neither overwrite
// nor split each other.
//
// A second DebugInit without DebugExit starts over: it closes what is open,
// reads the switches again and reopens the files, so nothing is leaked or
// opened twice and a changed switch takes effect.
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <mutex>
#include <string>

#include "Layer.h"
#include "logging/TraceFiles.h"
#include "tmlogging.h"
#include "tmplatform.h"
#include "tmregistry.h"

namespace {

DWORD g_dwDebugIt = 0;
DWORD g_dwDebugX = 0;

// Each file is read and written only under its own lock; the switches are
// read without one.
std::mutex g_debugItLock;
std::mutex g_debugXLock;
FILE* g_fpDebugIt = nullptr;
FILE* g_fpDebugX = nullptr;

// Serialises DebugInit and DebugExit.
std::mutex g_initLock;

DWORD LoadFlag(const DWORD& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED); }
void StoreFlag(DWORD& flag, DWORD value) { __atomic_store_n(&flag, value, __ATOMIC_RELAXED); }

void CloseTrace(DWORD& flag, std::mutex& lock, FILE*& fp) {
    StoreFlag(flag, 0);
    std::lock_guard<std::mutex> guard(lock);
    if (fp) fclose(fp);
    fp = nullptr;
}

// Opens a trace for appending; bEmpty first empties the file.
void OpenTrace(DWORD& flag, DWORD value, std::mutex& lock, FILE*& fp, const char* name, bool bEmpty) {
    if (!value) return;
    char root[256];
    GetRootPath(root, sizeof root);
    std::string path = std::string(root) + w32::kPathSeparator + name;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (bEmpty) {
            if (FILE* emptied = tm_fopen(path.c_str(), "w")) fclose(emptied);
        }
        fp = tm_fopen(path.c_str(), "a");
    }
    StoreFlag(flag, value);
}

// Writes one record, the formatted text, in one write and flushes it. A
// record of up to 4 KB is built on the stack, so that the trap still
// writes after memory has run out; a longer one is built on the heap, or
// cut to 4 KB when none is left.
__attribute__((format(printf, 2, 3))) void WriteRecord(FILE* fp, const char* format, ...) {
    char small[4096];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    const char* text = small;
    size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof small - 1);
    std::string big;
    if (n >= static_cast<int>(sizeof small)) {
        try {
            big.resize(static_cast<size_t>(n) + 1);
            vsnprintf(big.data(), big.size(), format, again);
            text = big.data();
            length = static_cast<size_t>(n);
        } catch (const std::bad_alloc&) {
        }
    }
    va_end(again);
    fwrite(text, 1, length, fp);
    fflush(fp);
}

struct tm LocalNow() {
    time_t now = w32::CurrentTime();
    struct tm t;
    localtime_r(&now, &t);
    return t;
}

void TrapRecord(const char* pszFile, int nLine, const char* pszMessage, bool withMessage) {
    if (!LoadFlag(g_dwDebugX)) return;
    const char* base = w32::BaseName(pszFile);
    CEventLog log(0);
    log.LogEvent(0x1000, "%s(%d) Exception trapped", base, nLine);
    struct tm t = LocalNow();
    const bool bMessage = withMessage && pszMessage;
    std::lock_guard<std::mutex> guard(g_debugXLock);
    if (!g_fpDebugX) return;
    WriteRecord(g_fpDebugX, "%s thread %08x\n%02d/%02d/%02d %02d:%02d:%02d %s(%d) Exception trapped%s%s\n", base,
                GetCurrentThreadId(), t.tm_mday, t.tm_mon + 1, t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec, base,
                nLine, bMessage ? " - " : "", bMessage ? pszMessage : "");
}

}  // namespace

namespace tmc {

bool SocketTraceOn() { return LoadFlag(g_dwDebugIt) != 0; }
std::mutex& SocketTraceLock() { return g_debugItLock; }
FILE* SocketTraceFile() { return g_fpDebugIt; }

}  // namespace tmc

void DebugInit(void) {
    std::lock_guard<std::mutex> init(g_initLock);
    CloseTrace(g_dwDebugIt, g_debugItLock, g_fpDebugIt);
    CloseTrace(g_dwDebugX, g_debugXLock, g_fpDebugX);
    DWORD debugIt = 0, debugX = 0;
    CRegistry reg;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F) == ERROR_SUCCESS) {
        DWORD value = 0;
        if (reg.QueryValue("DebugIt", value) == ERROR_SUCCESS) debugIt = value;
        value = 0;
        if (reg.QueryValue("DebugX", value) == ERROR_SUCCESS) debugX = value;
    }
    OpenTrace(g_dwDebugIt, debugIt, g_debugItLock, g_fpDebugIt, "debugit.log", true);
    OpenTrace(g_dwDebugX, debugX, g_debugXLock, g_fpDebugX, "debugx.log", false);
}

void DebugExit(void) {
    std::lock_guard<std::mutex> init(g_initLock);
    CloseTrace(g_dwDebugIt, g_debugItLock, g_fpDebugIt);
    CloseTrace(g_dwDebugX, g_debugXLock, g_fpDebugX);
}

void DebugPrint(const char* pszFile, int nLine, const char* pszText) {
    if (!LoadFlag(g_dwDebugIt)) return;
    const char* base = w32::BaseName(pszFile);
    struct tm t = LocalNow();
    std::lock_guard<std::mutex> guard(g_debugItLock);
    if (!g_fpDebugIt) return;
    WriteRecord(g_fpDebugIt, "%s thread %08x\n%02d:%02d:%02d %s(%d) %s\n\n", base, GetCurrentThreadId(), t.tm_hour,
                t.tm_min, t.tm_sec, base, nLine, pszText ? pszText : "(null)");
}

void DebugX(const char* pszFile, int nLine) { TrapRecord(pszFile, nLine, nullptr, false); }

void DebugXMsg(const char* pszFile, int nLine, const char* pszMessage) {
    TrapRecord(pszFile, nLine, pszMessage, true);
}
