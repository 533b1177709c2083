//===-- win32/Mfc.cpp - CObject, CString, CStringArray, CTime, CWnd -------===//
//
// The MFC classes the library is written against, with MFC's member names
// and behaviour: strings may hold zero bytes, a failed allocation throws,
// and buffer access (GetBuffer / ReleaseBuffer) works as MFC code expects.
// Indexes outside a string or array throw std::out_of_range where MFC
// would assert; the library's catch-all handlers turn that into a report.
//
// Contents:
//   1. CObject
//   2. CString
//   3. CStringArray
//   4. CTime
//   5. CWnd
//===----------------------------------------------------------------------===//
#include <climits>
#include <cstdarg>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Layer.h"
#include "tmwin32.h"

//===-- 1. CObject ------------------------------------------------------===//

CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0xFFFF, nullptr, nullptr};

CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
CObject::~CObject() = default;
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(CDumpContext&) const {}

//===-- 2. CString ------------------------------------------------------===//

namespace {

int CheckedLength(size_t n) {
    if (n >= static_cast<size_t>(INT_MAX)) throw std::bad_alloc();
    return static_cast<int>(n);
}

}  // namespace

CString::CString(const CString& other) : CString() { Assign(other.m_pchData, other.m_nDataLength); }

CString::CString(CString&& other) noexcept
    : m_pchData(other.m_pchData), m_nDataLength(other.m_nDataLength),
      m_nAllocLength(other.m_nAllocLength) {
    other.m_pchData = nullptr;
    other.m_nDataLength = other.m_nAllocLength = 0;
}

CString::CString(const char* psz) : CString() {
    if (psz) Assign(psz, CheckedLength(strlen(psz)));
}

CString::CString(const char* pch, int nLength) : CString() {
    if (pch && nLength > 0) Assign(pch, nLength);
}

CString::CString(char ch, int nRepeat) : CString() {
    if (nRepeat > 0) {
        Reserve(nRepeat, false);
        memset(m_pchData, ch, nRepeat);
        m_pchData[nRepeat] = '\0';
        m_nDataLength = nRepeat;
    }
}

CString::~CString() { ::operator delete(m_pchData); }

CString& CString::operator=(const CString& other) {
    if (this != &other) Assign(other.m_pchData, other.m_nDataLength);
    return *this;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        ::operator delete(m_pchData);
        m_pchData = other.m_pchData;
        m_nDataLength = other.m_nDataLength;
        m_nAllocLength = other.m_nAllocLength;
        other.m_pchData = nullptr;
        other.m_nDataLength = other.m_nAllocLength = 0;
    }
    return *this;
}

CString& CString::operator=(const char* psz) {
    Assign(psz, psz ? CheckedLength(strlen(psz)) : 0);
    return *this;
}

CString& CString::operator=(char ch) {
    Assign(&ch, 1);
    return *this;
}

CString& CString::operator+=(const CString& other) {
    Append(other.m_pchData, other.m_nDataLength);
    return *this;
}

CString& CString::operator+=(const char* psz) {
    if (psz) Append(psz, CheckedLength(strlen(psz)));
    return *this;
}

CString& CString::operator+=(char ch) {
    Append(&ch, 1);
    return *this;
}

void CString::Reserve(int nCapacity, bool bKeep) {
    if (nCapacity < 0) throw std::bad_alloc();
    if (m_pchData && nCapacity <= m_nAllocLength) return;
    char* data = static_cast<char*>(::operator new(static_cast<size_t>(nCapacity) + 1));
    if (bKeep && m_pchData) {
        memcpy(data, m_pchData, static_cast<size_t>(m_nDataLength) + 1);
    } else {
        data[0] = '\0';
        m_nDataLength = 0;
    }
    ::operator delete(m_pchData);
    m_pchData = data;
    m_nAllocLength = nCapacity;
}

void CString::Assign(const char* pch, int nLength) {
    if (nLength <= 0 || !pch) {
        if (m_pchData) m_pchData[0] = '\0';
        m_nDataLength = 0;
        return;
    }
    if (m_pchData && nLength <= m_nAllocLength) {
        memmove(m_pchData, pch, nLength);
    } else {
        // pch may point into the old buffer; copy before freeing it.
        char* data = static_cast<char*>(::operator new(static_cast<size_t>(nLength) + 1));
        memcpy(data, pch, nLength);
        ::operator delete(m_pchData);
        m_pchData = data;
        m_nAllocLength = nLength;
    }
    m_pchData[nLength] = '\0';
    m_nDataLength = nLength;
}

