//===-- registry/RegistryTree.cpp - Subtrees, their dump and the tree file -===//
//
// CopyTree merges a source subtree into the held key, DeleteTree removes a
// key with everything below it, DumpTree writes the held key's subtree as
// indented text. WriteTree and ReadTree save a subtree to the registry tree
// file and merge one back. The walks go depth first, one local CRegistry
// per level; ReadTree reads the file ahead and saves what it has read in
// batches, so that it never holds the registry while it waits on the
// stream. DeleteTree refuses to empty a predefined root (87).
//
// The tree file, a binary stream with no header and no lengths:
//   '>' name 0  body  '<'        a subkey and its body
//   'S' name 0  text 0           REG_SZ
//   'D' name 0  4 bytes          REG_DWORD, least significant byte first
//   'M' name 0  element 0 ... 0  REG_MULTI_SZ
// A body lists the subkeys first, then the values. The file is the body of
// the key it was written from and has no end marker of its own. Subkeys
// named exactly "Counters" are never written; other value types are left
// out. The reader takes each string in one pass up to its zero and never
// positions the stream, so it reads from a pipe as from a file.
//
// Diagnostics: the reader logs what stopped it (event type 1) and returns
// 13, or the platform's code when a value could not be saved; 38 at the
// clean end of the top-level body. The writer returns 29 at the first
// failed write. A caught exception goes to the exception trap.
// Limits: names of 64 characters or more end an enumeration; a copy or a
// restore goes at most 512 levels below its starting key, and never below
// the registry's depth; a restore holds at most 4096 records or about 1 MB
// of names and data read ahead, plus one record.
//
// Contents:
//   1. Helpers: key names, value types, indentation
//   2. Subtree operations: copy, delete, dump
//   3. The registry tree file: writing
//   4. The registry tree file: reading
//===----------------------------------------------------------------------===//
#include "registry/RegistryTree.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "Win32Internal.h"
#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmregistry.h"

//===-- 1. Helpers ------------------------------------------------------===//

namespace tmc {
void* (*g_pfnTreeRealloc)(void* pBlock, size_t nSize) = realloc;
}

namespace {

const char kSourceFile[] = "Registry";
const int kNameSize = 64;

// A CEventLog holds a 4 KB line buffer: it is built only when there is
// something to say, so that the recursive reader's frames stay small.
template <class... Args>
__attribute__((noinline)) void LogError(const char* pszFormat, Args... args) {
    CEventLog log(0);
    log.LogEvent(TM_EVENT_ERROR, pszFormat, args...);
}

bool PutByte(int c, FILE* fp) { return fputc(c, fp) != EOF; }

bool PutBytes(const void* p, size_t n, FILE* fp) { return n == 0 || fwrite(p, 1, n, fp) == n; }

// A string of the file: its bytes and one zero.
bool PutString(const char* p, size_t n, FILE* fp) { return PutBytes(p, n, fp) && PutByte(0, fp); }

// The first 4 bytes of the data as a number; data shorter than that is
// taken with zeros above it, never with what the buffer held before.
DWORD FirstDword(const BYTE* pData, DWORD dwSize) {
    BYTE bytes[4] = {0, 0, 0, 0};
    memcpy(bytes, pData, dwSize < 4 ? dwSize : 4);
    return DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
}

const char* TypeName(DWORD dwType) {
    switch (dwType) {
        case REG_NONE: return "REG_NONE";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_QWORD: return "REG_QWORD";
        default: return nullptr;
    }
}

// HKEY_CLASSES_ROOT .. HKEY_DYN_DATA, sign-extended as the platform
// defines them or zero-extended.
bool IsPredefinedKey(HKEY hKey) {
    const uint64_t value = reinterpret_cast<uintptr_t>(hKey);
    const uint64_t high = value >> 32;
    const uint32_t low = static_cast<uint32_t>(value);
    return (high == 0 || high == 0xFFFFFFFFu) && low >= 0x80000000u && low <= 0x80000006u;
}

void PutIndent(FILE* fp, int nSpaces) {
    for (int i = 0; i < nSpaces; ++i) fputc(' ', fp);
}

// Text of the dump: printable ASCII as it is, every other byte as \xNN.
void PutEscaped(FILE* fp, const BYTE* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] <= 0x7E) {
            fputc(p[i], fp);
        } else {
            fprintf(fp, "\\x%02x", p[i]);
        }
    }
}

}  // namespace

