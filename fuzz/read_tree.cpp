//===-- fuzz/read_tree.cpp - The tree file reader over arbitrary bytes ----===//
//
// Each input is a registry tree file, read from an in-memory stream:
//   - with CRegistry::ReadString, string after string: each is the bytes
//     up to the next zero byte and leaves the stream after it; the first
//     string without a zero byte fails with 13;
//   - with CRegistry::ReadTree into an empty key: whatever the bytes, the
//     reader gives one of its results, and when it read the input to the
//     end (0 or 38) the restored subtree survives a round trip: what
//     WriteTree makes of it reads back into another empty key and is
//     written again byte for byte.
//
//   build/fuzz/fuzz/fuzz_read_tree -dict=fuzz/dict/read_tree.dict fuzz/corpus/read_tree
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/support/FuzzSupport.h"
#include "tmcommon.h"

namespace {

const char kInto[] = "Software\\Kelt\\Tamarak\\Fuzz\\Into";
const char kBack[] = "Software\\Kelt\\Tamarak\\Fuzz\\Back";

// An empty key at path, opened for reading and writing.
bool Fresh(CRegistry& reg, const char* path) {
    CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, path);
    return reg.CreateKey(HKEY_LOCAL_MACHINE, path, 0x2001F, 0) == ERROR_SUCCESS;
}

std::string Written(CRegistry& reg) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&bytes, &size);
    if (!fp) tmfuzz::Fail("open_memstream failed");
    const DWORD rc = reg.WriteTree(fp);
    fclose(fp);
    std::string out(bytes, size);
    free(bytes);
    tmfuzz::Check(rc == ERROR_SUCCESS, "WriteTree failed on a memory stream");
    return out;
}

// A stream over the bytes; fmemopen refuses an empty buffer, so an empty
// file is a one-byte buffer read to its end.
FILE* Open(const void* data, size_t size) {
    static char empty[1];
    FILE* fp = size ? fmemopen(const_cast<void*>(data), size, "rb") : fmemopen(empty, 1, "rb");
    if (!fp) tmfuzz::Fail("fmemopen failed");
    if (!size) fgetc(fp);
    return fp;
}

DWORD Read(CRegistry& reg, const void* data, size_t size) {
    FILE* fp = Open(data, size);
    const DWORD rc = reg.ReadTree(fp);
    fclose(fp);
    return rc;
}

void ReadStrings(const uint8_t* data, size_t size) {
    FILE* fp = Open(data, size);
    CRegistry reg;
    for (size_t at = 0;;) {
        CString text;
        const DWORD rc = reg.ReadString(fp, text);
        const void* zero = at < size ? memchr(data + at, 0, size - at) : nullptr;
        if (!zero) {
            tmfuzz::Check(rc == ERROR_INVALID_DATA, "ReadString read a string without its zero byte");
            break;
        }
        const size_t length = static_cast<const uint8_t*>(zero) - (data + at);
        tmfuzz::Check(rc == ERROR_SUCCESS, "ReadString failed on a string with its zero byte");
        tmfuzz::Check(static_cast<size_t>(text.GetLength()) == length &&
                          memcmp(static_cast<const char*>(text), data + at, length) == 0,
                      "ReadString's text differs from the bytes before the zero");
        at += length + 1;
        tmfuzz::Check(ftell(fp) == static_cast<long>(at), "ReadString left the stream elsewhere than after the zero");
    }
    fclose(fp);
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    ReadStrings(data, size);

    CRegistry into;
    Check(Fresh(into, kInto), "cannot make the key to read into");
    const DWORD rc = Read(into, data, size);
    if (size == 0) {
        // An empty stream is a complete, empty file.
        Check(rc == ERROR_HANDLE_EOF, "an empty file does not read as complete");
        return;
    }
    switch (rc) {
        case ERROR_SUCCESS:
        case ERROR_HANDLE_EOF:
            break;
        case ERROR_INVALID_DATA:       // malformed, or a key that cannot be created
        case ERROR_INVALID_PARAMETER:  // a value name the registry refuses
            return;
        default:
            Fail("ReadTree gave a result it does not have");
    }
    const std::string first = Written(into);
    CRegistry back;
    Check(Fresh(back, kBack), "cannot make the key to read back into");
    Check(Read(back, first.data(), first.size()) == ERROR_HANDLE_EOF, "what WriteTree wrote does not read back");
    Check(Written(back) == first, "what WriteTree wrote reads back as another tree");
}
