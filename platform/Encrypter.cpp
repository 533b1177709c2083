//===-- platform/Encrypter.cpp - The keyed byte scrambler (CConnMaker) ----===//
//
// Make turns each byte c of a text into ((key[i] + c) mod 256) XOR
// key[(i + 1) mod n], written "%02X"; Unmake reads the digits back in
// pairs and undoes it. The key position i starts at 0 on every call and
// steps by two (mod n) after each byte, so an even key uses every other
// character as the added one and an odd key walks through all of them.
//
// Unmake takes a digit as d - '0' when it is a decimal digit and d - 0x37
// otherwise: only the upper-case hexadecimal that Make writes decodes to
// the original; an unpaired last character is ignored.
//
// The text given to Make or Unmake may be the object's own last result:
// the new result is made before the old one is freed.
//
// Diagnostics: a result or key buffer that cannot be allocated is reported
// with NewError (the old result stays); a caught exception or fault with
// DebugX. Either way Make and Unmake return a static empty text, never the
// result buffer.
// Limits: an empty or null key is refused: Make and Unmake give "" and
// leave the result buffer as it was. A null text gives "" as well.
// Copies: a copy owns its own key and result buffer; an assignment that
// cannot allocate leaves the target as it was.
//===----------------------------------------------------------------------===//
#include <cstring>
#include <new>

#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmplatform.h"

namespace {

const char kSourceFile[] = "Encrypter";

// The text returned after a failure or a refusal.
const char kEmptyText[] = "";

// A copy of text in a buffer of its own, or nullptr after reporting that
// it could not be allocated.
char* CopyText(const char* text, int line) {
    size_t length = strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (!copy) {
        NewError(kSourceFile, line);
        return nullptr;
    }
    memcpy(copy, text, length + 1);
    return copy;
}

// Makes result the object's result buffer. The old buffer goes only now:
// the text just read may have been that buffer (Make(Unmake(s)) on one
// object).
const char* Replace(char*& current, char* result) {
    delete[] current;
    current = result;
    return result;
}

int DigitValue(unsigned char d) { return (d >= '0' && d <= '9') ? d - 0x30 : d - 0x37; }

// The key position after i + step, mod n, without a division per byte.
size_t KeyStep(size_t i, size_t step, size_t n) {
    i += step;
    while (i >= n) i -= n;
    return i;
}

}  // namespace

CConnMaker::CConnMaker(const char* pszKey) : m_pKey(nullptr), m_pResult(nullptr) {
    tmc::Guarded(kSourceFile, __LINE__, [&] { m_pKey = CopyText(pszKey ? pszKey : "", __LINE__); });
}

CConnMaker::CConnMaker(const CConnMaker& other) : m_pKey(nullptr), m_pResult(nullptr) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        if (other.m_pKey) m_pKey = CopyText(other.m_pKey, __LINE__);
        if (other.m_pResult) m_pResult = CopyText(other.m_pResult, __LINE__);
    });
}

CConnMaker& CConnMaker::operator=(const CConnMaker& other) {
    if (this == &other) return *this;
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        char* key = other.m_pKey ? CopyText(other.m_pKey, __LINE__) : nullptr;
        if (other.m_pKey && !key) return;
        char* result = other.m_pResult ? CopyText(other.m_pResult, __LINE__) : nullptr;
        if (other.m_pResult && !result) {
            delete[] key;
            return;
        }
        delete[] m_pKey;
        delete[] m_pResult;
        m_pKey = key;
        m_pResult = result;
    });
    return *this;
}

CConnMaker::~CConnMaker() {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        delete[] m_pKey;
        delete[] m_pResult;
        m_pKey = nullptr;
        m_pResult = nullptr;
    });
}

const char* CConnMaker::Make(const char* pszText) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<const char*>(kEmptyText), [&]() -> const char* {
        size_t keyLength = m_pKey ? strlen(m_pKey) : 0;
        if (keyLength == 0 || !pszText) return kEmptyText;
        size_t length = strlen(pszText);
        char* result = new (std::nothrow) char[2 * length + 1];
        if (!result) {
            NewError(kSourceFile, __LINE__);
            return kEmptyText;
        }
        // Measured and read before the old result is let go: the text may
        // be that result, and a text that cannot be read leaves the object
        // as it was.
        static const char kHex[] = "0123456789ABCDEF";
        const unsigned char* key = reinterpret_cast<const unsigned char*>(m_pKey);
        const unsigned char* text = reinterpret_cast<const unsigned char*>(pszText);
        size_t at = 0;
        for (size_t k = 0; k < length; ++k) {
            unsigned char e = static_cast<unsigned char>((key[at] + text[k]) & 0xFF) ^ key[KeyStep(at, 1, keyLength)];
            result[2 * k] = kHex[e >> 4];
            result[2 * k + 1] = kHex[e & 0x0F];
            at = KeyStep(at, 2, keyLength);
        }
        result[2 * length] = '\0';
        return Replace(m_pResult, result);
    });
}

const char* CConnMaker::Unmake(const char* pszScrambled) {
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<const char*>(kEmptyText), [&]() -> const char* {
        size_t keyLength = m_pKey ? strlen(m_pKey) : 0;
        if (keyLength == 0 || !pszScrambled) return kEmptyText;
        size_t length = strlen(pszScrambled);
        char* result = new (std::nothrow) char[length / 2 + 1];
        if (!result) {
            NewError(kSourceFile, __LINE__);
            return kEmptyText;
        }
        const unsigned char* key = reinterpret_cast<const unsigned char*>(m_pKey);
        const unsigned char* text = reinterpret_cast<const unsigned char*>(pszScrambled);
        size_t at = 0;
        for (size_t k = 0; k < length / 2; ++k) {
            // Neither digit is checked: a character outside 0-9 and A-F
            // gives a value outside 0-15, and the sum is cut to a byte.
            unsigned char b = static_cast<unsigned char>(16 * DigitValue(text[2 * k]) + DigitValue(text[2 * k + 1]));
            unsigned char c = static_cast<unsigned char>((b ^ key[KeyStep(at, 1, keyLength)]) - key[at]);
            result[k] = static_cast<char>(c);
            at = KeyStep(at, 2, keyLength);
        }
        result[length / 2] = '\0';
        return Replace(m_pResult, result);
    });
}
