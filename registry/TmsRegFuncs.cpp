//===-- registry/TmsRegFuncs.cpp - The flat registry functions ------------===//
//
// REGQUERYVAL and its siblings: one local CRegistry per call, opened (or,
// for the writes, created) on the root and path that the caller names, one
// read or write, and the key closed again. For callers without classes.
//
// The argument block is an array of 8-byte cells: an integer in the first
// 4 bytes of its cell, a pointer filling its cell.
//   cell 0  root: 1 HKEY_CURRENT_USER, 2 HKEY_CLASSES_ROOT, 3 HKEY_USERS,
//           anything else HKEY_LOCAL_MACHINE
//   cell 1  key path        cell 2  value name
//   cell 3  the value to write, or the default to return
// Returned strings are malloc'ed copies that the caller frees with
// FreeString; their length (without the zero) goes through the first
// argument.
//
// Diagnostics: registry failures come back as the Win32 code or are
// replaced by the default; nothing is logged for them. A failed
// allocation of a returned string is reported with NewError. A caught
// exception is traced with DebugPrint "Unknown exception" and DebugX.
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "logging/Trap.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "TmsRegFuncs";

// One cell of the caller's block. Only the bytes a cell's content needs
// are read: 4 for an integer, a pointer's 8 for a pointer.
class ArgBlock {
public:
    explicit ArgBlock(const void* pArgs) : m_pArgs(static_cast<const BYTE*>(pArgs)) {}

    int32_t Int(int nCell) const {
        int32_t value;
        memcpy(&value, m_pArgs + 8 * nCell, sizeof value);
        return value;
    }
    const char* Str(int nCell) const {
        const char* value;
        memcpy(&value, m_pArgs + 8 * nCell, sizeof value);
        return value;
    }
    HKEY Root() const {
        switch (Int(0)) {
            case 1: return HKEY_CURRENT_USER;
            case 2: return HKEY_CLASSES_ROOT;
            case 3: return HKEY_USERS;
            default: return HKEY_LOCAL_MACHINE;
        }
    }
    const char* Path() const { return Str(1); }
    const char* Name() const { return Str(2); }
    // A default string that is not there is taken as the empty string.
    const char* Text() const { return Str(3) ? Str(3) : ""; }

private:
    const BYTE* m_pArgs;
};

// The catch-all of every function of the family.
template <class Body>
void Trapped(Body&& body) {
    w32::CatchAll([&] { body(); },
                  [] {
                      DebugPrint(kSourceFile, __LINE__, "Unknown exception");
                      DebugX(kSourceFile, __LINE__);
                  });
}

// A malloc'ed copy of n bytes and a zero, or NULL.
char* CopyOut(const char* p, size_t n) {
    char* copy = static_cast<char*>(malloc(n + 1));
    if (copy) {
        memcpy(copy, p, n);
        copy[n] = '\0';
    }
    return copy;
}

void SetLength(DWORD* pdwLength, size_t n) {
    if (pdwLength) *pdwLength = static_cast<DWORD>(n);
}

// The body of REGQUERYSTR and REGQUERYSTREX. The result is stored as soon
// as it exists, so that a fault after it still hands it back.
void QueryString(DWORD* pdwLength, const ArgBlock& args, bool bDefault, char* volatile& pResult) {
    CRegistry reg;
    CString text;
    if (reg.OpenKey(args.Root(), args.Path(), TM_KEY_READ_WRITE) == ERROR_SUCCESS &&
        reg.QueryValue(args.Name(), text) == ERROR_SUCCESS) {
        const size_t n = static_cast<size_t>(text.GetLength());
        if (char* copy = CopyOut(text, n)) {
            pResult = copy;
            SetLength(pdwLength, n);
            return;
        }
        NewError(kSourceFile, __LINE__);
    }
    if (!bDefault) return;
    const char* fallback = args.Text();
    const size_t n = strlen(fallback);
    char* copy = CopyOut(fallback, n);
    if (!copy) {
        NewError(kSourceFile, __LINE__);
        return;
    }
    pResult = copy;
    SetLength(pdwLength, n);
}

DWORD QueryNumber(void* pArgs, bool bDefault) {
    volatile DWORD result = 0;
    if (!pArgs) return 0;
    Trapped([&] {
        const ArgBlock args(pArgs);
        CRegistry reg;
        DWORD number = 0;
        if (reg.OpenKey(args.Root(), args.Path(), TM_KEY_READ_WRITE) == ERROR_SUCCESS &&
            reg.QueryValue(args.Name(), number) == ERROR_SUCCESS) {
            result = number;
        } else if (bDefault) {
            result = static_cast<DWORD>(args.Int(3));
        }
    });
    return result;
}

