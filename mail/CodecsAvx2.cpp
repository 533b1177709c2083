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
// A zero-terminated text is read once, 32 bytes a step, the NUL looked for
// in the same step: the values of its alphabet characters are gathered,
// every other byte squeezed out by a byte shuffle from a table of 256
// (one entry for each 8 bytes), and packed into bytes afterwards. A line
// of ordinary length (up to 95 bytes, its line break at the end) is
// decoded in registers, without gathering.
//
// Whatever a block loop cannot take (fewer bytes than a step, a byte
// outside the alphabet where the loop stops at one) is left to the scalar
// loops, which give the same result.
//===----------------------------------------------------------------------===//
#include "mail/CodecKernels.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace tmc::codecs {
namespace {

#define TM_AVX2 __attribute__((target("avx2,popcnt")))
#if defined(__clang__) || defined(__GNUC__)
#define TM_NO_ASAN __attribute__((no_sanitize("address", "thread")))
#else
#define TM_NO_ASAN
#endif

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
// With early set, a block wholly in the alphabet returns by a branch;
// without, every block takes the same instructions.
template <bool early = true>
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
    if (early && _mm256_testz_si256(lo, hi)) return 0;
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

// Shuffle indices that move the bytes chosen by an 8-bit mask to the
// front of an 8-byte chunk, in order (the rest of the chunk is junk).
constexpr std::array<uint64_t, 256> MakeCompactions() {
    std::array<uint64_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        uint64_t indices = 0;
        int at = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (mask & (1u << bit)) indices |= static_cast<uint64_t>(bit) << (8 * at++);
        }
        table[mask] = indices;
    }
    return table;
}
constexpr std::array<uint64_t, 256> kCompactions = MakeCompactions();

// Writes the bytes of v chosen by keep (bit i for byte i) to dst, in
// order; writes 32 bytes at most, junk after the chosen ones.
TM_AVX2 inline uint8_t* Compact(__m256i v, uint32_t keep, uint8_t* dst) {
    uint32_t m0 = keep & 0xFF, m1 = keep >> 8 & 0xFF, m2 = keep >> 16 & 0xFF, m3 = keep >> 24;
    // Each lane compacts its two chunks in place; the second chunk's
    // indices point 8 bytes further.
    __m256i indices = _mm256_setr_epi64x(static_cast<long long>(kCompactions[m0]),
                                         static_cast<long long>(kCompactions[m1] + 0x0808080808080808u),
                                         static_cast<long long>(kCompactions[m2]),
                                         static_cast<long long>(kCompactions[m3] + 0x0808080808080808u));
    __m256i packed = _mm256_shuffle_epi8(v, indices);
    __m128i lo = _mm256_castsi256_si128(packed), hi = _mm256_extracti128_si256(packed, 1);
    // Four stores of 8 bytes, each one after the chosen bytes of the last.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), lo);
    dst += __builtin_popcount(m0);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst), _mm_castsi128_ps(lo));
    dst += __builtin_popcount(m1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), hi);
    dst += __builtin_popcount(m2);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst), _mm_castsi128_ps(hi));
    return dst + __builtin_popcount(m3);
}

// A bit for each NUL among 32 bytes.
TM_AVX2 inline uint32_t NulBits(__m256i str) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(str, _mm256_setzero_si256())));
}

// Reads the text in aligned blocks of 32 bytes: a block never spans two
// pages, so no load enters the page after the one that holds the NUL. The
// bytes read past the NUL, and before the start in the first block, lie
// outside the text, where an address sanitizer would object (and a thread
// sanitizer, when they belong to a freed block); they are read but never
// used.
TM_AVX2 TM_NO_ASAN size_t GatherTextAvx2(const char* src, uint8_t* values, size_t room, const char** resume) {
    const auto start = reinterpret_cast<uintptr_t>(src);
    const auto* block = reinterpret_cast<const __m256i*>(start & ~uintptr_t{31});
    // The bytes of the first block that belong to the text.
    uint32_t ours = ~0u << (start & 31);
    uint8_t* out = values;
    // A block gives at most 32 values.
    for (size_t blocks = room / 32; blocks > 0; --blocks, ++block, ours = ~0u) {
        __m256i str = _mm256_load_si256(block);
        __m256i vals;
        uint32_t bad = DecodeValues(str, &vals) | ~ours;
        if (bad == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), vals);
            out += 32;
            continue;
        }
        // Some byte to skip: a line break, as a rule, or the NUL.
        uint32_t nul = NulBits(str) & ours;
        uint32_t keep = ~bad;
        if (nul != 0) keep &= (nul & -nul) - 1;
        if ((keep & (keep + 1)) == 0) {
            // Only bytes after the kept ones to skip: the values stay
            // where they are.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), vals);
            out += __builtin_popcount(keep);
        } else {
            out = Compact(vals, keep, out);
        }
        if (nul != 0) {
            *resume = nullptr;
            return static_cast<size_t>(out - values);
        }
    }
    *resume = reinterpret_cast<const char*>(block);
    return static_cast<size_t>(out - values);
}

