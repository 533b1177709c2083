//===-- fuzz/support/FuzzSupport.h - What every fuzz target shares --------===//
//
// Every target runs in a sandbox of its own (support/Sandbox.cpp): a
// temporary directory with the registry database, the root path (where
// debugx.log and debugit.log go) and the log directory below it. The
// library's catch-all handlers would turn a fault or an exception inside
// it into a quiet failure value; in the sandbox the exception trap is on,
// and a target that leaves a record in debugx.log fails.
//
// A target defines tmfuzz::FuzzOne; the support's LLVMFuzzerTestOneInput
// runs it and then looks at the trap's file. Strings are handed to the
// library in heap blocks of exactly their size (Text), so that a read or a
// write one byte past them is caught by AddressSanitizer.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace tmfuzz {

// One input; the support checks the exception trap afterwards.
void FuzzOne(const uint8_t* data, size_t size);

// The sandbox directory, also the root path of the process.
const std::string& SandboxDir();

// DebugInit, without the trace files' streams counting as leaks.
void StartTraces();

// Prints what went wrong and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* what);

inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// A zero-terminated copy of some bytes in a heap block of exactly their
// length plus one.
class Text {
public:
    Text(const void* bytes, size_t length) : length_(length), block_(new char[length + 1]) {
        if (length) memcpy(block_.get(), bytes, length);
        block_[length] = '\0';
    }
    explicit Text(const std::string& text) : Text(text.data(), text.size()) {}
    char* get() const { return block_.get(); }
    size_t length() const { return length_; }
    // The bytes as they are now, zero and all.
    std::string bytes() const { return std::string(block_.get(), length_ + 1); }

private:
    size_t length_;
    std::unique_ptr<char[]> block_;
};

// The input up to its first zero byte, as a C string sees it.
inline std::string UpToZero(const void* data, size_t size) {
    const char* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, size));
}

}  // namespace tmfuzz
