//===-- fuzz/codecs.cpp - base64 against the plain reference --------------===//
//
// The input, up to its first zero byte, is a base64 body; its lines end
// after each "\n" (after the 63rd, the rest is one line). Through each set
// of block loops this machine runs:
//   MimeDecodeLine of the whole body,
//   MimeDecodeLineEx line by line with the carry, into a separate output
//   and in place (the output over the line),
// give the counts, bytes and carries of the character-at-a-time reference;
// the lines' bytes and the final carry's decode together give the whole
// body's bytes; and encoding those bytes (MimeEncodeStr) gives the
// reference's text, which decodes back to them. Every output and carry
// is a block of exactly the size the caller's contract asks for.
//
//   build/fuzz/fuzz/fuzz_codecs -dict=fuzz/dict/codecs.dict fuzz/corpus/codecs
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/support/FuzzSupport.h"
#include "mail/CodecKernels.h"
#include "fuzz/support/CodecsReference.h"
#include "tmcommon.h"

namespace {

using Bytes = std::basic_string<unsigned char>;

// The body's lines, each with its "\n" if it has one; after the 63rd the
// rest is one line, which keeps the run's allocations few.
std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < body.size();) {
        size_t end = lines.size() < 63 ? body.find('\n', at) : std::string::npos;
        end = end == std::string::npos ? body.size() : end + 1;
        lines.push_back(body.substr(at, end - at));
        at = end;
    }
    if (lines.empty()) lines.push_back("");
    return lines;
}

// What the reference decodes from text, and its count.
Bytes Reference(const std::string& text) {
    std::vector<unsigned char> out(text.size() + 1);
    const int n = tmref::DecodeLine(text.c_str(), out.data());
    return Bytes(out.data(), static_cast<size_t>(n));
}

// MimeDecodeLine into a block of exactly the count and the NUL.
Bytes Decode(const std::string& text, size_t expected) {
    const tmfuzz::Text in(text);
    std::unique_ptr<unsigned char[]> out(new unsigned char[expected + 1]);
    const int n = MimeDecodeLine(in.get(), out.get());
    tmfuzz::Check(n == static_cast<int>(expected), "MimeDecodeLine's count differs from the reference");
    tmfuzz::Check(out[expected] == '\0', "MimeDecodeLine did not end its output with a NUL");
    tmfuzz::Check(in.bytes() == tmfuzz::Text(text).bytes(), "MimeDecodeLine changed its text");
    return Bytes(out.get(), expected);
}

void RunOnce(const std::string& body) {
    const Bytes whole = Reference(body);
    tmfuzz::Check(Decode(body, whole.size()) == whole, "MimeDecodeLine's bytes differ from the reference");

    // Line by line, with a separate output and in place.
    for (bool inPlace : {false, true}) {
        std::unique_ptr<char[]> carry(new char[4]), refCarry(new char[4]);
        carry[0] = refCarry[0] = '\0';
        Bytes streamed;
        for (const std::string& line : Lines(body)) {
            std::vector<unsigned char> ref(strlen(refCarry.get()) + line.size() + 1);
            const int refCount = tmref::DecodeLineEx(line.c_str(), ref.data(), refCarry.get());
            const size_t outSize = static_cast<size_t>(refCount) + 1;
            const tmfuzz::Text text(line);
            const char* input = text.get();
            std::unique_ptr<unsigned char[]> out;
            if (inPlace) {
                // The output over the line, in a block that holds either.
                out.reset(new unsigned char[std::max(line.size() + 1, outSize)]);
                memcpy(out.get(), line.c_str(), line.size() + 1);
                input = reinterpret_cast<const char*>(out.get());
            } else {
                out.reset(new unsigned char[outSize]);
            }
            unsigned char* target = out.get();
            const int count = MimeDecodeLineEx(input, target, carry.get());
            tmfuzz::Check(count == refCount, "MimeDecodeLineEx's count differs from the reference");
            tmfuzz::Check(memcmp(target, ref.data(), outSize) == 0, "MimeDecodeLineEx's bytes differ from the reference");
            tmfuzz::Check(strcmp(carry.get(), refCarry.get()) == 0, "MimeDecodeLineEx's carry differs from the reference");
            tmfuzz::Check(text.bytes() == tmfuzz::Text(line).bytes(), "MimeDecodeLineEx changed its line");
            streamed.append(ref.data(), static_cast<size_t>(refCount));
        }
        // The carry's last characters, as a caller ends a body.
        const Bytes tail = Reference(carry.get());
        streamed += Decode(carry.get(), tail.size());
        tmfuzz::Check(streamed == whole, "the lines decode to other bytes than the whole body");
    }

    // Encoding the bytes gives the reference's text, which decodes back.
    const std::string encoded = tmref::Encode(whole.data(), whole.size());
    std::unique_ptr<char[]> text(new char[encoded.size() + 1]);
    const tmfuzz::Text source(whole.data(), whole.size());
    MimeEncodeStr(source.get(), text.get(), static_cast<int>(whole.size()));
    tmfuzz::Check(encoded == text.get(), "MimeEncodeStr differs from the reference");
    tmfuzz::Check(Decode(encoded, whole.size()) == whole, "the encoded bytes do not decode back");

    // The body itself as a zero-terminated source.
    const std::string bodyEncoded = tmref::Encode(reinterpret_cast<const unsigned char*>(body.data()), body.size());
    std::unique_ptr<char[]> bodyText(new char[bodyEncoded.size() + 1]);
    MimeEncodeStr(tmfuzz::Text(body).get(), bodyText.get(), -1);
    tmfuzz::Check(bodyEncoded == bodyText.get(), "MimeEncodeStr of a C string differs from the reference");
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    const std::string body = UpToZero(data, size);
    const tmc::codecs::Kernels* avx2 = tmc::codecs::Avx2Kernels();
    if (!avx2) {
        RunOnce(body);
        return;
    }
    tmc::codecs::UseKernels(&tmc::codecs::kScalarKernels);
    RunOnce(body);
    tmc::codecs::UseKernels(avx2);
    RunOnce(body);
    tmc::codecs::UseKernels(nullptr);
}
