//===-- mail/Bounce.cpp - Bounce reports into the queue, queue signals ----===//
//
// BounceEmail writes a "Failed email report" straight into the mail queue
// below the root path: the report in queue/bmrNNNNN.msg, then its envelope
// (sender and recipient, one line each) in queue/bmrNNNNN.ldl for a local
// recipient or queue/bmrNNNNN.pdl for one that must be sent on. The report
// is complete and closed before its envelope exists, and the envelope is
// complete before any event is set, so the delivery service that wakes on
// an event or finds an envelope always finds a finished report beside it.
// Queue files are text files: CR LF on disk.
//
// The number NNNNN is the tick count's low 20 bits. A report never takes a
// number another report holds: the report file is created exclusively, and
// when its name (or an envelope of that number, looked for without opening
// it) is taken the next number is tried, modulo 0x100000. The envelope is
// written under a temporary name (bmrNNNNN.tmp) and renamed into place, so
// it is never seen half written.
//
// Events: the queue event "f958c278-e360-11d2-871b-0080c8330493" (created
// here when missing, automatic reset), and the delivery service's
// outgoing-mail and priority-mail events, which must already exist.
//
// Diagnostics: a report that cannot be made gives 0 with a SysError line
// and the Win32 code in the thread's last error: a recipient or sender
// address that holds a control character (ERROR_INVALID_PARAMETER; it
// would add envelope and header lines), a queue path that is too long
// (ERROR_FILENAME_EXCED_RANGE), a report or envelope file that cannot be
// created or written (the system's code; what was written is removed). A
// failed message that cannot be opened gives 0 with its code, unreported.
// Limits: paths are held to the original 255 characters; a longer queue or
// include-file path is refused rather than cut into another path. The
// include file must lie below the root path: an absolute name or one with
// a ".." component is passed over like a file that cannot be opened. Lines
// of the failed message are read in pieces of at most 255 characters.
//===----------------------------------------------------------------------===//
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "Layer.h"
#include "logging/Trap.h"
#include "mail/Parameters.h"
#include "platform/ProcessEnv.h"
#include "tmcommon.h"

namespace {

const char kSourceFile[] = "Utilities";
const char kQueueEvent[] = "f958c278-e360-11d2-871b-0080c8330493";
const char kOutgoingEvent[] = "Outgoing Message D02369B6-D2CF-11d1-86B0-0080C8330493";
const char kPriorityEvent[] = "Priority Message D02369B6-D2CF-11d1-86B0-0080C8330493";

constexpr size_t kMaxPath = 255;
constexpr DWORD kNumbers = 0x100000;

std::string QueueFile(DWORD number, const char* extension) {
    char name[32];
    snprintf(name, sizeof name, "%cqueue%cbmr%05x.%s", w32::kPathSeparator, w32::kPathSeparator,
             static_cast<unsigned>(number), extension);
    return std::string(g_szRootPath) + name;
}

// Whether a queue file is there. Looked for without opening it: an open
// would set share-mode marks on a file the delivery service may be
// opening. A path that cannot be looked at counts as taken.
bool Exists(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Creates the report file under a number no other report holds, starting
// from *number. Null with *error set when the queue cannot take a file.
FILE* CreateReportFile(DWORD* number, DWORD* error) {
    for (DWORD tries = 0; tries < kNumbers; ++tries, *number = (*number + 1) % kNumbers) {
        std::string path = QueueFile(*number, "msg");
        FILE* fp = w32::OpenBufferedStream(path.c_str(), "wx", _SH_DENYNO);
        if (!fp) {
            if (errno == EEXIST) continue;
            // A queue directory that is missing is a path not found.
            *error = errno == ENOENT ? ERROR_PATH_NOT_FOUND : w32::ErrnoToWin32(errno);
            return nullptr;
        }
        // An envelope left with this number belongs to another report.
        if (Exists(QueueFile(*number, "ldl")) || Exists(QueueFile(*number, "pdl"))) {
            fclose(fp);
            remove(path.c_str());
            continue;
        }
        return fp;
    }
    *error = ERROR_FILE_EXISTS;
    return nullptr;
}

// The Win32 code of a failed write or close; a stream's error flag may
// come without errno.
DWORD WriteError(int err) { return err ? w32::ErrnoToWin32(err) : ERROR_WRITE_FAULT; }

// A character that would end or break a line of the envelope or header.
bool HasControlCharacter(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) return true;
    }
    return false;
}

