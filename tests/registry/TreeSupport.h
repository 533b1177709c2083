//===-- tests/registry/TreeSupport.h - Keys, snapshots and streams for tests -===//
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {

inline const char kTreeBase[] = "Software\\Kelt\\Tamarak\\TreeTests";

// An empty key HKLM\...\TreeTests\<name>, opened for reading and writing.
inline void FreshKey(CRegistry& reg, const std::string& name) {
    const std::string path = std::string(kTreeBase) + "\\" + name;
    CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, path.c_str());
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, path.c_str(), 0x2001F, 0), 0) << path;
}

inline void Store(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              0)
        << name;
}

inline HKEY Sub(CRegistry& holder, HKEY parent, const char* path) {
    EXPECT_EQ(holder.CreateKey(parent, path, 0x2001F, 0), 0) << path;
    return holder.m_hKey;
}

// What DumpTree writes for the held key.
inline std::string DumpOf(CRegistry& reg, int depth = 0) {
    char* text = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&text, &size);
    reg.DumpTree(fp, depth);
    fclose(fp);
    std::string out(text, size);
    free(text);
    return out;
}

// Every key and value below a key, exactly: "sub\\key" -> (name, type, bytes).
using Snapshot = std::map<std::string, std::vector<std::tuple<std::string, DWORD, std::string>>>;

inline void TakeSnapshot(HKEY key, const std::string& prefix, Snapshot& out) {
    auto& values = out[prefix];
    std::vector<char> name(17000);
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, i, name.data(), &cch, nullptr, &type, nullptr, &size) != 0) break;
        std::string data(size, '\0');
        DWORD got = size;
        EXPECT_EQ(RegQueryValueExA(key, name.data(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got), 0);
        values.emplace_back(std::string(name.data(), cch), type, data.substr(0, got));
    }
    for (DWORD i = 0;; ++i) {
        if (RegEnumKeyA(key, i, name.data(), static_cast<DWORD>(name.size())) != 0) break;
        HKEY sub = nullptr;
        std::string child(name.data());
        if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub) != 0) {
            out[prefix + "\\" + child + " (unreadable)"];
            continue;
        }
        TakeSnapshot(sub, prefix + "\\" + child, out);
        RegCloseKey(sub);
    }
}

inline Snapshot SnapshotOf(HKEY key) {
    Snapshot out;
    TakeSnapshot(key, "", out);
    return out;
}

// The bytes WriteTree gives for the held key, and its result.
inline std::string TreeBytes(CRegistry& reg, DWORD* result = nullptr) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&bytes, &size);
    DWORD rc = reg.WriteTree(fp);
    fclose(fp);
    if (result) *result = rc;
    std::string out(bytes, size);
    free(bytes);
    return out;
}

inline std::string Golden(const std::string& name) {
    return ReadFile(std::string(TM_TEST_SOURCE_DIR) + "/registry/golden/" + name);
}

}  // namespace tmtest
