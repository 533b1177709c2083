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
// it) is taken the next number is tried, modulo 0x100000. Reports that come
// faster than one a millisecond would find every number up to the last one
// of their burst taken, so a process that has run ahead of the clock starts
// after the last number it took instead of at the tick count. The envelope
// is written under a temporary name (bmrNNNNN.tmp) and renamed into place,
// so it is never seen half written. Nobody opens a report file before its
// envelope exists, nor a temporary envelope at all: both are written
// without share-mode marks.
//
// The steps of a report: check the request, read the sender, open the
// failed message, choose the number and create the report file, ask
// whether the recipient is local, write the report, write the envelope,
// signal. Both registry reads (DefaultMailbox, then LocalDomainsEx) come
// before the message identifier's counter is taken: its commit empties the
// registry's read cache, and before it the second read finds the key that
// the first opened there.
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
#include <mutex>
#include <string>

#include "Layer.h"
#include "SysCalls.h"
#include "logging/Trap.h"
#include "mail/Parameters.h"
#include "platform/ProcessEnv.h"
#include "tmlogging.h"
#include "tmmail.h"
#include "tmplatform.h"
#include "tmregistry.h"

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
    return std::string(RootPath()) + name;
}

// Whether a queue file is there. Looked for without opening it: an open
// would set share-mode marks on a file the delivery service may be
// opening. A path that cannot be looked at counts as taken.
bool Exists(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// The last number this process took, and the tick count it started from.
std::mutex g_numberLock;
bool g_tookNumber = false;
DWORD g_lastNumber = 0;
DWORD g_lastTick = 0;

// Where the number search starts: the tick count's number, unless this
// process has already taken that number and the ones after it (its
// reports outran the clock), then the number after the last it took.
DWORD FirstNumber(DWORD tick) {
    std::lock_guard<std::mutex> guard(g_numberLock);
    if (g_tookNumber) {
        // How far the last number ran ahead of its own tick count; the
        // clock has caught up with it once more ticks than that passed.
        const DWORD lead = (g_lastNumber - g_lastTick) & (kNumbers - 1);
        if (tick - g_lastTick <= lead) return (g_lastNumber + 1) & (kNumbers - 1);
    }
    return tick & (kNumbers - 1);
}

void TookNumber(DWORD number, DWORD tick) {
    std::lock_guard<std::mutex> guard(g_numberLock);
    g_tookNumber = true;
    g_lastNumber = number;
    g_lastTick = tick;
}

// Chooses the report's number and creates the report file under it, one
// that no other report holds. Null with *error set when the queue cannot
// take a file.
FILE* CreateReportFile(DWORD* number, DWORD* error) {
    const DWORD tick = GetTickCount();
    *number = FirstNumber(tick);
    for (DWORD tries = 0; tries < kNumbers; ++tries, *number = (*number + 1) % kNumbers) {
        std::string path = QueueFile(*number, "msg");
        // Created here, and not opened by anybody before its envelope
        // exists: no share-mode marks.
        FILE* fp = w32::OpenPrivateStream(path.c_str(), "wx");
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
        TookNumber(*number, tick);
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

// One call of BounceEmail: the request, the streams it has open (closed
// by the handler when the body is cut short) and why no report was made.
struct Bounce {
    const char* messageFile;
    char* recipient;
    const char* reportingAddress;
    const char* includeFile;
    const char* reasonFormat;
    FILE* volatile message = nullptr;
    FILE* volatile report = nullptr;
    FILE* volatile envelope = nullptr;
    // Left in the thread's last error.
    DWORD failure = ERROR_SUCCESS;

    // A reported failure: the caller learns the reason from the last
    // error, the operator from the event log.
    void Refuse(int line, DWORD code) {
        SysError(kSourceFile, line, code);
        failure = code;
    }
    void CloseAll() {
        if (message) fclose(message);
        if (report) fclose(report);
        if (envelope) fclose(envelope);
    }
};

// Closes a stream that the bounce holds; false when what was written did
// not all reach the file, with the errno value in *err.
bool CloseWritten(FILE* volatile& held, int* err) {
    FILE* fp = held;
    held = nullptr;
    bool written = ferror(fp) == 0;
    *err = errno;
    if (fclose(fp) != 0 && written) {
        written = false;
        *err = errno;
    }
    return written;
}

// Refuses a recipient that would break a line, and paths that would not
// fit the queue's 255 characters.
bool CheckRequest(Bounce& b) {
    if (HasControlCharacter(b.recipient)) {
        b.Refuse(__LINE__, ERROR_INVALID_PARAMETER);
        return false;
    }
    if (QueueFile(0, "msg").size() > kMaxPath ||
        (b.includeFile && strlen(RootPath()) + 1 + strlen(b.includeFile) > kMaxPath)) {
        b.Refuse(__LINE__, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// The report's sender: DefaultMailbox, else the postmaster of the
// reporting address's domain. A memory error is reported and leaves the
// address as it then stands.
void ReadSender(const char* reportingAddress, CString& sender) {
    tmc::GuardedReportingAllocation(kSourceFile, __LINE__,
        [&] {
            const char* at = reportingAddress ? strchr(reportingAddress, '@') : nullptr;
            sender = "postmaster";
            if (at) sender += at;
            CRegistry reg;
            if (tmc::OpenParametersToRead(reg) == ERROR_SUCCESS) reg.QueryValue("DefaultMailbox", sender, nullptr);
        });
}

// Copies the include file, whole, with the two line feeds after it; a
// name that leaves the root path or a file that cannot be opened is
// passed over.
void CopyIncludeFile(FILE* report, const char* name) {
    if (!name || !StaysBelowRoot(name)) return;
    std::string path = std::string(RootPath()) + w32::kPathSeparator + name;
    FILE* include = tm_fopen(path.c_str(), "r");
    if (!include) return;
    char piece[256];
    while (ReadPiece(include, piece)) fputs(piece, report);
    fclose(include);
    fputs("\n\n", report);
}

// Copies the failed message's header, an empty line and at most 20 body
// lines, up to a line of "." alone.
void CopyMessageStart(FILE* report, FILE* message) {
    char piece[256];
    while (ReadPiece(message, piece) && strcmp(piece, "\n") != 0) fputs(piece, report);
    fputs("\n", report);
    for (int lines = 0; lines < 20 && ReadPiece(message, piece); ++lines) {
        if (strcmp(piece, ".\n") == 0 || strcmp(piece, ".") == 0) break;
        fputs(piece, report);
    }
}

// Writes the report message, from its Message-Id line to the final ".".
void WriteReport(const Bounce& b, const CString& sender, va_list reasonArgs) {
    FILE* report = b.report;
    char text[128];
    fprintf(report, "Message-Id: <%s>\n", GetMessageId(text, sizeof text, sender));
    fprintf(report, "Date: %s\n", GetInternetTimeString(text, sizeof text));
    fprintf(report, "To: %s\n", b.recipient);
    fprintf(report, "From: %s\n", static_cast<const char*>(sender));
    if (const char* at = strchr(sender, '@')) fprintf(report, "Reply-To: null%s\n", at);
    fputs("Subject: Failed email report\n\n", report);
    vfprintf(report, b.reasonFormat ? b.reasonFormat : "", reasonArgs);
    fputs("\n\n", report);
    CopyIncludeFile(report, b.includeFile);
    fputs("Your message starts:\n\n\n", report);
    CopyMessageStart(report, b.message);
    fputs("\n.\n", report);
}

// Writes the envelope under its temporary name and renames it into
// place. A report without an envelope is never delivered: when the
// envelope fails, neither stays in the queue.
bool WriteEnvelope(Bounce& b, DWORD number, const CString& sender, bool local) {
    const std::string temporary = QueueFile(number, "tmp");
    // Only this call, which holds the report of this number, writes it.
    b.envelope = w32::OpenPrivateStream(temporary.c_str(), "w");
    const bool made = b.envelope != nullptr;
    int err = errno;
    bool written = made;
    if (made) {
        fprintf(b.envelope, "%s\n", static_cast<const char*>(sender));
        fprintf(b.envelope, "%s\n", b.recipient);
        written = CloseWritten(b.envelope, &err);
        if (written && w32::Sys().rename(temporary.c_str(), QueueFile(number, local ? "ldl" : "pdl").c_str()) != 0) {
            written = false;
            err = errno;
        }
    }
    if (!written) {
        if (made) w32::Sys().unlink(temporary.c_str());
        w32::Sys().unlink(QueueFile(number, "msg").c_str());
        b.Refuse(__LINE__, WriteError(err));
    }
    return written;
}

// Makes the report and its envelope; returns 1, or 0 when no report was
// made.
int MakeReport(Bounce& b, va_list reasonArgs) {
    if (!CheckRequest(b)) return 0;
    CString sender;
    ReadSender(b.reportingAddress, sender);
    if (HasControlCharacter(sender)) {
        b.Refuse(__LINE__, ERROR_INVALID_PARAMETER);
        return 0;
    }
    b.message = w32::OpenBufferedStream(b.messageFile, "r", _SH_DENYWR);
    if (!b.message) {
        b.failure = w32::ErrnoToWin32(errno);
        return 0;
    }
    DWORD number = 0;
    DWORD error = ERROR_SUCCESS;
    b.report = CreateReportFile(&number, &error);
    if (!b.report) {
        b.Refuse(__LINE__, error);
    } else {
        const bool local = IsLocalAddress(b.recipient) != 0;
        WriteReport(b, sender, reasonArgs);
        int err = 0;
        if (!CloseWritten(b.report, &err)) {
            // A report that did not reach the disk whole gets no envelope
            // and does not stay in the queue.
            remove(QueueFile(number, "msg").c_str());
            b.Refuse(__LINE__, WriteError(err));
        } else if (WriteEnvelope(b, number, sender, local) && !local) {
            SignalExternalEmail();
        }
    }
    FILE* closing = b.message;
    b.message = nullptr;
    fclose(closing);
    SignalQueue();
    return b.failure == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace

int SignalExternalEmail(void) { return Signal(kOutgoingEvent, false); }

int SignalPriorityEmail(void) { return Signal(kPriorityEvent, true); }

int BounceEmail(const char* pszMessageFile, char* pszRecipient, const char* pszReportingAddress,
                const char* pszIncludeFile, const char* pszReasonFormat, ...) {
    if (!pszRecipient || !*pszRecipient) return 1;
    Bounce b{pszMessageFile, pszRecipient, pszReportingAddress, pszIncludeFile, pszReasonFormat};
    va_list reasonArgs;
    va_start(reasonArgs, pszReasonFormat);
    int result = w32::CatchAll([&]() -> int { return MakeReport(b, reasonArgs); },
                               [&]() -> int {
                                   b.CloseAll();
                                   DebugX(kSourceFile, __LINE__);
                                   return 0;
                               });
    va_end(reasonArgs);
    // Set last: the signals and reports on the way change the last error.
    if (b.failure != ERROR_SUCCESS) SetLastError(b.failure);
    return result;
}