// An include name that stays below the root path: not absolute, no ".."
// component (either separator counts, as in the names Windows programs
// pass).
bool StaysBelowRoot(const char* name) {
    if (w32::IsPathSeparator(name[0])) return false;
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || w32::IsPathSeparator(*p)) {
            if (p - component == 2 && component[0] == '.' && component[1] == '.') return false;
            if (*p == '\0') return true;
            component = p + 1;
        }
    }
}

// Copies lines of the failed message in pieces of at most 255 characters.
// Returns false at the end of the file.
bool ReadPiece(FILE* fp, char (&piece)[256]) { return fgets(piece, sizeof piece, fp) != nullptr; }

void SignalQueue() {
    HANDLE event = CreateEventA(GetOpenSa(), FALSE, FALSE, kQueueEvent);
    if (!event) SysError(kSourceFile, __LINE__, GetLastError());
    if (!SetEvent(event)) SysError(kSourceFile, __LINE__, GetLastError());
    if (!CloseHandle(event)) SysError(kSourceFile, __LINE__, GetLastError());
}

int Signal(const char* name, bool reportMissing) {
    return tmc::Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
        if (!event) {
            if (reportMissing) SysError(kSourceFile, __LINE__, GetLastError());
            return 0;
        }
        if (!SetEvent(event)) SysError(kSourceFile, __LINE__, GetLastError());
        if (!CloseHandle(event)) SysError(kSourceFile, __LINE__, GetLastError());
        return 1;
    });
}

}  // namespace

int SignalExternalEmail(void) { return Signal(kOutgoingEvent, false); }

int SignalPriorityEmail(void) { return Signal(kPriorityEvent, true); }

