//===-- tests/mail/GuardedText.h - Strings that fault when misused --------===//
//
// A text placed on a read-only page between two pages that cannot be
// touched at all: at the page's end (its zero byte the page's last byte)
// or at its start. A write into the text, or a read past either of its
// ends, faults; the library's catch-all handlers turn such a fault into a
// failed call, which a test that expects success sees.
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
        base_ = static_cast<char*>(mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + page_;
    }
    ~GuardedText() { munmap(base_ - page_, 3 * page_); }
    GuardedText(const GuardedText&) = delete;
    GuardedText& operator=(const GuardedText&) = delete;

    // The previous text placed is gone.
    char* Place(const std::string& text, bool atEnd = true) {
        mprotect(base_, page_, PROT_READ | PROT_WRITE);
        char* at = atEnd ? base_ + page_ - text.size() - 1 : base_;
        memcpy(at, text.c_str(), text.size() + 1);
        mprotect(base_, page_, PROT_READ);
        return at;
    }

private:
    size_t page_;
    char* base_;
};

}  // namespace tmtest
