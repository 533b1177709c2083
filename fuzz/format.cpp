//===-- fuzz/format.cpp - wsprintf with random formats and arguments ------===//
//
// Input: two bytes that give a buffer size (1 to 1024), the format up to a
// zero byte, then the argument cells, 8 bytes each, whose bytes also serve
// as the text that string conversions read.
//
// A conversion may read any cell as a number or as a string pointer, and
// which one it does depends on the format as the formatter parses it. So
// every cell is a pointer into one reserved, readable span of 64 GiB: its
// low 32 bits are as random as the input makes them, and read as a string
// it is either the input's text (cells with their top bit set point there)
// or untouched zero pages, an empty string. Narrow or wide, every string
// ends inside the span. At most 21 conversions (each takes at most three
// cells: width, precision, value) keep every read among the 64 cells.
//
// Checked: wvsprintfA and wsprintfA write within their 1024 bytes (the
// block is exactly that large) and end the text with a zero at the count
// they return; the formatter with a smaller buffer writes within it and
// gives a prefix of the same text.
//
//   build/fuzz/fuzz/fuzz_format -dict=fuzz/dict/format.dict fuzz/corpus/format
//===----------------------------------------------------------------------===//
#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FormatInternal.h"
#include "Win32Internal.h"
#include "fuzz/support/FuzzSupport.h"
#include "tmcommon.h"

namespace {

constexpr size_t kCells = 64;
constexpr size_t kMaxConversions = 21;
constexpr size_t kSpan = size_t(1) << 36;
// The input's text at the start of the span, with zeros after it.
constexpr size_t kTextRoom = 1 << 16;

char* Span() {
    static char* span = [] {
        void* p = mmap(nullptr, kSpan, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED || mprotect(p, kTextRoom, PROT_READ | PROT_WRITE) != 0) {
            tmfuzz::Fail("cannot reserve the span for the argument cells");
        }
        return static_cast<char*>(p);
    }();
    return span;
}

// The zero pages of the span are mapped as they are read; after many runs
// they are dropped again.
void Refresh(char* span) {
    static unsigned runs = 0;
    if (++runs % 100000 != 0) return;
    if (madvise(span + kTextRoom, kSpan - kTextRoom, MADV_DONTNEED) != 0) tmfuzz::Fail("madvise failed");
}

using Cell = uintptr_t;

int Vformat(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = wvsprintfA(out, format, args);
    va_end(args);
    return n;
}

int VformatSized(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = w32::FormatV(out, size, format, args);
    va_end(args);
    return n;
}

#define TM_CELLS_8(c, i) c[i], c[i + 1], c[i + 2], c[i + 3], c[i + 4], c[i + 5], c[i + 6], c[i + 7]
#define TM_CELLS(c)                                                                                      \
    TM_CELLS_8(c, 0), TM_CELLS_8(c, 8), TM_CELLS_8(c, 16), TM_CELLS_8(c, 24), TM_CELLS_8(c, 32),        \
        TM_CELLS_8(c, 40), TM_CELLS_8(c, 48), TM_CELLS_8(c, 56)

// The format cut before its conversion number kMaxConversions + 1.
std::string Bounded(std::string format) {
    size_t conversions = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && ++conversions > kMaxConversions) {
            format.resize(i);
            break;
        }
    }
    return format;
}

void CheckOutput(const char* out, int n, size_t size, const char* what) {
    tmfuzz::Check(n >= 0 && static_cast<size_t>(n) < size, what);
    tmfuzz::Check(out[n] == '\0', what);
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const size_t small = 1 + (data[0] | data[1] << 8) % 1024;
    const std::string format = Bounded(UpToZero(data + 2, size - 2));
    const size_t cellsAt = std::min(size, 2 + format.size() + 1);
    const uint8_t* cellBytes = data + cellsAt;
    const size_t cellSize = std::min(size - cellsAt, kTextRoom - 8);

    char* span = Span();
    Refresh(span);
    memset(span, 0, std::min(kTextRoom, cellSize + 8));
    memcpy(span, cellBytes, cellSize);
    Cell cells[kCells];
    for (size_t i = 0; i < kCells; ++i) {
        uint64_t v = 0;
        if (cellSize >= 8 * (i + 1)) {
            memcpy(&v, cellBytes + 8 * i, 8);
        } else {
            v = (uint64_t(1) << 63) | i * 8;  // the text, where the input has no cell
        }
        const uint64_t offset = v >> 63 ? v % (cellSize + 1) : v % (kSpan - kTextRoom);
        cells[i] = reinterpret_cast<Cell>(span + offset);
    }

    const Text fmt(format);
    std::unique_ptr<char[]> out(new char[1024]), again(new char[1024]), cut(new char[small]);
    const int n = Vformat(out.get(), fmt.get(), TM_CELLS(cells));
    CheckOutput(out.get(), n, 1024, "wvsprintfA wrote past its count or its buffer");
    const int m = wsprintfA(again.get(), fmt.get(), TM_CELLS(cells));
    CheckOutput(again.get(), m, 1024, "wsprintfA wrote past its count or its buffer");
    Check(m == n && memcmp(out.get(), again.get(), static_cast<size_t>(n)) == 0, "wsprintfA and wvsprintfA differ");
    Check(fmt.bytes() == Text(format).bytes(), "the formatter changed its format");

    const int k = VformatSized(cut.get(), small, fmt.get(), TM_CELLS(cells));
    CheckOutput(cut.get(), k, small, "the formatter wrote past a smaller buffer");
    Check(static_cast<size_t>(k) == std::min<size_t>(static_cast<size_t>(n), small - 1) &&
              memcmp(cut.get(), out.get(), static_cast<size_t>(k)) == 0,
          "a smaller buffer does not hold a prefix of the same text");
}