int BounceEmail(const char* pszMessageFile, char* pszRecipient, const char* pszReportingAddress,
                const char* pszIncludeFile, const char* pszReasonFormat, ...) {
    if (!pszRecipient || !*pszRecipient) return 1;
    va_list reasonArgs;
    va_start(reasonArgs, pszReasonFormat);
    // Opened streams, closed by the handler when the body is cut short.
    FILE* volatile message = nullptr;
    FILE* volatile report = nullptr;
    FILE* volatile envelope = nullptr;
    // Why no report was made; left in the thread's last error.
    DWORD failure = ERROR_SUCCESS;
    int result = w32::CatchAll(
        [&]() -> int {
            // Reported failures: the caller learns the reason from the
            // last error, the operator from the event log.
            auto refuse = [&](int line, DWORD code) {
                SysError(kSourceFile, line, code);
                failure = code;
                return 0;
            };
            if (HasControlCharacter(pszRecipient)) return refuse(__LINE__, ERROR_INVALID_PARAMETER);
            const std::string root = g_szRootPath;
            if (QueueFile(0, "msg").size() > kMaxPath ||
                (pszIncludeFile && root.size() + 1 + strlen(pszIncludeFile) > kMaxPath)) {
                return refuse(__LINE__, ERROR_FILENAME_EXCED_RANGE);
            }
            CString sender;
            w32::CatchAll(
                [&] {
                    const char* at = pszReportingAddress ? strchr(pszReportingAddress, '@') : nullptr;
                    sender = "postmaster";
                    if (at) sender += at;
                    CRegistry reg;
                    if (tmc::OpenParametersToRead(reg) == ERROR_SUCCESS) {
                        reg.QueryValue("DefaultMailbox", sender, nullptr);
                    }
                },
                [&] {
                    NewError(kSourceFile, __LINE__);
                    DebugX(kSourceFile, __LINE__);
                });
            if (HasControlCharacter(sender)) return refuse(__LINE__, ERROR_INVALID_PARAMETER);
            message = w32::OpenBufferedStream(pszMessageFile, "r", _SH_DENYWR);
            if (!message) {
                failure = w32::ErrnoToWin32(errno);
                return 0;
            }
            DWORD number = GetTickCount() & (kNumbers - 1);
            DWORD error = ERROR_SUCCESS;
            report = CreateReportFile(&number, &error);
            if (!report) {
                refuse(__LINE__, error);
            } else {
                char text[128];
                fprintf(report, "Message-Id: <%s>\n", GetMessageId(text, sizeof text, sender));
                fprintf(report, "Date: %s\n", GetInternetTimeString(text, sizeof text));
                fprintf(report, "To: %s\n", pszRecipient);
                fprintf(report, "From: %s\n", static_cast<const char*>(sender));
                if (const char* at = strchr(sender, '@')) fprintf(report, "Reply-To: null%s\n", at);
                fputs("Subject: Failed email report\n\n", report);
                vfprintf(report, pszReasonFormat ? pszReasonFormat : "", reasonArgs);
                fputs("\n\n", report);
                if (pszIncludeFile && StaysBelowRoot(pszIncludeFile)) {
                    std::string path = root + w32::kPathSeparator + pszIncludeFile;
                    if (FILE* include = tm_fopen(path.c_str(), "r")) {
                        char piece[256];
                        while (ReadPiece(include, piece)) fputs(piece, report);
                        fclose(include);
                        fputs("\n\n", report);
                    }
                }
                fputs("Your message starts:\n\n\n", report);
                char piece[256];
                while (ReadPiece(message, piece) && strcmp(piece, "\n") != 0) fputs(piece, report);
                fputs("\n", report);
                for (int lines = 0; lines < 20 && ReadPiece(message, piece); ++lines) {
                    if (strcmp(piece, ".\n") == 0 || strcmp(piece, ".") == 0) break;
                    fputs(piece, report);
                }
                fputs("\n.\n", report);
                FILE* done = report;
                report = nullptr;
                bool failed = ferror(done) != 0;
                int err = errno;
                if (fclose(done) != 0 && !failed) {
                    failed = true;
                    err = errno;
                }
                if (failed) {
                    // A report that did not reach the disk whole gets no
                    // envelope and does not stay in the queue.
                    remove(QueueFile(number, "msg").c_str());
                    refuse(__LINE__, WriteError(err));
                } else {
                    const bool local = IsLocalAddress(pszRecipient) != 0;
                    std::string temporary = QueueFile(number, "tmp");
                    envelope = w32::OpenBufferedStream(temporary.c_str(), "w", _SH_DENYNO);
                    const bool made = envelope != nullptr;
                    bool written = made;
                    if (made) {
                        fprintf(envelope, "%s\n", static_cast<const char*>(sender));
                        fprintf(envelope, "%s\n", pszRecipient);
                        FILE* closing = envelope;
                        envelope = nullptr;
                        written = !ferror(closing);
                        written = fclose(closing) == 0 && written;
                        written = written && rename(temporary.c_str(), QueueFile(number, local ? "ldl" : "pdl").c_str()) == 0;
                    }
                    if (written) {
                        if (!local) SignalExternalEmail();
                    } else {
                        // A report without an envelope is never delivered:
                        // neither stays in the queue.
                        const int err = errno;
                        if (made) remove(temporary.c_str());
                        remove(QueueFile(number, "msg").c_str());
                        refuse(__LINE__, WriteError(err));
                    }
                }
            }
            FILE* closing = message;
            message = nullptr;
            fclose(closing);
            SignalQueue();
            return failure == ERROR_SUCCESS ? 1 : 0;
        },
        [&]() -> int {
            if (message) fclose(message);
            if (report) fclose(report);
            if (envelope) fclose(envelope);
            DebugX(kSourceFile, __LINE__);
            return 0;
        });
    va_end(reasonArgs);
    // Set last: the signals and reports on the way change the last error.
    if (failure != ERROR_SUCCESS) SetLastError(failure);
    return result;
}