void CString::Append(const char* pch, int nLength) {
    if (nLength <= 0 || !pch) return;
    if (nLength > INT_MAX - 1 - m_nDataLength) throw std::bad_alloc();
    int total = m_nDataLength + nLength;
    if (m_pchData && total <= m_nAllocLength) {
        memmove(m_pchData + m_nDataLength, pch, nLength);
    } else {
        int capacity = total;
        if (m_nAllocLength < INT_MAX / 2 && m_nAllocLength * 2 > capacity) capacity = m_nAllocLength * 2;
        char* data = static_cast<char*>(::operator new(static_cast<size_t>(capacity) + 1));
        if (m_pchData) memcpy(data, m_pchData, m_nDataLength);
        memcpy(data + m_nDataLength, pch, nLength);
        ::operator delete(m_pchData);
        m_pchData = data;
        m_nAllocLength = capacity;
    }
    m_pchData[total] = '\0';
    m_nDataLength = total;
}

void CString::Empty() {
    ::operator delete(m_pchData);
    m_pchData = nullptr;
    m_nDataLength = m_nAllocLength = 0;
}

char CString::GetAt(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_nDataLength) throw std::out_of_range("CString::GetAt");
    return m_pchData[nIndex];
}

void CString::SetAt(int nIndex, char ch) {
    if (nIndex < 0 || nIndex >= m_nDataLength) throw std::out_of_range("CString::SetAt");
    m_pchData[nIndex] = ch;
}

char* CString::GetBuffer(int nMinBufLength) {
    if (nMinBufLength < m_nDataLength) nMinBufLength = m_nDataLength;
    Reserve(nMinBufLength, true);
    return m_pchData;
}

void CString::ReleaseBuffer(int nNewLength) {
    if (!m_pchData) {
        m_nDataLength = 0;
        return;
    }
    if (nNewLength < 0) {
        nNewLength = static_cast<int>(strnlen(m_pchData, static_cast<size_t>(m_nAllocLength)));
    }
    // Never beyond the buffer that GetBuffer handed out.
    if (nNewLength > m_nAllocLength) nNewLength = m_nAllocLength;
    m_pchData[nNewLength] = '\0';
    m_nDataLength = nNewLength;
}

char* CString::GetBufferSetLength(int nNewLength) {
    if (nNewLength < 0) nNewLength = 0;
    Reserve(nNewLength, true);
    m_nDataLength = nNewLength;
    m_pchData[nNewLength] = '\0';
    return m_pchData;
}

CString CString::Mid(int nFirst) const { return Mid(nFirst, m_nDataLength - nFirst); }

CString CString::Mid(int nFirst, int nCount) const {
    if (nFirst < 0) nFirst = 0;
    if (nFirst > m_nDataLength) nFirst = m_nDataLength;
    if (nCount < 0) nCount = 0;
    if (nCount > m_nDataLength - nFirst) nCount = m_nDataLength - nFirst;
    return CString(m_pchData ? m_pchData + nFirst : "", nCount);
}

CString CString::Left(int nCount) const { return Mid(0, nCount); }

CString CString::Right(int nCount) const {
    if (nCount < 0) nCount = 0;
    if (nCount > m_nDataLength) nCount = m_nDataLength;
    return Mid(m_nDataLength - nCount, nCount);
}

CString CString::SpanIncluding(const char* pszCharSet) const {
    const char* text = *this;
    return Left(static_cast<int>(strspn(text, pszCharSet)));
}

CString CString::SpanExcluding(const char* pszCharSet) const {
    const char* text = *this;
    return Left(static_cast<int>(strcspn(text, pszCharSet)));
}

int CString::Find(char ch) const { return Find(ch, 0); }

int CString::Find(char ch, int nStart) const {
    if (nStart < 0 || nStart >= m_nDataLength) return -1;
    const void* hit = memchr(m_pchData + nStart, ch, m_nDataLength - nStart);
    return hit ? static_cast<int>(static_cast<const char*>(hit) - m_pchData) : -1;
}

int CString::Find(const char* pszSub) const { return Find(pszSub, 0); }

