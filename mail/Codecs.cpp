//===-- mail/Codecs.cpp - Base64 and uuencode, a line at a time -----------===//
//
// MimeEncode writes a file as base64 lines of 64 characters (48 bytes);
// MimeEncodeStr encodes a byte string without line breaks. MimeDecodeLine
// decodes base64 text, skipping every byte outside the alphabet ("=" and
// white space included) wherever it stands, and decodes a final group of
// 2 or 3 characters into 1 or 2 bytes. MimeDecodeLineEx decodes whole
// groups only and keeps the 0 to 3 characters left over in the caller's
// carry for the next line. UUDecodeLine decodes one uuencoded line.
//
// The work is done a block at a time by the loops of CodecKernels.h. The
// vector loops gather the values of a text's characters in one pass that
// also finds its end, and pack them into bytes; with the scalar loops the
// text is measured first, and what the block loop leaves over (invalid
// characters, a group split by them, the end of the text) goes a
// character at a time here. Every path gives the same bytes.
//
// Diagnostics: MimeEncode returns 0 when the file cannot be opened or read,
// or a line cannot be written; MimeDecodeLineEx reports a caught exception
// or fault through DebugX and returns 0; the rest report nothing.
// Limits: callers size the outputs (see tmmail.h and the functions below);
// nothing is written past what a function counts, except the NUL where it
// writes one.
//===----------------------------------------------------------------------===//
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "logging/Trap.h"
#include "mail/CodecKernels.h"
#include "tmmail.h"

namespace {

const char kSourceFile[] = "Utilities";

// Values gathered per round by MimeDecodeLine, and at most by one call of
// MimeDecodeLineEx (a longer line takes the measured path).
constexpr size_t kGatherValues = 2048;
constexpr size_t kLineValues = 512;

}  // namespace

