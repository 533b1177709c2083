//===-- mail/CodecsAvx2.cpp - Base64 loops with 256-bit vectors -----------===//
//
// Encodes 24 bytes into 32 characters and decodes 32 characters into 24
// bytes per step. Each function is compiled for AVX2 by attribute, so the
// rest of the library keeps the baseline instruction set; the loops are
// used only where the processor reports AVX2 (Avx2Kernels).
//
// Encoding: each 128-bit lane takes 12 source bytes, spreads every group
// of 3 over a 32-bit word, cuts the four 6-bit values out with two
// multiplies, and maps them to characters by adding an offset chosen by
// range (A-Z, a-z, 0-9, '+', '/'). Decoding: a byte's high and low nibbles
// index two tables whose AND is zero only for the 64 alphabet characters;
// an offset table by high nibble maps them back to values, and two
// multiply-adds pack four 6-bit values into three bytes.
//
// Whatever a block cannot take (fewer bytes than a step, a byte outside
// the alphabet) is left to the scalar loops, which give the same result.
//===----------------------------------------------------------------------===//
#include "mail/CodecKernels.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tmc::codecs {
namespace {

#define TM_AVX2 __attribute__((target("avx2")))

TM_AVX2 inline __m256i EncodeBlock(__m256i in) {
    // Bytes b0 b1 b2 of each group as the word b1 b0 b2 b1 (low byte first).
    in = _mm256_shuffle_epi8(in, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,
                                                  1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
    // Values 0 and 2 into bytes 0 and 2 by a high multiply, values 1 and 3
    // into bytes 1 and 3 by a low one.
    __m256i t0 = _mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00));
    __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
    __m256i t2 = _mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0));
    __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
    __m256i values = _mm256_or_si256(t1, t3);
    // Offsets by range: index 0 for 0-25 ('A'), 1 for 26-51 ('a'), 2-11
    // for 52-61 ('0'), 12 for 62 ('+'), 13 for 63 ('/').
    const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,
                                             65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
    __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
}

TM_AVX2 size_t EncodeGroupsAvx2(const uint8_t* src, size_t n, size_t readable, char* dst) {
    size_t i = 0;
    char* d = dst;
    // A step reads 28 bytes (two 16-byte loads, 12 apart) and uses 24.
    while (i + 24 <= n && i + 28 <= readable) {
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 12));
        __m256i chars = EncodeBlock(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), chars);
        i += 24;
        d += 32;
    }
    return i + kScalarKernels.encodeGroups(src + i, n - i, readable - i, d);
}

// The values of 32 characters in *values; returns a bit for each byte
// outside the alphabet (whose value is then meaningless), 0 when all are in.
TM_AVX2 inline uint32_t DecodeValues(__m256i str, __m256i* values) {
    const __m256i lutLo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                           0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                           0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lutRoll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
                                             0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    // Byte shuffles look at the low nibble and bit 7 only: masking with
    // 0x2F keeps the nibble and clears bit 7.
    __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(str, 4), mask2F);
    __m256i loNibbles = _mm256_and_si256(str, mask2F);
    __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
    __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
    // '/' shares its high nibble with '+'; it takes the slot before.
    __m256i isSlash = _mm256_cmpeq_epi8(str, mask2F);
    __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(isSlash, hiNibbles));
    *values = _mm256_add_epi8(str, roll);
    if (_mm256_testz_si256(lo, hi)) return 0;
    __m256i good = _mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256());
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(good));
}

// Packs the 6-bit values of 32 characters into 24 bytes, at the bottom.
TM_AVX2 inline __m256i PackValues(__m256i values) {
    __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    __m256i bytes = _mm256_shuffle_epi8(words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                                                2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
}

// Writes the 24 bytes of a packed block and nothing after them.
TM_AVX2 inline void StoreBlock(uint8_t* dst, __m256i bytes) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(bytes, 1));
}

TM_AVX2 size_t DecodeRunAvx2(const char* src, size_t len, uint8_t* dst, size_t* written) {
    size_t i = 0, o = 0;
    while (i + 32 <= len) {
        __m256i values;
        uint32_t bad = DecodeValues(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)), &values);
        if (bad == 0) {
            StoreBlock(dst + o, PackValues(values));
            i += 32;
            o += 24;
            continue;
        }
        // The whole groups before the first byte outside the alphabet (a
        // line break, as a rule), then stop there.
        size_t groups = static_cast<size_t>(__builtin_ctz(bad)) / 4;
        if (groups > 0) {
            alignas(32) uint8_t bytes[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), PackValues(values));
            memcpy(dst + o, bytes, groups * 3);
            i += groups * 4;
            o += groups * 3;
        }
        *written = o;
        return i;
    }
    // Fewer than 32 characters left.
    size_t tail;
    i += kScalarKernels.decodeRun(src + i, len - i, dst + o, &tail);
    *written = o + tail;
    return i;
}

const Kernels kAvx2Kernels = {"avx2", EncodeGroupsAvx2, DecodeRunAvx2};

}  // namespace

const Kernels* Avx2Kernels() {
    static const bool usable = __builtin_cpu_supports("avx2");
    return usable ? &kAvx2Kernels : nullptr;
}

}  // namespace tmc::codecs

#else

namespace tmc::codecs {
const Kernels* Avx2Kernels() { return nullptr; }
}  // namespace tmc::codecs

#endif