// Creates the key of the block and runs one write on it: the create's code
// if that failed, else the write's. A write of a text that is not there is
// refused before any key is made.
template <class Write>
DWORD CreateAndWrite(void* pArgs, bool bNeedsText, Write&& write) {
    volatile DWORD result = ERROR_INVALID_DATA;
    if (!pArgs) return ERROR_INVALID_DATA;
    Trapped([&] {
        const ArgBlock args(pArgs);
        if (bNeedsText && !args.Str(3)) {
            result = ERROR_INVALID_PARAMETER;
            return;
        }
        CRegistry reg;
        LONG rc = reg.CreateKey(args.Root(), args.Path(), TM_KEY_READ_WRITE, REG_OPTION_NON_VOLATILE);
        if (rc == ERROR_SUCCESS) rc = write(reg, args);
        result = static_cast<DWORD>(rc);
    });
    return result;
}

}  // namespace

DWORD REGQUERYVAL(void* pArgs) { return QueryNumber(pArgs, false); }

DWORD REGQUERYVALEX(void* pArgs) { return QueryNumber(pArgs, true); }

char* REGQUERYSTR(DWORD* pdwLength, void* pArgs) {
    SetLength(pdwLength, 0);
    char* volatile result = nullptr;
    if (!pArgs) return nullptr;
    Trapped([&] { QueryString(pdwLength, ArgBlock(pArgs), false, result); });
    return result;
}

char* REGQUERYSTREX(DWORD* pdwLength, void* pArgs) {
    SetLength(pdwLength, 0);
    char* volatile result = nullptr;
    if (!pArgs) return nullptr;
    Trapped([&] { QueryString(pdwLength, ArgBlock(pArgs), true, result); });
    return result;
}

DWORD REGSETVAL(void* pArgs) {
    return CreateAndWrite(pArgs, false, [](CRegistry& reg, const ArgBlock& args) {
        return reg.SetValue(args.Name(), static_cast<DWORD>(args.Int(3)));
    });
}

DWORD REGSETSTR(void* pArgs) {
    return CreateAndWrite(pArgs, true, [](CRegistry& reg, const ArgBlock& args) {
        return reg.SetValue(args.Name(), args.Str(3));
    });
}

char* REGQUERYTEXTLIST(DWORD* pdwLength, void* pArgs) {
    SetLength(pdwLength, 0);
    char* volatile result = nullptr;
    if (!pArgs) return nullptr;
    Trapped([&] {
        const ArgBlock args(pArgs);
        CString text(args.Text());
        CRegistry reg;
        // The list replaces the default only when it can be read.
        if (reg.OpenKey(args.Root(), args.Path(), TM_KEY_READ_WRITE) == ERROR_SUCCESS) reg.QueryTextList(args.Name(), text);
        const size_t n = static_cast<size_t>(text.GetLength());
        if (char* copy = CopyOut(text, n)) {
            result = copy;
            SetLength(pdwLength, n);
        }
    });
    return result;
}

DWORD REGSETTEXTLIST(void* pArgs) {
    return CreateAndWrite(pArgs, true, [](CRegistry& reg, const ArgBlock& args) {
        return reg.SetTextList(args.Name(), args.Str(3));
    });
}

DWORD REGDELETEVALUE(void* pArgs) {
    volatile DWORD result = ERROR_INVALID_DATA;
    if (!pArgs) return ERROR_INVALID_DATA;
    Trapped([&] {
        const ArgBlock args(pArgs);
        CRegistry reg;
        // A key that cannot be opened gives 13, not the open's own code.
        if (reg.OpenKey(args.Root(), args.Path(), TM_KEY_READ_WRITE) == ERROR_SUCCESS)
            result = static_cast<DWORD>(RegDeleteValueA(reg.m_hKey, args.Name()));
    });
    return result;
}

DWORD REGDELETETREE(void* pArgs) {
    volatile DWORD result = ERROR_INVALID_DATA;
    if (!pArgs) return ERROR_INVALID_DATA;
    Trapped([&] {
        const ArgBlock args(pArgs);
        // The root is always predefined: DeleteTree refuses to empty it
        // for a path that is NULL or empty.
        CRegistry reg;
        result = reg.DeleteTree(args.Root(), args.Path());
    });
    return result;
}

void FreeString(void* pString) { free(pString); }