int CString::Find(const char* pszSub, int nStart) const {
    if (!pszSub || nStart < 0 || nStart > m_nDataLength) return -1;
    const char* text = *this;
    const char* hit = strstr(text + nStart, pszSub);
    return hit ? static_cast<int>(hit - text) : -1;
}

int CString::ReverseFind(char ch) const {
    for (int i = m_nDataLength - 1; i >= 0; --i) {
        if (m_pchData[i] == ch) return i;
    }
    return -1;
}

void CString::MakeUpper() {
    for (int i = 0; i < m_nDataLength; ++i) {
        unsigned char c = m_pchData[i];
        if (c >= 'a' && c <= 'z') m_pchData[i] = static_cast<char>(c - 32);
    }
}

void CString::MakeLower() {
    for (int i = 0; i < m_nDataLength; ++i) {
        unsigned char c = m_pchData[i];
        if (c >= 'A' && c <= 'Z') m_pchData[i] = static_cast<char>(c + 32);
    }
}

void CString::TrimLeft() {
    int n = 0;
    while (n < m_nDataLength && (m_pchData[n] == ' ' || (m_pchData[n] >= '\t' && m_pchData[n] <= '\r'))) ++n;
    if (n) Assign(m_pchData + n, m_nDataLength - n);
}

void CString::TrimRight() {
    int n = m_nDataLength;
    while (n > 0 && (m_pchData[n - 1] == ' ' || (m_pchData[n - 1] >= '\t' && m_pchData[n - 1] <= '\r'))) --n;
    if (m_pchData) {
        m_pchData[n] = '\0';
        m_nDataLength = n;
    }
}

int CString::Compare(const char* psz) const { return strcmp(*this, psz ? psz : ""); }

int CString::CompareNoCase(const char* psz) const { return _stricmp(*this, psz ? psz : ""); }

void CString::Format(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        Empty();
        return;
    }
    Reserve(n, false);
    vsnprintf(m_pchData, static_cast<size_t>(n) + 1, pszFormat, again);
    va_end(again);
    m_nDataLength = n;
}

CString operator+(const CString& a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, const char* b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const char* a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, char b) {
    CString result(a);
    result += b;
    return result;
}

bool operator==(const CString& a, const CString& b) {
    return a.GetLength() == b.GetLength() &&
           memcmp(static_cast<const char*>(a), static_cast<const char*>(b), a.GetLength()) == 0;
}

bool operator==(const CString& a, const char* b) { return strcmp(a, b ? b : "") == 0; }

bool operator==(const char* a, const CString& b) { return b == a; }

//===-- 3. CStringArray -------------------------------------------------===//

CStringArray::CStringArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0) {}

CStringArray::CStringArray(const CStringArray& other) : CStringArray() { Append(other); }

CStringArray& CStringArray::operator=(const CStringArray& other) {
    if (this != &other) {
        RemoveAll();
        Append(other);
    }
    return *this;
}

CStringArray::~CStringArray() { RemoveAll(); }

void CStringArray::SetSize(int nNewSize, int) {
    if (nNewSize < 0) throw std::out_of_range("CStringArray::SetSize");
    if (nNewSize > m_nMaxSize) {
        int capacity = nNewSize;
        if (m_nMaxSize < INT_MAX / 2 && m_nMaxSize * 2 > capacity) capacity = m_nMaxSize * 2;
        if (static_cast<size_t>(capacity) > SIZE_MAX / sizeof(CString)) throw std::bad_alloc();
        auto* data = static_cast<CString*>(::operator new(sizeof(CString) * capacity));
        for (int i = 0; i < m_nSize; ++i) {
            new (&data[i]) CString(std::move(m_pData[i]));
            m_pData[i].~CString();
        }
        ::operator delete(m_pData);
        m_pData = data;
        m_nMaxSize = capacity;
    }
    for (int i = m_nSize; i < nNewSize; ++i) new (&m_pData[i]) CString();
    for (int i = nNewSize; i < m_nSize; ++i) m_pData[i].~CString();
    m_nSize = nNewSize;
}

void CStringArray::RemoveAll() {
    for (int i = 0; i < m_nSize; ++i) m_pData[i].~CString();
    ::operator delete(m_pData);
    m_pData = nullptr;
    m_nSize = m_nMaxSize = 0;
}

