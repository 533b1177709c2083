//===-- win32/RegistryCache.h - The registry stores' read cache (internal) -===//
//
// Answers of earlier registry reads (a key path's id and restriction, a
// value's type and bytes, or that the value is missing) kept in the
// process, each cache valid for one stamp: a store keeps the cache while
// the stamp it reads from the installation (SQLite's WAL-index header, a
// change counter) is the one the cache was filled under, and drops it
// otherwise. Entries are offered while a read runs and kept only if the
// stamp did not move meanwhile; a store's own write may update entries in
// place when it proves that nobody else wrote in between.
//
// Limits: at most kCacheMaxEntries entries and kCacheMaxBytes bytes; the
// cache starts afresh when it would pass them, and values larger than
// kCacheMaxValueSize are never kept. Not thread-safe: the store's lock
// guards it.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmwin32.h"

namespace w32::reg {

// A state of the installation as a store sees it; equal stamps mean that
// nothing was committed in between. What the words hold is the store's.
struct CacheStamp {
    uint32_t words[12] = {};
    bool operator==(const CacheStamp&) const = default;
};

// A key (id, restriction) or a value (type, data); or a value that the
// key does not have (missing).
struct CacheEntry {
    int64_t id = 0;
    std::optional<uint32_t> allowed;
    DWORD type = 0;
    std::string data;
    bool missing = false;
};

// Values larger than this are never kept.
inline constexpr size_t kCacheMaxValueSize = 4096;

// What a cache lookup returns when it cannot answer.
inline constexpr LONG kCacheMiss = -1;

// Cache keys: names fold to lower case as the stores compare them.
std::string KeyCacheKey(std::string_view path);
std::string ValueCacheKey(int64_t keyId, std::string_view name);

class ReadCache {
public:
    // The entry under key, while the cache is valid for stamp.
    const CacheEntry* Find(const std::string& key) const;
    bool ValidFor(const CacheStamp& stamp) const { return m_stamp && *m_stamp == stamp; }

    // Entries offered by a read that is running; Keep enters them as valid
    // for stamp (a cache of another stamp is dropped first), Forget drops
    // them.
    void Offer(std::string key, CacheEntry entry);
    void Keep(const CacheStamp& stamp);
    void Forget() { m_pending.clear(); }

    // A write of this process's own, committed with nobody else's write in
    // between: the cache moves to the stamp after it, with the entries the
    // write changed put or erased.
    void Restamp(const CacheStamp& stamp) { m_stamp = stamp; }
    void Put(std::string key, CacheEntry entry);
    void Erase(const std::string& key);

    void Drop();

private:
    std::optional<CacheStamp> m_stamp;
    std::unordered_map<std::string, CacheEntry> m_entries;
    size_t m_bytes = 0;
    std::vector<std::pair<std::string, CacheEntry>> m_pending;
};

}  // namespace w32::reg
