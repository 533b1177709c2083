//===-- win32/RegistryCache.cpp - The registry stores' read cache ---------===//
//
// A map from folded names to answers, bounded in entries and bytes, with
// the stamp it is valid for. See RegistryCache.h.
//===----------------------------------------------------------------------===//
#include "RegistryCache.h"

#include <cstdio>

namespace w32::reg {
namespace {

constexpr size_t kCacheMaxEntries = 4096;
constexpr size_t kCacheMaxBytes = 1 << 20;

std::string Folded(char tag, std::string_view prefix, std::string_view name) {
    std::string key;
    key.reserve(1 + prefix.size() + 1 + name.size());
    key += tag;
    key += prefix;
    key += '\0';
    for (char c : name) key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return key;
}

size_t Cost(const std::string& key, const CacheEntry& entry) {
    return key.size() + entry.data.size() + sizeof(CacheEntry);
}

}  // namespace

std::string KeyCacheKey(std::string_view path) { return Folded('K', {}, path); }

std::string ValueCacheKey(int64_t keyId, std::string_view name) {
    char prefix[24];
    int n = snprintf(prefix, sizeof prefix, "%lld", static_cast<long long>(keyId));
    return Folded('V', std::string_view(prefix, size_t(n)), name);
}

const CacheEntry* ReadCache::Find(const std::string& key) const {
    auto it = m_entries.find(key);
    return it == m_entries.end() ? nullptr : &it->second;
}

void ReadCache::Offer(std::string key, CacheEntry entry) {
    if (entry.data.size() > kCacheMaxValueSize) return;
    m_pending.emplace_back(std::move(key), std::move(entry));
}

void ReadCache::Keep(const CacheStamp& stamp) {
    if (!ValidFor(stamp)) Drop();
    m_stamp = stamp;
    for (auto& [key, entry] : m_pending) Put(std::move(key), std::move(entry));
    m_pending.clear();
}

void ReadCache::Put(std::string key, CacheEntry entry) {
    if (entry.data.size() > kCacheMaxValueSize) {
        Erase(key);
        return;
    }
    if (m_entries.size() >= kCacheMaxEntries || m_bytes >= kCacheMaxBytes) {
        // Starts afresh but stays valid: what follows is still current.
        m_entries.clear();
        m_bytes = 0;
    }
    Erase(key);
    m_bytes += Cost(key, entry);
    m_entries.emplace(std::move(key), std::move(entry));
}

void ReadCache::Erase(const std::string& key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end()) return;
    m_bytes -= Cost(it->first, it->second);
    m_entries.erase(it);
}

void ReadCache::Drop() {
    m_entries.clear();
    m_bytes = 0;
    m_stamp.reset();
}

}  // namespace w32::reg