namespace tmc::codecs {

const char kAlphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

constexpr std::array<uint8_t, 256> MakeValues() {
    std::array<uint8_t, 256> values{};
    for (auto& v : values) v = kInvalid;
    for (int i = 0; i < 64; ++i) {
        values[static_cast<uint8_t>("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i])] =
            static_cast<uint8_t>(i);
    }
    return values;
}

}  // namespace

const std::array<uint8_t, 256> kValue = MakeValues();

namespace {

// Two characters for each 12-bit value, the first in the low byte, so that
// a group of three bytes (24 bits) is two table reads.
constexpr std::array<uint16_t, 4096> MakePairs() {
    std::array<uint16_t, 4096> pairs{};
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int v = 0; v < 4096; ++v) {
        pairs[v] = static_cast<uint16_t>(static_cast<uint8_t>(alphabet[v >> 6]) |
                                         static_cast<uint8_t>(alphabet[v & 63]) << 8);
    }
    return pairs;
}
constexpr std::array<uint16_t, 4096> kPairs = MakePairs();

// A character's value already shifted to its place in a group's 24 bits,
// one table per place; a byte outside the alphabet sets bit 31 in every
// table, so one OR of four reads decodes a group and tells whether all four
// characters were valid.
constexpr uint32_t kBadGroup = 0x80000000u;

constexpr std::array<uint32_t, 256> MakePlace(int shift) {
    std::array<uint32_t, 256> table{};
    constexpr std::array<uint8_t, 256> values = MakeValues();
    for (int c = 0; c < 256; ++c) {
        table[c] = values[c] == kInvalid ? kBadGroup : static_cast<uint32_t>(values[c]) << shift;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kPlace0 = MakePlace(18);
constexpr std::array<uint32_t, 256> kPlace1 = MakePlace(12);
constexpr std::array<uint32_t, 256> kPlace2 = MakePlace(6);
constexpr std::array<uint32_t, 256> kPlace3 = MakePlace(0);

// Writes the three bytes of a group's 24 bits, and the byte after them.
inline void StoreGroupWide(uint8_t* dst, uint32_t bits) {
    uint32_t word = bits << 8;
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    memcpy(dst, &word, 4);
}

size_t EncodeGroupsScalar(const uint8_t* src, size_t n, size_t /*readable*/, char* dst) {
    size_t groups = n / 3;
    for (size_t g = 0; g < groups; ++g, src += 3, dst += 4) {
        uint32_t bits = static_cast<uint32_t>(src[0]) << 16 | static_cast<uint32_t>(src[1]) << 8 | src[2];
        uint32_t chars = static_cast<uint32_t>(kPairs[bits >> 12]) | static_cast<uint32_t>(kPairs[bits & 0xFFF]) << 16;
        if constexpr (std::endian::native == std::endian::big) chars = __builtin_bswap32(chars);
        memcpy(dst, &chars, 4);
    }
    return groups * 3;
}

size_t DecodeRunScalar(const char* src, size_t len, uint8_t* dst, size_t* written) {
    const auto* s = reinterpret_cast<const uint8_t*>(src);
    size_t i = 0, o = 0;
    // Two groups a round while there is room: the reads of the second do
    // not wait for the first.
    while (i + 8 <= len) {
        uint32_t a = kPlace0[s[i]] | kPlace1[s[i + 1]] | kPlace2[s[i + 2]] | kPlace3[s[i + 3]];
        uint32_t b = kPlace0[s[i + 4]] | kPlace1[s[i + 5]] | kPlace2[s[i + 6]] | kPlace3[s[i + 7]];
        if ((a | b) & kBadGroup) break;
        StoreGroupWide(dst + o, a);
        StoreGroupWide(dst + o + 3, b);
        i += 8;
        o += 6;
    }
    while (i + 4 <= len) {
        uint32_t a = kPlace0[s[i]] | kPlace1[s[i + 1]] | kPlace2[s[i + 2]] | kPlace3[s[i + 3]];
        if (a & kBadGroup) break;
        StoreGroupWide(dst + o, a);
        i += 4;
        o += 3;
    }
    *written = o;
    return i;
}

void PackGroupsScalar(const uint8_t* values, size_t groups, uint8_t* dst) {
    for (size_t g = 0; g < groups; ++g, values += 4, dst += 3) {
        uint32_t bits = static_cast<uint32_t>(values[0]) << 18 | static_cast<uint32_t>(values[1]) << 12 |
                        static_cast<uint32_t>(values[2]) << 6 | values[3];
        dst[0] = static_cast<uint8_t>(bits >> 16);
        dst[1] = static_cast<uint8_t>(bits >> 8);
        dst[2] = static_cast<uint8_t>(bits);
    }
}

std::atomic<const Kernels*> g_kernels{nullptr};

}  // namespace

const Kernels kScalarKernels = {"scalar", EncodeGroupsScalar, DecodeRunScalar, nullptr, PackGroupsScalar, nullptr};

const Kernels& ActiveKernels() {
    const Kernels* k = g_kernels.load(std::memory_order_acquire);
    if (!k) {
        k = Avx2Kernels();
        if (!k) k = &kScalarKernels;
        g_kernels.store(k, std::memory_order_release);
    }
    return *k;
}

void UseKernels(const Kernels* kernels) { g_kernels.store(kernels, std::memory_order_release); }

}  // namespace tmc::codecs

namespace {

using namespace tmc::codecs;

// Encodes n bytes with the final group padded; writes 4 characters per
// started group and no NUL; may read src up to src + readable. Returns the
// characters written.
size_t EncodeBytes(const uint8_t* src, size_t n, size_t readable, char* dst, const Kernels& k) {
    size_t done = k.encodeGroups(src, n, readable, dst);
    char* d = dst + done / 3 * 4;
    size_t rest = n - done;
    if (rest > 0) {
        // The bytes missing from the final group count as zero.
        uint32_t bits = static_cast<uint32_t>(src[done]) << 16;
        if (rest == 2) bits |= static_cast<uint32_t>(src[done + 1]) << 8;
        d[0] = kAlphabet[bits >> 18];
        d[1] = kAlphabet[(bits >> 12) & 63];
        d[2] = rest == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
        d[3] = '=';
        d += 4;
    }
    return static_cast<size_t>(d - dst);
}

// A base64 decoding in progress: the valid characters of a group not yet
// complete, and their values.
struct Base64Stream {
    uint32_t bits = 0;
    int pending = 0;
    char chars[4] = {};
};

// Decodes text into out, continuing the stream's open group; returns the
// bytes written (3 per group completed). Writes at most the byte after.
size_t Feed(Base64Stream& st, const char* text, size_t len, uint8_t* out, const Kernels& k) {
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0, o = 0;
    while (i < len) {
        // At a group's start with a valid character, hand the run to the
        // block loop; it stops before the first group with another byte.
        if (st.pending == 0 && kValue[s[i]] != kInvalid) {
            size_t written;
            i += k.decodeRun(text + i, len - i, out + o, &written);
            o += written;
            if (i >= len) break;
        }
        uint8_t c = s[i++];
        uint8_t v = kValue[c];
        if (v == kInvalid) continue;
        st.chars[st.pending] = static_cast<char>(c);
        st.bits = st.bits << 6 | v;
        if (++st.pending == 4) {
            out[o] = static_cast<uint8_t>(st.bits >> 16);
            out[o + 1] = static_cast<uint8_t>(st.bits >> 8);
            out[o + 2] = static_cast<uint8_t>(st.bits);
            o += 3;
            st.bits = 0;
            st.pending = 0;
        }
    }
    return o;
}

// The bytes of an incomplete final group: none for one character, one for
// two, two for three.
size_t FinishPartial(const Base64Stream& st, uint8_t* out) {
    if (st.pending == 2) {
        out[0] = static_cast<uint8_t>(st.bits >> 4);
        return 1;
    }
    if (st.pending == 3) {
        out[0] = static_cast<uint8_t>(st.bits >> 10);
        out[1] = static_cast<uint8_t>(st.bits >> 2);
        return 2;
    }
    return 0;
}

// The same from the values of the 0 to 3 characters of a final group.
size_t FinishPartialValues(const uint8_t* values, size_t count, uint8_t* out) {
    if (count < 2) return 0;
    out[0] = static_cast<uint8_t>(values[0] << 2 | values[1] >> 4);
    if (count == 2) return 1;
    out[1] = static_cast<uint8_t>(values[1] << 4 | values[2] >> 2);
    return 2;
}

bool Overlap(const void* a, size_t aLen, const void* b, size_t bLen) {
    auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + bLen && pb < pa + aLen;
}

// MimeDecodeLineEx when the output shares memory with the line or the
// carry (a caller decoding a line in place): the valid characters are
// gathered first, so that no output overtakes the text still to be read.
// Works on the stack for up to 255 characters, on the heap beyond.
int DecodeThroughWorkBuffer(const char* line, size_t lineLen, uint8_t* out, char* carry, size_t carryLen) {
    char stackWork[256];
    std::unique_ptr<char[]> heapWork;
    char* work = stackWork;
    if (carryLen + lineLen > 255) {
        heapWork.reset(new char[carryLen + lineLen + 1]);
        work = heapWork.get();
    }
    size_t n = 0;
    for (const char* p : {static_cast<const char*>(carry), line}) {
        for (; *p; ++p) {
            if (kValue[static_cast<uint8_t>(*p)] != kInvalid) work[n++] = *p;
        }
    }
    size_t rest = n % 4;
    memcpy(carry, work + n - rest, rest);
    carry[rest] = '\0';
    work[n - rest] = '\0';
    return MimeDecodeLine(work, out);
}

// White space as isspace gives it in the "C" locale, whatever locale the
// process has chosen: a uuencoded line is ASCII.
inline bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A uuencoded character's value (its code minus 32, kept to 6 bits)
// shifted to its place in a group's 24 bits; codes whose value minus 32,
// kept to 8 bits, is above 64 (below the space, above the grave accent)
// set bit 31.
constexpr std::array<uint32_t, 256> MakeUuPlace(int shift) {
    std::array<uint32_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        uint8_t v = static_cast<uint8_t>(c - 32);
        table[c] = v > 64 ? kBadGroup : static_cast<uint32_t>(v & 63) << shift;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kUuPlace0 = MakeUuPlace(18);
constexpr std::array<uint32_t, 256> kUuPlace1 = MakeUuPlace(12);
constexpr std::array<uint32_t, 256> kUuPlace2 = MakeUuPlace(6);
constexpr std::array<uint32_t, 256> kUuPlace3 = MakeUuPlace(0);

}  // namespace

int MimeEncode(FILE* fpOut, const char* pszPath) {
    if (!fpOut || !pszPath) return 0;
    FILE* in = tm_fopen(pszPath, "rb");
    if (!in) return 0;
    const Kernels& k = ActiveKernels();
    // Many lines' worth per read; a short read happens only at the end of
    // the file, so every line but the last still holds 48 bytes.
    constexpr size_t kLineBytes = 48;
    uint8_t block[kLineBytes * 1024];
    char line[64 + 1];
    bool ok = true;
    // A stream without a buffer may take a failed write as done and only
    // set its error flag; an error flag raised here counts as a failure.
    bool hadError = ferror(fpOut) != 0;
    for (;;) {
        size_t got = fread(block, 1, sizeof block, in);
        for (size_t at = 0; at < got && ok; at += kLineBytes) {
            size_t take = got - at < kLineBytes ? got - at : kLineBytes;
            size_t len = EncodeBytes(block + at, take, got - at, line, k);
            line[len++] = '\n';
            // One write per line: a text stream of the layer passes each
            // write straight to the file.
            ok = fwrite(line, 1, len, fpOut) == len && (hadError || !ferror(fpOut));
        }
        if (!ok || got < sizeof block) break;
    }
    // A read error would leave the attachment cut short; the caller learns
    // of it, as of a line that could not be written.
    if (ferror(in)) ok = false;
    fclose(in);
    return ok ? 1 : 0;
}

void MimeEncodeStr(const char* pSource, char* pszDest, int nLength) {
    if (!pszDest) return;
    size_t n = 0;
    if (pSource) {
        if (nLength == -1) n = strlen(pSource);
        else if (nLength > 0) n = static_cast<size_t>(nLength);
    }
    size_t len = EncodeBytes(reinterpret_cast<const uint8_t*>(pSource), n, n, pszDest, ActiveKernels());
    pszDest[len] = '\0';
}

int MimeDecodeLine(const char* pszText, unsigned char* pOut) {
    if (!pOut) return 0;
    if (!pszText) pszText = "";
    const Kernels& k = ActiveKernels();
    // The vector loops read the text once: its end is found in the same
    // pass that gathers its characters. A line of ordinary length is
    // decoded whole in registers.
    if (k.decodeLine) {
        uint8_t rest[3];
        int count = k.decodeLine(pszText, pOut, rest);
        if (count >= 0) {
            size_t o = static_cast<size_t>(count) / 4 * 3;
            o += FinishPartialValues(rest, static_cast<size_t>(count) % 4, pOut + o);
            pOut[o] = '\0';
            return static_cast<int>(o);
        }
    }
    if (k.gatherText) {
        // Each round's whole groups are packed while their values are still
        // in the cache. The output never overtakes the text read so far (3
        // bytes for at least 4 characters), so a text decoded over itself
        // comes out right.
        alignas(32) uint8_t values[kGatherValues];
        size_t n = 0, o = 0;
        for (const char* p = pszText; p;) {
            n += k.gatherText(p, values + n, sizeof values - n, &p);
            size_t groups = n / 4;
            k.packGroups(values, groups, pOut + o);
            o += groups * 3;
            memmove(values, values + groups * 4, n % 4);
            n %= 4;
        }
        o += FinishPartialValues(values, n, pOut + o);
        pOut[o] = '\0';
        return static_cast<int>(o);
    }
    // The text is walked in pieces, each measured just before it is
    // decoded: a long text then passes through memory once, not twice.
    constexpr size_t kPiece = 16384;
    Base64Stream st;
    size_t o = 0;
    for (const char* p = pszText;;) {
        size_t len = strnlen(p, kPiece);
        o += Feed(st, p, len, pOut + o, k);
        if (len < kPiece) break;
        p += len;
    }
    o += FinishPartial(st, pOut + o);
    pOut[o] = '\0';
    return static_cast<int>(o);
}

int MimeDecodeLineEx(const char* pszLine, unsigned char* pOut, char* pszCarry) {
    return tmc::Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        // Trapped like the fault that reading through them would raise.
        if (!pszLine || !pOut || !pszCarry) throw std::invalid_argument("MimeDecodeLineEx: null pointer");
        const Kernels& k = ActiveKernels();
        // An empty carry and a line of ordinary length: decoded whole. The
        // new carry is written after the output; when it could lie in the
        // output (which is at most 72 bytes and its NUL here), the longer
        // way below keeps the order the work buffer gives.
        auto carryAt = reinterpret_cast<uintptr_t>(pszCarry), outAt = reinterpret_cast<uintptr_t>(pOut);
        if (k.decodeLine && *pszCarry == '\0' && (carryAt + 4 <= outAt || carryAt >= outAt + 73)) {
            uint8_t rest[3];
            int count = k.decodeLine(pszLine, pOut, rest);
            if (count >= 0) {
                size_t groups = static_cast<size_t>(count) / 4, left = static_cast<size_t>(count) % 4;
                for (size_t i = 0; i < left; ++i) pszCarry[i] = kAlphabet[rest[i]];
                pszCarry[left] = '\0';
                pOut[groups * 3] = '\0';
                return static_cast<int>(groups * 3);
            }
        }
        if (k.gatherText) {
            // The values of carry and line gathered first, in one pass that
            // also finds the line's end; a line of ordinary length fits.
            // Everything is read before anything is written, so an output
            // over the line or the carry needs no care of its own.
            alignas(32) uint8_t values[kLineValues];
            size_t n = 0;
            const char* c = pszCarry;
            for (; *c && n < 32; ++c) {
                uint8_t v = kValue[static_cast<uint8_t>(*c)];
                values[n] = v;
                n += v != kInvalid;
            }
            const char* rest = c;
            if (*c == '\0') n += k.gatherText(pszLine, values + n, sizeof values - n, &rest);
            if (rest == nullptr) {
                size_t groups = n / 4, left = n % 4;
                for (size_t i = 0; i < left; ++i) pszCarry[i] = kAlphabet[values[groups * 4 + i]];
                pszCarry[left] = '\0';
                k.packGroups(values, groups, pOut);
                pOut[groups * 3] = '\0';
                return static_cast<int>(groups * 3);
            }
            // A long line, or a carry that is no carry: measured first.
        }
        size_t carryLen = strlen(pszCarry);
        size_t lineLen = strlen(pszLine);
        size_t outMax = (carryLen + lineLen) / 4 * 3 + 1;
        // The carry is read over its length and written over up to 4 bytes.
        size_t carrySpan = carryLen + 1 > 4 ? carryLen + 1 : 4;
        if (Overlap(pOut, outMax, pszLine, lineLen + 1) || Overlap(pOut, outMax, pszCarry, carrySpan)) {
            return DecodeThroughWorkBuffer(pszLine, lineLen, pOut, pszCarry, carryLen);
        }
        // The carry's characters come first, then the line's; whole groups
        // are decoded as they complete and what is left waits in the carry.
        Base64Stream st;
        size_t o = Feed(st, pszCarry, carryLen, pOut, k);
        o += Feed(st, pszLine, lineLen, pOut + o, k);
        memcpy(pszCarry, st.chars, static_cast<size_t>(st.pending));
        pszCarry[st.pending] = '\0';
        pOut[o] = '\0';
        return static_cast<int>(o);
    });
}

int UUDecodeLine(const char* pszLine, unsigned char* pOut) {
    if (!pszLine || !pOut) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(pszLine);
    while (IsSpace(*p)) ++p;
    if (*p == '\0') return 0;
    if (strcmp(reinterpret_cast<const char*>(p), "end\r\n") == 0) return 0;
    // The length character; those above the grave accent give 65 to 95.
    int n = static_cast<signed char>(*p) - 32;
    if (n < 1 || n == 64) n = 0;
    ++p;
    size_t avail = strlen(reinterpret_cast<const char*>(p));
    int written = 0;
    while (written < n) {
        // A group is always four characters, however few bytes it gives.
        if (avail < 4) return 0;
        if (n - written >= 3) {
            uint32_t bits = kUuPlace0[p[0]] | kUuPlace1[p[1]] | kUuPlace2[p[2]] | kUuPlace3[p[3]];
            if (!(bits & kBadGroup)) {
                pOut[written] = static_cast<uint8_t>(bits >> 16);
                pOut[written + 1] = static_cast<uint8_t>(bits >> 8);
                pOut[written + 2] = static_cast<uint8_t>(bits);
                written += 3;
                p += 4;
                avail -= 4;
                continue;
            }
        }
        // A group with a character out of range, or the line's last one:
        // each byte is written once the characters it needs have passed.
        uint8_t c0 = static_cast<uint8_t>(p[0] - 32), c1 = static_cast<uint8_t>(p[1] - 32);
        uint8_t c2 = static_cast<uint8_t>(p[2] - 32), c3 = static_cast<uint8_t>(p[3] - 32);
        p += 4;
        avail -= 4;
        if (c0 > 64 || c1 > 64) break;
        pOut[written++] = static_cast<uint8_t>(c0 * 4 + (c1 & 63) / 16);
        if (written == n) break;
        if (c2 > 64) break;
        pOut[written++] = static_cast<uint8_t>((c1 & 63) * 16 + (c2 & 63) / 4);
        if (written == n) break;
        if (c3 > 64) break;
        pOut[written++] = static_cast<uint8_t>((c2 & 63) * 64 + (c3 & 63));
    }
    if (written < n) return 0;
    while (IsSpace(*p)) ++p;
    return *p == '\0' ? n : 0;
}
