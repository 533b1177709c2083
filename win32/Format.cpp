//===-- win32/Format.cpp - wsprintf, _splitpath and case-blind compares ---===//
//
// wvsprintfA formats as Windows' wsprintf family does: flags, width and
// precision for integers, characters, strings and pointers; no floating
// point; output cut at 1024 bytes with its terminating zero. A conversion
// wsprintf does not know is written as the character itself. Sizes are
// those of 64-bit Windows, not of this platform's C: %ld reads 32 bits,
// %I64d and %Id 64, %p writes 16 upper-case hex digits.
//===----------------------------------------------------------------------===//
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "FormatInternal.h"
#include "Win32Internal.h"

namespace w32 {
namespace {

// Appends text to the output, cut to the room left (one byte stays for the
// terminating zero).
struct Output {
    char* buffer;
    size_t size;
    size_t length = 0;

    void Put(const char* text, size_t n) {
        if (length + 1 >= size) return;
        size_t room = size - 1 - length;
        if (n > room) n = room;
        memcpy(buffer + length, text, n);
        length += n;
    }
};

}  // namespace

int FormatV(char* buffer, size_t size, const char* format, va_list args) {
    if (!buffer || size == 0) return 0;
    Output out{buffer, size};
    if (!format) format = "";
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* run = p;
            while (*p && *p != '%') ++p;
            out.Put(run, p - run);
            continue;
        }
        const char* start = p++;
        // Flags, width, precision: passed to the C library as written.
        char conversion[32];
        size_t c = 0;
        conversion[c++] = '%';
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            if (c < 8) conversion[c++] = *p;
            ++p;
        }
        // Widths and precisions are cut to 4096, from the format or from
        // an argument alike: the C library pads a width of two billion in
        // seconds, for a text that the buffer cuts to 1023 characters.
        int width = -1, precision = -1;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width > 4096) width = 4096;
            ++p;
        } else {
            while (isdigit(static_cast<unsigned char>(*p))) {
                width = (width < 0 ? 0 : width) * 10 + (*p - '0');
                if (width > 4096) width = 4096;
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                if (precision > 4096) precision = 4096;
                ++p;
            } else {
                while (isdigit(static_cast<unsigned char>(*p))) {
                    precision = precision * 10 + (*p - '0');
                    if (precision > 4096) precision = 4096;
                    ++p;
                }
            }
        }
        // Size, by Windows' rules on a 64-bit system: h 16 bits, l and I32
        // 32 bits (l is not C's long), I64 64 bits, I alone the size of a
        // pointer; w (wide) is read and ignored, this layer has no wide
        // text. ll is no Windows size; it is taken as 64 bits, as a C
        // caller means it.
        enum class Size { kInt, kShort, kInt64 } argSize = Size::kInt;
        for (;;) {
            if (*p == 'h') { argSize = Size::kShort; ++p; }
            else if (p[0] == 'l' && p[1] == 'l') { argSize = Size::kInt64; p += 2; }
            else if (*p == 'l') { argSize = Size::kInt; ++p; }
            else if (*p == 'w') { ++p; }
            else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { argSize = Size::kInt64; p += 3; }
            else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { argSize = Size::kInt; p += 3; }
            else if (*p == 'I') { argSize = sizeof(void*) == 8 ? Size::kInt64 : Size::kInt; ++p; }
            else break;
        }
        const bool size64 = argSize == Size::kInt64, isShort = argSize == Size::kShort;
        char type = *p;
        if (!type) {
            out.Put(start, p - start);
            break;
        }
        ++p;
        char text[4200];
        int n = -1;
        auto finish = [&](const char* length, char t) {
            size_t k = c;
            char pattern[48];
            memcpy(pattern, conversion, k);
            if (width >= 0) k += snprintf(pattern + k, sizeof pattern - k, "%d", width);
            if (precision >= 0) k += snprintf(pattern + k, sizeof pattern - k, ".%d", precision);
            for (const char* l = length; *l; ++l) pattern[k++] = *l;
            pattern[k++] = t;
            pattern[k] = 0;
            memcpy(conversion, pattern, k + 1);
        };
        switch (type) {
            case 'd':
            case 'i':
                finish(size64 ? "ll" : "", 'd');
                if (size64) n = snprintf(text, sizeof text, conversion, va_arg(args, long long));
                else n = snprintf(text, sizeof text, conversion, isShort ? (short)va_arg(args, int) : va_arg(args, int));
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                finish(size64 ? "ll" : "", type);
                if (size64) {
                    n = snprintf(text, sizeof text, conversion, va_arg(args, unsigned long long));
                } else {
                    unsigned int v = va_arg(args, unsigned int);
                    if (isShort) v &= 0xFFFFu;
                    n = snprintf(text, sizeof text, conversion, v);
                }
                break;
            case 'c':
            case 'C':
                finish("", 'c');
                n = snprintf(text, sizeof text, conversion, va_arg(args, int));
                break;
            case 's':
            case 'S': {
                const char* s = va_arg(args, const char*);
                finish("", 's');
                // The text may be longer than the local buffer: measure it
                // and write it straight to the output.
                if (!s) s = "(null)";
                size_t len = precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : strlen(s);
                size_t pad = width > 0 && static_cast<size_t>(width) > len ? width - len : 0;
                bool left = memchr(conversion, '-', strlen(conversion)) != nullptr;
                static const char spaces[64] = "                                                               ";
                if (!left) for (size_t k = pad; k > 0;) { size_t m = k > 63 ? 63 : k; out.Put(spaces, m); k -= m; }
                out.Put(s, len);
                if (left) for (size_t k = pad; k > 0;) { size_t m = k > 63 ? 63 : k; out.Put(spaces, m); k -= m; }
                continue;
            }
            case 'p':
                // Windows writes a pointer as all its hex digits, upper
                // case, without "0x"; flags, width and precision change
                // nothing.
                n = snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
                break;
            case '%':
                out.Put("%", 1);
                continue;
            default:
                // Unknown conversion: wsprintf writes the character.
                out.Put(&type, 1);
                continue;
        }
        if (n > 0) out.Put(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
    }
    buffer[out.length] = '\0';
    return static_cast<int>(out.length);
}

}  // namespace w32

int wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
    return w32::FormatV(lpOut, 1024, lpFmt, arglist);
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    int n = w32::FormatV(lpOut, 1024, lpFmt, args);
    va_end(args);
    return n;
}

namespace {

void CopyPart(char* out, size_t size, const char* from, size_t n) {
    if (!out) return;
    if (n >= size) n = size - 1;
    memcpy(out, from, n);
    out[n] = '\0';
}

}  // namespace

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    if (!path) path = "";
    const char* p = path;
    if (isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        CopyPart(drive, _MAX_DRIVE, p, 2);
        p += 2;
    } else {
        CopyPart(drive, _MAX_DRIVE, p, 0);
    }
    const char* lastSep = nullptr;
    for (const char* q = p; *q; ++q) {
        if (*q == '/' || *q == '\\') lastSep = q;
    }
    const char* name = lastSep ? lastSep + 1 : p;
    CopyPart(dir, _MAX_DIR, p, name - p);
    const char* dot = strrchr(name, '.');
    size_t nameLen = dot ? static_cast<size_t>(dot - name) : strlen(name);
    CopyPart(fname, _MAX_FNAME, name, nameLen);
    CopyPart(ext, _MAX_EXT, dot ? dot : "", dot ? strlen(dot) : 0);
}

int _strnicmp(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int ca = tolower(static_cast<unsigned char>(a[i]));
        int cb = tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, SIZE_MAX); }
