//===-- tests/mail/GuardedText.h - Strings that fault when misused --------===//
//
// A text placed so that its zero byte is the last byte of a read-only page
// and the next page cannot be touched at all: a write into the text, or a
// read past its zero byte, faults. The library's catch-all handlers turn
// such a fault into a failed call, which a test that expects success sees.
//===----------------------------------------------------------------------===//
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace tmtest {

class GuardedText {
public:
    GuardedText() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        base_ = static_cast<char*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedText() { munmap(base_, 2 * page_); }
    GuardedText(const GuardedText&) = delete;
    GuardedText& operator=(const GuardedText&) = delete;

    // The previous text placed is gone.
    char* Place(const std::string& text) {
        mprotect(base_, page_, PROT_READ | PROT_WRITE);
        char* at = base_ + page_ - text.size() - 1;
        memcpy(at, text.c_str(), text.size() + 1);
        mprotect(base_, page_, PROT_READ);
        return at;
    }

private:
    size_t page_;
    char* base_;
};

}  // namespace tmtest