//===-- 2. Subtree operations -------------------------------------------===//

// The walks below share transactions (TmRegBeginBatch), begun and ended
// outside their handlers so that a batch always ends. Copy and delete
// report no failure below their starting key, a failed commit included.
DWORD CRegistry::CopyTree(HKEY hSourceParent, const char* pszSourcePath) {
    TmRegBeginBatch();
    const DWORD rc = CopyTreeAt(hSourceParent, pszSourcePath, 0);
    TmRegEndBatch();
    return rc;
}

DWORD CRegistry::CopyTreeAt(HKEY hSourceParent, const char* pszSourcePath, int nDepth) {
    return tmc::Guarded(kSourceFile, __LINE__, DWORD(ERROR_INVALID_DATA), [&]() -> DWORD {
        CRegistry source;
        LONG rc = source.OpenKey(hSourceParent, pszSourcePath, TM_KEY_READ_WRITE);
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);

        char name[kNameSize];
        // A destination inside its own source would grow one level per
        // level copied: the walk stops where the registry's depth ends.
        if (nDepth < tmc::kMaxTreeDepth) {
            for (DWORD i = 0; RegEnumKeyA(source.m_hKey, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
                CRegistry destination;
                if (destination.CreateKey(m_hKey, name, TM_KEY_READ_WRITE, REG_OPTION_NON_VOLATILE) == ERROR_SUCCESS)
                    destination.CopyTreeAt(source.m_hKey, name, nDepth + 1);
            }
        }

        // Values, every type as stored. The buffer only grows, to the exact
        // size of a larger value; a value it cannot be grown for is left
        // out and reported, never read into a buffer that is too small.
        DWORD capacity = 2048;
        BYTE* buffer = static_cast<BYTE*>(tmc::g_pfnTreeRealloc(nullptr, capacity));
        if (!buffer) {
            NewError(kSourceFile, __LINE__);
            return ERROR_SUCCESS;
        }
        struct Owner {
            BYTE*& p;
            ~Owner() { free(p); }
        } owner{buffer};
        for (DWORD i = 0;; ++i) {
            DWORD cchName = sizeof name, type = 0, size = capacity;
            if (RegEnumValueA(source.m_hKey, i, name, &cchName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                break;
            if (size > capacity) {
                BYTE* grown = static_cast<BYTE*>(tmc::g_pfnTreeRealloc(buffer, size));
                if (!grown) {
                    NewError(kSourceFile, __LINE__);
                    continue;
                }
                buffer = grown;
                capacity = size;
            }
            if (RegQueryValueExA(source.m_hKey, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) continue;
            RegSetValueExA(m_hKey, name, 0, type, buffer, size);
        }
        return ERROR_SUCCESS;
    });
}

DWORD CRegistry::DeleteTree(HKEY hParent, const char* pszPath) {
    TmRegBeginBatch();
    const DWORD rc = DeleteKeyTree(hParent, pszPath);
    TmRegEndBatch();
    return rc;
}

DWORD CRegistry::DeleteKeyTree(HKEY hParent, const char* pszPath) {
    return tmc::Guarded(kSourceFile, __LINE__, DWORD(ERROR_SUCCESS), [&]() -> DWORD {
        // A predefined root with no path names the root itself: one empty
        // string from a caller would empty the whole root.
        if (IsPredefinedKey(hParent) && (!pszPath || !*pszPath)) return ERROR_INVALID_PARAMETER;
        CRegistry key;
        LONG rc = key.OpenKey(hParent, pszPath, TM_KEY_READ_WRITE);
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        // Each pass deletes the first subkey left and reopens the key. A
        // subkey that is still there after its deletion (one that may not
        // be deleted, or that keeps such a subkey) is stepped over, so the
        // walk goes on with the next one and ends when none is left.
        char name[kNameSize];
        char previous[kNameSize] = "";
        DWORD index = 0;
        while (RegEnumKeyA(key.m_hKey, index, name, sizeof name) == ERROR_SUCCESS) {
            if (previous[0] && _stricmp(previous, name) == 0) {
                ++index;
                previous[0] = '\0';
                continue;
            }
            memcpy(previous, name, sizeof name);
            DeleteKeyTree(key.m_hKey, name);
            key.CloseKey();
            if (key.OpenKey(hParent, pszPath, TM_KEY_READ_WRITE) != ERROR_SUCCESS) return ERROR_SUCCESS;
        }
        key.CloseKey();
        RegDeleteKeyA(hParent, pszPath);
        return ERROR_SUCCESS;
    });
}

void CRegistry::DumpTree(FILE* fp, int nDepth) {
    TmRegBeginBatch();
    DumpKey(fp, nDepth);
    TmRegEndBatch();
}

void CRegistry::DumpKey(FILE* fp, int nDepth) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        const int indent = 2 * nDepth;
        char name[kNameSize];
        for (DWORD i = 0; RegEnumKeyA(m_hKey, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
            PutIndent(fp, indent);
            fprintf(fp, "\\%s\n", name);
            CRegistry sub;
            if (sub.OpenKey(m_hKey, name, TM_KEY_READ_WRITE) == ERROR_SUCCESS) sub.DumpKey(fp, nDepth + 1);
        }
        for (DWORD i = 0;; ++i) {
            DWORD cchName = sizeof name, type = 0;
            if (RegEnumValueA(m_hKey, i, name, &cchName, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
            DWORD size = 0;
            if (RegQueryValueExA(m_hKey, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) continue;
            if (size == 0xFFFFFFFFu) continue;
            ReserveBuffer(size + 1);
            // The size asked for above: a value that grew since gives
            // ERROR_MORE_DATA and is skipped, so the zero below always fits.
            if (RegQueryValueExA(m_hKey, name, nullptr, &type, m_pBuffer, &size) != ERROR_SUCCESS) continue;
            m_pBuffer[size] = 0;
            const char* data = reinterpret_cast<const char*>(m_pBuffer);
            PutIndent(fp, indent);
            fprintf(fp, "%s (", name);
            switch (type) {
                case REG_SZ:
                    fputs("REG_SZ) : ", fp);
                    PutEscaped(fp, m_pBuffer, strlen(data));
                    fputc('\n', fp);
                    break;
                case REG_DWORD:
                    fprintf(fp, "REG_DWORD) : 0x%x\n", FirstDword(m_pBuffer, size));
                    break;
                case REG_MULTI_SZ: {
                    fprintf(fp, "REG_MULTI_SZ) : %s\n", data);
                    // Further elements under the first: the indentation,
                    // the name, " (" and "REG_MULTI_SZ) : ".
                    const int column = indent + static_cast<int>(cchName) + 18;
                    DWORD at = static_cast<DWORD>(strlen(data)) + 1;
                    while (at < size && data[at] != '\0') {
                        PutIndent(fp, column);
                        fprintf(fp, "%s\n", data + at);
                        at += static_cast<DWORD>(strlen(data + at)) + 1;
                    }
                    break;
                }
                case REG_EXPAND_SZ:
                    fputs("REG_EXPAND_SZ) : ", fp);
                    PutEscaped(fp, m_pBuffer, strlen(data));
                    fputc('\n', fp);
                    break;
                default: {
                    // The bytes in hexadecimal, so that the line is closed
                    // and the value still shows.
                    const char* typeName = TypeName(type);
                    if (typeName) {
                        fprintf(fp, "%s) :", typeName);
                    } else {
                        fprintf(fp, "type %u) :", type);
                    }
                    for (DWORD b = 0; b < size; ++b) fprintf(fp, " %02x", m_pBuffer[b]);
                    fputc('\n', fp);
                    break;
                }
            }
        }
        fputc('\n', fp);
    });
}

//===-- 3. The registry tree file: writing ------------------------------===//

DWORD CRegistry::WriteTree(FILE* fp) {
    TmRegBeginBatch();
    const DWORD rc = WriteKey(fp);
    TmRegEndBatch();
    return rc;
}

DWORD CRegistry::WriteKey(FILE* fp) {
    return tmc::Guarded(kSourceFile, __LINE__, DWORD(ERROR_WRITE_FAULT), [&]() -> DWORD {
        char name[kNameSize];
        for (DWORD i = 0; RegEnumKeyA(m_hKey, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
            // Performance counters, by this exact name only.
            if (strcmp(name, "Counters") == 0) continue;
            if (!PutByte('>', fp) || !PutString(name, strlen(name), fp)) return ERROR_WRITE_FAULT;
            CRegistry sub;
            // A subkey that cannot be opened is written with an empty body.
            if (sub.OpenKey(m_hKey, name, TM_KEY_READ_WRITE) == ERROR_SUCCESS && sub.WriteKey(fp) != ERROR_SUCCESS)
                return ERROR_WRITE_FAULT;
            if (!PutByte('<', fp)) return ERROR_WRITE_FAULT;
        }
        for (DWORD i = 0;; ++i) {
            // Name, type and data in one enumeration, not an enumeration
            // and two queries: each registry call is a round trip to the
            // store. Data larger than the scratch buffer comes back as 234
            // with its size, and the value is enumerated again with room
            // for it; 234 with room enough is a name of 64 characters or
            // more, which ends the loop.
            ReserveBuffer(0);
            DWORD cchName = sizeof name, type = 0, size = m_dwBufferSize;
            LONG rc = RegEnumValueA(m_hKey, i, name, &cchName, nullptr, &type, m_pBuffer, &size);
            while (rc == ERROR_MORE_DATA && size > m_dwBufferSize) {
                ReserveBuffer(size);
                cchName = sizeof name;
                size = m_dwBufferSize;
                rc = RegEnumValueA(m_hKey, i, name, &cchName, nullptr, &type, m_pBuffer, &size);
            }
            if (rc != ERROR_SUCCESS) break;
            const char* data = reinterpret_cast<const char*>(m_pBuffer);
            bool written = true;
            switch (type) {
                case REG_MULTI_SZ: {
                    written = PutByte('M', fp) && PutString(name, cchName, fp);
                    // Never past the data, even when its zeros are missing:
                    // each element gets exactly one zero in the file.
                    DWORD at = 0;
                    while (written && at < size && data[at] != '\0') {
                        size_t n = strnlen(data + at, size - at);
                        written = PutString(data + at, n, fp);
                        at += static_cast<DWORD>(n) + 1;
                    }
                    written = written && PutByte(0, fp);
                    break;
                }
                case REG_DWORD: {
                    const DWORD number = FirstDword(m_pBuffer, size);
                    const BYTE bytes[4] = {BYTE(number), BYTE(number >> 8), BYTE(number >> 16), BYTE(number >> 24)};
                    written = PutByte('D', fp) && PutString(name, cchName, fp) && PutBytes(bytes, 4, fp);
                    break;
                }
                case REG_SZ:
                    // The text up to its first zero and one zero, whatever
                    // the stored data ends with, so that the record reads
                    // back as the reader takes it.
                    written = PutByte('S', fp) && PutString(name, cchName, fp) &&
                              PutString(data, strnlen(data, size), fp);
                    break;
                default:
                    break;
            }
            if (!written) return ERROR_WRITE_FAULT;
        }
        return ERROR_SUCCESS;
    });
}

//===-- 4. The registry tree file: reading ------------------------------===//
//
// A restore never holds the registry's writer lock while it waits on the
// caller's stream, which may be slow or stall: it reads records ahead, up
// to kReadAheadRecords of them or kReadAheadBytes of names and data, saves
// them as one batch of registry calls, and only then reads on. A problem
// of the stream is told only once everything read before it is saved, so
// the messages, their order and the result are those of a reader that
// saves each record as soon as it has read it: a record that cannot be
// saved ends the restore before any problem found further on.

namespace {

const size_t kReadAheadRecords = 4096;
const size_t kReadAheadBytes = 1 << 20;

// Why reading stopped, kept until everything before it is saved.
class Complaint {
public:
    __attribute__((format(printf, 2, 3))) void Say(const char* pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        // The event log's own formatter, so that the text is the one the
        // log would have made of the format.
        wvsprintfA(m_szText, pszFormat, args);
        va_end(args);
        m_nKind = kMessage;
    }
    void NoMemory() { m_nKind = kNoMemory; }
    void Trapped() { m_nKind = kTrapped; }
    void Report() const {
        switch (m_nKind) {
            case kMessage:
                LogError("%s", m_szText);
                break;
            case kNoMemory:
                NewError(kSourceFile, __LINE__);
                DebugX(kSourceFile, __LINE__);
                break;
            case kTrapped:
                DebugX(kSourceFile, __LINE__);
                break;
            case kNone:
                break;
        }
    }

private:
    enum { kNone, kMessage, kNoMemory, kTrapped } m_nKind = kNone;
    char m_szText[1024] = "";
};

// The bytes of the last string read, kept from one string to the next so
// that a file's strings cost no allocation beyond their CStrings.
struct StringScratch {
    char* pText = nullptr;
    size_t nCapacity = 0;
    StringScratch() = default;
    StringScratch(const StringScratch&) = delete;
    StringScratch& operator=(const StringScratch&) = delete;
    ~StringScratch() { free(pText); }
};

// ReadString's work; what stopped it goes to the complaint. The string is
// read once, up to and with its zero, and never sought back to: a restore
// costs no system call per string beyond the stream's own buffer refills,
// and the stream need not be seekable (a pipe will do).
DWORD ReadStringFrom(FILE* fp, CString& cszValue, StringScratch& scratch, Complaint& complaint) {
    const ssize_t got = getdelim(&scratch.pText, &scratch.nCapacity, '\0', fp);
    if (got <= 0 || scratch.pText[got - 1] != '\0') {
        const long n = got > 0 ? static_cast<long>(got) : 0;
        if (feof(fp)) {
            // Where the stream ended is the string's start plus what was
            // read of it; a stream without positions gives only the latter.
            const long end = ftell(fp);
            complaint.Say("CRegistry::ReadString - unexpected eof at offset %d", static_cast<int>(end >= 0 ? end : n));
        } else if (ferror(fp)) {
            complaint.Say("CRegistry::ReadString - read error %d at offset", ferror(fp));
        } else {
            // getdelim could not grow its buffer.
            complaint.NoMemory();
        }
        return ERROR_INVALID_DATA;
    }
    const size_t n = static_cast<size_t>(got) - 1;
    char* buffer = nullptr;
    const bool obtained = w32::CatchAll(
        [&] {
            // A CString holds at most INT_MAX - 1 characters and their zero.
            if (n >= INT_MAX) throw std::bad_alloc();
            buffer = cszValue.GetBuffer(static_cast<int>(n));
            return true;
        },
        [&] { return false; });
    if (!obtained) {
        complaint.NoMemory();
        return ERROR_INVALID_DATA;
    }
    memcpy(buffer, scratch.pText, n + 1);
    cszValue.ReleaseBuffer(static_cast<int>(n));
    return ERROR_SUCCESS;
}

// One record read from the file and waiting to be saved.
struct TreeRecord {
    enum Kind { kEnterKey, kLeaveKey, kString, kNumber, kList } nKind = kLeaveKey;
    CString cszName;
    CString cszText;
    DWORD dwNumber = 0;
    CStringArray csaList;
    int nDropped = 0;  // list elements that could not be kept
};

class TreeReader {
public:
    explicit TreeReader(FILE* fp) : m_pStream(fp) {}

    // Reads records until the read-ahead is full or the body has ended.
    // A caught exception ends the body; the record it interrupted is
    // dropped, and those before it are still saved.
    void ReadAhead() {
        w32::CatchAll([&] { ReadRecords(); },
                      [&] {
                          m_records.erase(m_records.begin() + static_cast<std::ptrdiff_t>(m_nComplete),
                                          m_records.end());
                          m_complaint.Trapped();
                          End(ERROR_INVALID_DATA);
                      });
    }
    // Saves the records read so far into the subtree of top: 0 when all
    // were saved, else the restore's result, after the message that says
    // why.
    DWORD Save(CRegistry& top) {
        return tmc::Guarded(kSourceFile, __LINE__, DWORD(ERROR_INVALID_DATA), [&]() -> DWORD {
            for (TreeRecord& record : m_records) {
                if (DWORD rc = SaveRecord(top, record)) return rc;
            }
            m_records.clear();
            m_nBytes = 0;
            return ERROR_SUCCESS;
        });
    }
    bool Ended() const { return m_bEnded; }
    // After the last records are saved: what ended the body, and its result.
    DWORD Finish() const {
        m_complaint.Report();
        return m_dwEnd;
    }

private:
    void End(DWORD dwResult) {
        m_bEnded = true;
        m_dwEnd = dwResult;
    }

    // How a body ends: 38 at the end of the stream, 13 on a read error,
    // else 0. A subkey's body that does not end with 0 fails its parent
    // with 13, with no message of its own.
    DWORD BodyEnd() const {
        if (feof(m_pStream)) return ERROR_HANDLE_EOF;
        if (ferror(m_pStream)) return ERROR_INVALID_DATA;
        return ERROR_SUCCESS;
    }

    TreeRecord& Add(TreeRecord::Kind nKind, CString& cszName) {
        m_records.emplace_back();
        TreeRecord& record = m_records.back();
        record.nKind = nKind;
        record.cszName = std::move(cszName);
        m_nBytes += static_cast<size_t>(record.cszName.GetLength()) + sizeof(TreeRecord);
        return record;
    }

    void ReadRecords() {
        if (m_records.capacity() == 0) m_records.reserve(kReadAheadRecords);
        CString name, text;
        while (!m_bEnded && m_records.size() < kReadAheadRecords && m_nBytes < kReadAheadBytes) {
            m_nComplete = m_records.size();
            const int marker = fgetc(m_pStream);
            if (marker == '<' || marker == EOF) {
                const DWORD end = BodyEnd();
                if (m_nDepth == 0) {
                    End(end);
                } else if (end != ERROR_SUCCESS) {
                    End(ERROR_INVALID_DATA);
                } else {
                    m_records.emplace_back();
                    m_records.back().nKind = TreeRecord::kLeaveKey;
                    --m_nDepth;
                }
                continue;
            }
            if (ReadStringFrom(m_pStream, name, m_scratch, m_complaint) != ERROR_SUCCESS) {
                End(ERROR_INVALID_DATA);
                continue;
            }
            switch (marker) {
                case '>':
                    // A file that nests without end is refused at the
                    // registry's own depth.
                    if (m_nDepth >= tmc::kMaxTreeDepth) {
                        m_complaint.Say("CRegistry::ReadTree - Registry key '%s' nested more than %d levels deep",
                                        static_cast<const char*>(name), tmc::kMaxTreeDepth);
                        End(ERROR_INVALID_DATA);
                        break;
                    }
                    Add(TreeRecord::kEnterKey, name);
                    ++m_nDepth;
                    break;
                case 'S':
                    if (ReadStringFrom(m_pStream, text, m_scratch, m_complaint) != ERROR_SUCCESS) {
                        End(ERROR_INVALID_DATA);
                        break;
                    }
                    m_nBytes += static_cast<size_t>(text.GetLength());
                    Add(TreeRecord::kString, name).cszText = std::move(text);
                    break;
                case 'D': {
                    BYTE bytes[4];
                    if (fread(bytes, 1, sizeof bytes, m_pStream) != sizeof bytes) {
                        if (feof(m_pStream)) {
                            m_complaint.Say("CRegistry::ReadTree - Unexpected eof reading DWORD value %s from file",
                                            static_cast<const char*>(name));
                        } else {
                            m_complaint.Say("CRegistry::ReadTree - Error %d reading DWORD value %s from file",
                                            ferror(m_pStream), static_cast<const char*>(name));
                        }
                        End(ERROR_INVALID_DATA);
                        break;
                    }
                    Add(TreeRecord::kNumber, name).dwNumber = FirstDword(bytes, 4);
                    break;
                }
                case 'M':
                    ReadList(name);
                    break;
                default:
                    // Unknown records carry only their name.
                    break;
            }
        }
    }

    // The elements of an 'M' record, up to the empty one that ends them.
    void ReadList(CString& name) {
        m_csaList.SetSize(0, -1);
        int nDropped = 0;
        CString element;
        for (;;) {
            if (ReadStringFrom(m_pStream, element, m_scratch, m_complaint) != ERROR_SUCCESS) {
                End(ERROR_INVALID_DATA);
                return;
            }
            if (element.IsEmpty()) break;
            m_nBytes += static_cast<size_t>(element.GetLength()) + 1;
            if (!w32::CatchAll([&] { return m_csaList.Add(element), true; }, [] { return false; })) ++nDropped;
        }
        TreeRecord& record = Add(TreeRecord::kList, name);
        record.csaList = m_csaList;
        record.nDropped = nDropped;
    }

    // A failure below the top key fails every body above it with 13.
    DWORD Failed(DWORD rc) const { return m_keys.empty() ? rc : DWORD(ERROR_INVALID_DATA); }

    DWORD SaveRecord(CRegistry& top, TreeRecord& record) {
        CRegistry& key = m_keys.empty() ? top : *m_keys.back();
        const char* name = record.cszName;
        LONG rc = ERROR_SUCCESS;
        switch (record.nKind) {
            case TreeRecord::kEnterKey: {
                auto sub = std::make_unique<CRegistry>();
                rc = sub->CreateKey(key.m_hKey, name, TM_KEY_READ_WRITE, REG_OPTION_NON_VOLATILE);
                if (rc != ERROR_SUCCESS) {
                    LogError("CRegistry::ReadTree - Unable to create registry key '%s', error %d", name,
                             static_cast<int>(rc));
                    return ERROR_INVALID_DATA;
                }
                m_keys.push_back(std::move(sub));
                return ERROR_SUCCESS;
            }
            case TreeRecord::kLeaveKey:
                key.CloseKey();
                m_keys.pop_back();
                return ERROR_SUCCESS;
            case TreeRecord::kString:
                rc = key.SetValue(name, static_cast<const char*>(record.cszText));
                if (rc != ERROR_SUCCESS) {
                    LogError("CRegistry::ReadTree - Unable to save string registry value '%s', error %d", name,
                             static_cast<int>(rc));
                }
                break;
            case TreeRecord::kNumber:
                rc = key.SetValue(name, record.dwNumber);
                if (rc != ERROR_SUCCESS) {
                    LogError("CRegistry::ReadTree - Unable to save DWORD registry value '%s', error %d", name,
                             static_cast<int>(rc));
                }
                break;
            case TreeRecord::kList:
                // Each element that could not be kept was reported as it
                // was read; here is its turn.
                for (int i = 0; i < record.nDropped; ++i) {
                    NewError(kSourceFile, __LINE__);
                    DebugX(kSourceFile, __LINE__);
                }
                rc = key.SetValue(name, record.csaList);
                if (rc != ERROR_SUCCESS) {
                    LogError("CRegistry::ReadTree - Unable to save multi-string registry value '%s', error %d",
                             name, static_cast<int>(rc));
                }
                break;
        }
        return rc == ERROR_SUCCESS ? ERROR_SUCCESS : Failed(static_cast<DWORD>(rc));
    }

    FILE* m_pStream;
    std::vector<TreeRecord> m_records;
    size_t m_nComplete = 0;  // records read whole
    size_t m_nBytes = 0;
    CStringArray m_csaList;
    int m_nDepth = 0;  // of the next record read, below the top key
    // The subkeys open for saving, innermost last.
    std::vector<std::unique_ptr<CRegistry>> m_keys;
    bool m_bEnded = false;
    DWORD m_dwEnd = ERROR_SUCCESS;
    Complaint m_complaint;
    StringScratch m_scratch;
};

}  // namespace

DWORD CRegistry::ReadString(FILE* fp, CString& cszValue) {
    Complaint complaint;
    StringScratch scratch;
    const DWORD rc = tmc::Guarded(kSourceFile, __LINE__, DWORD(ERROR_INVALID_DATA),
                                  [&] { return ReadStringFrom(fp, cszValue, scratch, complaint); });
    complaint.Report();
    return rc;
}

DWORD CRegistry::ReadTree(FILE* fp) {
    TreeReader reader(fp);
    for (;;) {
        reader.ReadAhead();
        // The batch is begun and ended outside every handler, so that it
        // always ends; a failure to commit it is reported like a value
        // that could not be saved.
        TmRegBeginBatch();
        const DWORD saved = reader.Save(*this);
        const LONG committed = TmRegEndBatch();
        if (saved != ERROR_SUCCESS) return saved;
        if (committed != ERROR_SUCCESS) {
            LogError("CRegistry::ReadTree - Unable to save registry values, error %d", static_cast<int>(committed));
            return static_cast<DWORD>(committed);
        }
        if (reader.Ended()) return reader.Finish();
    }
}
