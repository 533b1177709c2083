//===-- registry/RegistryLists.cpp - Multi-string values and text lists ---===//
//
// A list is stored as REG_MULTI_SZ: each element and its zero byte, then
// one more zero byte. The list ends at the first empty element, so an
// empty element hides everything after it. As text, elements are joined
// with CR LF and no separator after the last.
//
// Diagnostics: the platform's codes; 13 after a caught exception (29 for
// QueryTextList). A single element that cannot be appended is reported
// with NewError and left out.
//===----------------------------------------------------------------------===//
#include <cstring>
#include <memory>
#include <new>

#include "logging/Trap.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "Registry";

// Appends one piece; a failed allocation is reported and the piece left
// out, so that the rest of the list still comes through.
template <class Append>
void AppendPiece(Append&& append) {
    tmc::GuardedReportingAllocation(kSourceFile, __LINE__, [&] { append(); });
}

}  // namespace

LONG CRegistry::QueryValue(const char* pszName, CStringArray& csaValue, DWORD* pdwType) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        csaValue.SetSize(0, -1);
        DWORD size = 0;
        LONG rc = RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        std::unique_ptr<char[]> data(new char[size ? size : 1]);
        rc = RegQueryValueExA(m_hKey, pszName, nullptr, pdwType, reinterpret_cast<BYTE*>(data.get()), &size);
        if (rc != ERROR_SUCCESS) return rc;
        // Never past the size the read returned, even when the stored data
        // lacks its zeros.
        DWORD at = 0;
        while (at < size && data[at] != '\0') {
            size_t n = strnlen(data.get() + at, size - at);
            csaValue.SetAtGrow(csaValue.GetSize(), CString(data.get() + at, static_cast<int>(n)));
            at += static_cast<DWORD>(n) + 1;
        }
        return ERROR_SUCCESS;
    });
}

LONG CRegistry::SetValue(const char* pszName, const CStringArray& csaValue) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        // Each element up to its first zero byte, and its zero; then the
        // final zero. An empty list is two zero bytes.
        size_t size = 1;
        for (int i = 0; i < csaValue.GetSize(); ++i) size += strlen(csaValue[i]) + 1;
        if (size < 2) size = 2;
        if (size > 0xFFFFFFFFu) return ERROR_INVALID_DATA;
        std::unique_ptr<char[]> data(new char[size]);
        memset(data.get(), 0, size);
        size_t at = 0;
        for (int i = 0; i < csaValue.GetSize(); ++i) {
            size_t n = strlen(csaValue[i]);
            memcpy(data.get() + at, static_cast<const char*>(csaValue[i]), n);
            at += n + 1;
        }
        return RegSetValueExA(m_hKey, pszName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.get()),
                              static_cast<DWORD>(size));
    });
}

LONG CRegistry::SetTextList(const char* pszName, const char* pszText) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_INVALID_DATA), [&]() -> LONG {
        // Everything from the first space or tab on is dropped, the lines
        // after it included.
        CString text = CString(pszText).SpanExcluding(" \t");
        CStringArray list;
        const char* p = text;
        const char* end = p + text.GetLength();
        for (;;) {
            const char* cr = static_cast<const char*>(memchr(p, '\r', end - p));
            const char* lineEnd = cr ? cr : end;
            AppendPiece([&] { list.Add(CString(p, static_cast<int>(lineEnd - p))); });
            // The CR and the character after it (the LF) are both skipped;
            // a CR at the very end ends the list.
            if (!cr || cr + 1 >= end) break;
            p = cr + 2;
            if (p > end) break;
        }
        return SetValue(pszName, list);
    });
}

LONG CRegistry::QueryTextList(const char* pszName, CString& cszText, DWORD* pdwType) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<LONG>(ERROR_WRITE_FAULT), [&]() -> LONG {
        CStringArray list;
        LONG rc = QueryValue(pszName, list, pdwType);
        if (rc != ERROR_SUCCESS) return rc;
        cszText.Empty();
        for (int i = 0; i < list.GetSize(); ++i) {
            AppendPiece([&] { cszText += list[i]; });
            if (i + 1 < list.GetSize()) AppendPiece([&] { cszText += "\r\n"; });
        }
        return ERROR_SUCCESS;
    });
}