// Writes the first m bytes (a multiple of 3 below 24) of a packed block,
// in two pieces that may overlap.
TM_AVX2 inline void StoreFirstBytes(uint8_t* dst, __m256i packed, size_t m) {
    alignas(32) uint8_t bytes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), packed);
    if (m >= 16) {
        memcpy(dst, bytes, 16);
        memcpy(dst + m - 8, bytes + m - 8, 8);
    } else if (m >= 8) {
        memcpy(dst, bytes, 8);
        memcpy(dst + m - 8, bytes + m - 8, 8);
    } else if (m >= 4) {
        memcpy(dst, bytes, 4);
        memcpy(dst + m - 4, bytes + m - 4, 4);
    } else if (m == 3) {
        memcpy(dst, bytes, 2);
        dst[2] = bytes[2];
    }
}

TM_AVX2 void PackGroupsAvx2(const uint8_t* values, size_t groups, uint8_t* dst) {
    size_t n = groups * 4, i = 0;
    for (; i + 32 <= n; i += 32, dst += 24) {
        StoreBlock(dst, PackValues(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i))));
    }
    // The last 1 to 7 groups: the block packed in full (the values after
    // them are junk) and its first bytes written.
    if (i < n) {
        StoreFirstBytes(dst, PackValues(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i))),
                        (n - i) / 4 * 3);
    }
}

// A line of ordinary length, whole in registers: three loads of 32 bytes
// from its start, taken when all three stay in one page; the bytes past
// the NUL are read as in GatherTextAvx2, and the values go to the output
// without a round trip through memory. The 96 bytes are classified at
// once and the masks decide afterwards.
TM_AVX2 TM_NO_ASAN int DecodeLineAvx2(const char* src, uint8_t* dst, uint8_t rest[3]) {
    if ((reinterpret_cast<uintptr_t>(src) & 4095) > 4096 - 96) return -1;
    const auto* in = reinterpret_cast<const __m256i*>(src);
    __m256i str0 = _mm256_loadu_si256(in), str1 = _mm256_loadu_si256(in + 1), str2 = _mm256_loadu_si256(in + 2);
    // Bit i of a mask stands for byte i of the 96; blocks 0 and 1 in the
    // first word, block 2 in the second.
    __m256i vals0, vals1, vals2;
    uint64_t bad01 = DecodeValues<false>(str0, &vals0) | static_cast<uint64_t>(DecodeValues<false>(str1, &vals1)) << 32;
    uint32_t bad2 = DecodeValues<false>(str2, &vals2);
    uint64_t nul01 = NulBits(str0) | static_cast<uint64_t>(NulBits(str1)) << 32;
    uint32_t nul2 = NulBits(str2);
    // The alphabet characters before the NUL must come first, with only
    // other bytes after them.
    uint64_t keep01 = ~bad01;
    uint32_t keep2 = 0;
    if (nul01 != 0) {
        keep01 &= (nul01 & -nul01) - 1;
    } else {
        if (nul2 == 0) return -1;
        keep2 = ~bad2 & ((nul2 & -nul2) - 1);
        if (keep2 != 0 && keep01 != ~uint64_t{0}) return -1;
    }
    if ((keep01 & (keep01 + 1)) != 0 || (keep2 & (keep2 + 1)) != 0) return -1;
    int count = __builtin_popcountll(keep01) + __builtin_popcount(keep2);
    // Everything is read: the output may lie over the text.
    int full = count / 32, last = count % 32;
    if (full > 0) StoreBlock(dst, PackValues(vals0));
    if (full > 1) StoreBlock(dst + 24, PackValues(vals1));
    if (last == 0) return count;
    __m256i vals = full == 0 ? vals0 : full == 1 ? vals1 : vals2;
    StoreFirstBytes(dst + 24 * full, PackValues(vals), static_cast<size_t>(last / 4 * 3));
    if (last % 4 != 0) {
        alignas(32) uint8_t values[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), vals);
        memcpy(rest, values + last / 4 * 4, 3);
    }
    return count;
}

const Kernels kAvx2Kernels = {"avx2", EncodeGroupsAvx2, DecodeRunAvx2, GatherTextAvx2, PackGroupsAvx2, DecodeLineAvx2};

}  // namespace

const Kernels* Avx2Kernels() {
    static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return usable ? &kAvx2Kernels : nullptr;
}

}  // namespace tmc::codecs

#else

namespace tmc::codecs {
const Kernels* Avx2Kernels() { return nullptr; }
}  // namespace tmc::codecs

#endif
