//===-- include/tmcommon/tmlogging.h - Event log, error reports, traces ---===//
//
// The daily event log that every process of the installation appends to
// (CEventLog), the error-reporting functions built on it, the exception
// trap with its trace file debugx.log, and the socket traffic trace
// debugit.log.
//
// Event log files lie in the log directory (by default "log" beside the
// process's executable): TMyymmdd.log (main log; BDyymmdd.log in the spam
// filter burdocks) and RQyymmdd.log (web log), lines ending in CR LF.
// A main-log line reads "%-8s %c %02d:%02d:%02d 0x%08x %s" (process name,
// type character, local time, thread, text); a web-log line
// "%02d:%02d:%02d %s".
//===----------------------------------------------------------------------===//
#pragma once

#include "tmwin32.h"

// Event types: one bit each. The main log writes a type that shares a bit
// with the mask "Logging" (0x1000 and 0x2000 always, once read).
#define TM_EVENT_ERROR 0x0001
#define TM_EVENT_WARNING 0x0002
#define TM_EVENT_INFORMATION 0x0004
#define TM_EVENT_DEBUG 0x0400
#define TM_EVENT_ERROR_REPORT 0x1000
#define TM_EVENT_EXTERNAL 0x2000

#if !defined(TM_NO_WIN32_NAMES) && !defined(EVENTLOG_ERROR_TYPE)
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#endif

// The log directory in use (with its trailing separator), copied into the
// buffer cut to nSize - 1 characters; returns the full length. Applies a
// directory that SetEventLogPath left pending, as a construction would.
TM_EXTERN_C TM_API int TmGetEventLogPath(char* pszBuffer, int nSize);

// What became of the calling thread's last CEventLog::LogEvent (and so of
// its last LOGEVENT, error report or DebugMsg line): ERROR_SUCCESS when the
// line was appended to its file, TM_LOG_FILTERED when the main log's mask
// kept it out, else the Win32 code of the open or write that failed (3 for
// a missing log directory). Logging itself never fails its caller; this is
// for a program that must tell an operator that a line was lost.
#define TM_LOG_FILTERED 0x20000001u  // an application-defined code (bit 29)
TM_EXTERN_C TM_API DWORD TmGetLastLogResult(void);

class TM_API CEventLog {
public:
    // Run once at library load and unload by the library itself.
    static void Initialize();
    static void Uninitialize();

    // nLog 0 writes the main log, 1 the web log.
    CEventLog(int nLog = 0);
    CEventLog(const CEventLog& other);
    CEventLog& operator=(const CEventLog& other);
    virtual ~CEventLog();

    // Replaces the main log's mask for every object of the process until
    // the mask is next read from the registry.
    static void SetLogging(DWORD dwMask);

    // Formats as wvsprintfA does (no floating point, at most 1023
    // characters) and writes one line. Returns 1.
    int LogEvent(WORD wType, const char* pszFormat, ...);

    // Holds the log's shared mutex across several LogEvent calls of this
    // object (bWeb nonzero: the web log).
    void Lock(int bWeb);
    void Unlock(int bWeb);

private:
    TM_LOCAL void FileLog(WORD wType, const char* pszText);
    TM_LOCAL void WriteToLogFile(const char* pszLine);
    TM_LOCAL static void ReadMask();
    TM_LOCAL static void OpenLogs();
    TM_LOCAL static int LogFileName(char* pszName, size_t nSize, bool bWeb, const struct tm& t);
    TM_LOCAL static void EndTornLine(bool bWeb, const struct tm& t);
    TM_LOCAL static int CopyLogPath(char* pszBuffer, int nSize);
    friend int TmGetEventLogPath(char*, int);

    int m_bWebLocked;
    int m_bLocked;
    char m_szBuffer[4096];
    int m_bWebLog;

    TM_LOCAL static HANDLE m_hMutex;
    TM_LOCAL static HANDLE m_hSharedMutex;
    TM_LOCAL static HANDLE m_hWebMutex;
    TM_LOCAL static HANDLE m_hWebSharedMutex;
    TM_LOCAL static HANDLE m_hFile;
    TM_LOCAL static HANDLE m_hWebFile;
    TM_LOCAL static DWORD m_dwFileLogging;
    TM_LOCAL static int m_nCount;
    TM_LOCAL static char m_szName[64];
    TM_LOCAL static CString m_cszLogPath;
    TM_LOCAL static int m_bBurdock;
};

// Sets the log directory that the next CEventLog construction applies
// (at most 259 characters; a longer directory is refused, keeping the
// current one).
TM_EXTERN_C TM_API void SetEventLogPath(char* pszDirectory);

// Error reports: one main-log line each, naming the base name of the
// caller's source file and the line.
TM_EXTERN_C TM_API void SysError(const char* pszFile, int nLine, DWORD dwError);
TM_EXTERN_C TM_API void FileError(const char* pszProcessed, const char* pszFile, int nLine,
                                  DWORD dwError);
TM_EXTERN_C TM_API void SocketError(const char* pszFile, int nLine, int nError);
TM_EXTERN_C TM_API void NewError(const char* pszFile, int nLine);
TM_EXTERN_C TM_API void UnknownError(const char* pszFile, int nLine);
// "%s:%d - " and the caller's text (wvsprintfA rules, cut at 511
// characters), type 0x0400.
TM_API void DebugMsg(const char* pszFile, DWORD dwLine, const char* pszFormat, ...);
// Logs the text in the first cell of an argument block (8-byte cells, a
// pointer filling its cell) as it stands, type 0x2000.
TM_EXTERN_C TM_API void LOGEVENT(void* pArgs);

// Traces. Nothing is traced before DebugInit or after DebugExit.
TM_EXTERN_C TM_API void DebugInit(void);
TM_EXTERN_C TM_API void DebugExit(void);
TM_EXTERN_C TM_API void DebugPrint(const char* pszFile, int nLine, const char* pszText);
TM_EXTERN_C TM_API void DebugX(const char* pszFile, int nLine);
TM_EXTERN_C TM_API void DebugXMsg(const char* pszFile, int nLine, const char* pszMessage);

// Socket traffic trace, written to debugit.log while "DebugIt" is on.
TM_EXTERN_C TM_API void DebugTx(const char* pszFile, int nLine, SOCKET s, const char* pData,
                                DWORD dwLength);
TM_EXTERN_C TM_API void DebugRx(const char* pszFile, int nLine, SOCKET s, const char* pData,
                                DWORD dwLength);
TM_EXTERN_C TM_API void DebugTxTo(const char* pszFile, int nLine, SOCKET s, const char* pData,
                                  DWORD dwLength, const sockaddr_in* pTo);
TM_EXTERN_C TM_API void DebugRxFrom(const char* pszFile, int nLine, SOCKET s,
                                    const char* pData, DWORD dwLength,
                                    const sockaddr_in* pFrom);
TM_EXTERN_C TM_API void DebugTxReq(const char* pszFile, int nLine, SOCKET s, int nBytes);
TM_EXTERN_C TM_API void DebugTxErr(const char* pszFile, int nLine, SOCKET s, int nError);
TM_EXTERN_C TM_API void DebugRxErr(const char* pszFile, int nLine, SOCKET s, int nError);
TM_EXTERN_C TM_API void DebugClose(const char* pszFile, int nLine, SOCKET s, int nError);
TM_EXTERN_C TM_API void DebugMsg(const char* pszFile, int nLine, const MSG* pMsg);
