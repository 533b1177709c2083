//===-- mail/CodecKernels.h - The bulk loops behind base64 and uuencode ---===//
//
// The exported codecs (Codecs.cpp) describe their work a character at a
// time; the loops here do the same work a block at a time. Each loop has a
// portable scalar form, always built, and may have a vector form
// (CodecsAvx2.cpp) chosen once per process from the processor's features.
// Both forms give the same bytes for every input; the tests hold them to it.
//
// Limits: a loop reads only the bytes it is told are readable and writes
// only the bytes it reports (the scalar decoder may write the byte after
// the ones it reports; see DecodeRun). The exceptions: gatherText finds
// the end of a text itself, reading it in blocks of 32 bytes, and may read
// bytes after its NUL (and, in a block aligned to 32, before its start),
// never in a page that holds no byte of the text; packGroups may read the
// values after the last group up to the next multiple of 32.
//===----------------------------------------------------------------------===//
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tmc::codecs {

// The base64 alphabet in value order.
extern const char kAlphabet[65];
// Value of each byte as a base64 character, or kInvalid.
constexpr uint8_t kInvalid = 0xFF;
extern const std::array<uint8_t, 256> kValue;

struct Kernels {
    const char* name;  // "scalar", "avx2"
    // Encodes the whole groups of 3 among the first n bytes of src into
    // 4 characters each at dst; may read src up to src + readable
    // (readable >= n). Returns the number of source bytes encoded, a
    // multiple of 3 that is n rounded down to one.
    size_t (*encodeGroups)(const uint8_t* src, size_t n, size_t readable, char* dst);
    // Decodes groups of 4 characters from src (len characters) while every
    // character of the group is in the alphabet; stops before the first
    // group that holds another byte or that the end cuts short. Returns the
    // characters used (a multiple of 4) and sets *written to 3 bytes per
    // group. May also write the one byte after those (the caller's buffer
    // always has room for it: a NUL or more output follows there).
    size_t (*decodeRun)(const char* src, size_t len, uint8_t* dst, size_t* written);

    // The single-pass decoder, nullptr in the scalar loops (the exported
    // functions then measure the text first and use decodeRun).
    //
    // Appends to values the value of every alphabet character of the
    // zero-terminated text at src, in order, skipping every other byte;
    // stops at the NUL, or before a block of 32 bytes when fewer than 32
    // places are left of room. Returns the values appended and sets
    // *resume to nullptr once the NUL is reached, else to where the next
    // call goes on. Writes only values[0, room).
    size_t (*gatherText)(const char* src, uint8_t* values, size_t room, const char** resume);
    // Writes the three bytes of each of the groups of 4 values (each 0 to
    // 63) at values to dst: exactly 3 * groups bytes. The values' buffer
    // reaches at least to the next multiple of 32 after the last group's
    // (what lies there is not used).
    void (*packGroups)(const uint8_t* values, size_t groups, uint8_t* dst);
    // A short text in one go, nullptr where gatherText is: decodes the
    // zero-terminated text at src when it holds at most 95 bytes and no
    // byte outside the alphabet comes before its last alphabet character
    // (a line with its line break, as a rule). Reads all of the text (as
    // gatherText does) before it writes 3 bytes per whole group to dst and
    // the values of the 0 to 3 characters left over to rest[0, 3).
    // Returns the number of alphabet characters, or -1 without writing
    // anything when the text is not such a text.
    int (*decodeLine)(const char* src, uint8_t* dst, uint8_t rest[3]);
};

extern const Kernels kScalarKernels;
// The vector loops, or nullptr when this build or this processor has none.
const Kernels* Avx2Kernels();

// The loops the exported functions use: the vector ones where the
// processor has them.
const Kernels& ActiveKernels();
// Makes the exported functions use the given loops (nullptr: the choice
// made from the processor's features). For tests and benchmarks.
void UseKernels(const Kernels* kernels);

}  // namespace tmc::codecs
