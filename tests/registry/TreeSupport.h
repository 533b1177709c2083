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

inline std::string PathOf(const std::string& name) { return std::string(kTreeBase) + "\\" + name; }

// An empty key HKLM\...\TreeTests\<name>, opened for reading and writing.
inline void FreshKey(CRegistry& reg, const std::string& name) {
    CRegistry().DeleteTree(HKEY_LOCAL_MACHINE, PathOf(name).c_str());
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, PathOf(name).c_str(), TM_KEY_READ_WRITE, 0), 0) << name;
}

inline void Store(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())), 0) << name;
}

inline HKEY Sub(CRegistry& holder, HKEY parent, const char* path) {
    EXPECT_EQ(holder.CreateKey(parent, path, TM_KEY_READ_WRITE, 0), 0) << path;
    return holder.m_hKey;
}

// What a function writes to a stream.
template <class Write>
std::string Written(Write&& write) {
    char* text = nullptr;
    size_t size = 0;
    FILE* fp = open_memstream(&text, &size);
    write(fp);
    fclose(fp);
    std::string out(text, size);
    free(text);
    return out;
}

inline std::string DumpOf(CRegistry& reg, int depth = 0) {
    return Written([&](FILE* fp) { reg.DumpTree(fp, depth); });
}

// The bytes of a successful WriteTree of the held key.
inline std::string TreeBytes(CRegistry& reg) {
    return Written([&](FILE* fp) { EXPECT_EQ(reg.WriteTree(fp), 0u); });
}

// Every key and value below a key, exactly: "\\sub\\key" -> (name, type, bytes).
using Snapshot = std::map<std::string, std::vector<std::tuple<std::string, DWORD, std::string>>>;

inline Snapshot SnapshotOf(HKEY key, const std::string& prefix = "", Snapshot out = {}) {
    std::vector<char> name(17000);
    for (DWORD i = 0;; ++i) {
        DWORD cch = DWORD(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, i, name.data(), &cch, nullptr, &type, nullptr, &size) != 0) break;
        std::string data(size, '\0');
        EXPECT_EQ(RegQueryValueExA(key, name.data(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size), 0);
        out[prefix].emplace_back(std::string(name.data(), cch), type, data.substr(0, size));
    }
    for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), DWORD(name.size())) == 0; ++i) {
        HKEY sub = nullptr;
        EXPECT_EQ(RegOpenKeyExA(key, name.data(), 0, KEY_READ, &sub), 0) << name.data();
        out = SnapshotOf(sub, prefix + "\\" + name.data(), std::move(out));
        RegCloseKey(sub);
    }
    out[prefix];
    return out;
}

inline std::string Golden(const std::string& name) {
    return ReadFile(std::string(TM_TEST_SOURCE_DIR) + "/registry/golden/" + name);
}

}  // namespace tmtest