const CString& CStringArray::GetAt(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_nSize) throw std::out_of_range("CStringArray::GetAt");
    return m_pData[nIndex];
}

CString& CStringArray::ElementAt(int nIndex) {
    if (nIndex < 0 || nIndex >= m_nSize) throw std::out_of_range("CStringArray::ElementAt");
    return m_pData[nIndex];
}

void CStringArray::SetAt(int nIndex, const char* psz) { ElementAt(nIndex) = psz; }

void CStringArray::SetAtGrow(int nIndex, const char* psz) {
    if (nIndex < 0) throw std::out_of_range("CStringArray::SetAtGrow");
    // Make the new element before growing, so that a failed allocation
    // leaves the array as it was.
    CString value(psz);
    if (nIndex >= m_nSize) SetSize(nIndex + 1);
    m_pData[nIndex] = std::move(value);
}

int CStringArray::Add(const char* psz) {
    SetAtGrow(m_nSize, psz);
    return m_nSize - 1;
}

int CStringArray::Add(const CString& str) {
    CString value(str);
    SetSize(m_nSize + 1);
    m_pData[m_nSize - 1] = std::move(value);
    return m_nSize - 1;
}

int CStringArray::Append(const CStringArray& src) {
    int first = m_nSize;
    int count = src.m_nSize;
    for (int i = 0; i < count; ++i) Add(src.m_pData[i]);
    return first;
}

void CStringArray::InsertAt(int nIndex, const char* psz, int nCount) {
    if (nIndex < 0 || nCount < 0) throw std::out_of_range("CStringArray::InsertAt");
    if (nCount == 0) return;
    CString value(psz);
    int oldSize = m_nSize;
    if (nIndex >= oldSize) {
        SetSize(nIndex + nCount);
    } else {
        SetSize(oldSize + nCount);
        for (int i = oldSize - 1; i >= nIndex; --i) m_pData[i + nCount] = std::move(m_pData[i]);
    }
    for (int i = 0; i < nCount; ++i) m_pData[nIndex + i] = value;
}

void CStringArray::RemoveAt(int nIndex, int nCount) {
    if (nIndex < 0 || nCount < 0 || nIndex + nCount > m_nSize) throw std::out_of_range("CStringArray::RemoveAt");
    for (int i = nIndex; i + nCount < m_nSize; ++i) m_pData[i] = std::move(m_pData[i + nCount]);
    for (int i = m_nSize - nCount; i < m_nSize; ++i) m_pData[i].~CString();
    m_nSize -= nCount;
}

//===-- 4. CTime --------------------------------------------------------===//

CTime::CTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec, int nDST) {
    struct tm t = {};
    t.tm_year = nYear - 1900;
    t.tm_mon = nMonth - 1;
    t.tm_mday = nDay;
    t.tm_hour = nHour;
    t.tm_min = nMin;
    t.tm_sec = nSec;
    t.tm_isdst = nDST;
    m_time = mktime(&t);
}

CTime CTime::GetCurrentTime() { return CTime(w32::CurrentTime()); }

struct tm* CTime::GetLocalTm(struct tm* ptm) const {
    static thread_local struct tm local;
    return localtime_r(&m_time, ptm ? ptm : &local);
}

struct tm* CTime::GetGmtTm(struct tm* ptm) const {
    static thread_local struct tm gmt;
    return gmtime_r(&m_time, ptm ? ptm : &gmt);
}

int CTime::GetYear() const { struct tm t; return GetLocalTm(&t) ? t.tm_year + 1900 : 0; }
int CTime::GetMonth() const { struct tm t; return GetLocalTm(&t) ? t.tm_mon + 1 : 0; }
int CTime::GetDay() const { struct tm t; return GetLocalTm(&t) ? t.tm_mday : 0; }
int CTime::GetHour() const { struct tm t; return GetLocalTm(&t) ? t.tm_hour : 0; }
int CTime::GetMinute() const { struct tm t; return GetLocalTm(&t) ? t.tm_min : 0; }
int CTime::GetSecond() const { struct tm t; return GetLocalTm(&t) ? t.tm_sec : 0; }
int CTime::GetDayOfWeek() const { struct tm t; return GetLocalTm(&t) ? t.tm_wday + 1 : 0; }

//===-- 5. CWnd ---------------------------------------------------------===//

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageA(m_hWnd, message, wParam, lParam);
}
