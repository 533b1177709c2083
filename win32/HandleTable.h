//===-- win32/HandleTable.h - Handle values of one kind of object ---------===//
//
// One table per kind of handle the layer gives out: kernel objects
// (HANDLE), registry keys (HKEY), service manager objects (SC_HANDLE).
// Values count up from First in steps of 4, as Windows handles do, and
// are never reused while the process lives, so a stale handle finds
// nothing instead of another object. A kind whose values must stay clear
// of a range (the predefined registry roots near 0x80000000) names where
// the range starts: counting jumps from there to 2^32.
//
// The table is never destroyed: handles may still be closed by static
// destructors after the file's statics are gone. Its lock is held only
// around the map, never while an object is made or destroyed, and across
// fork, so that a forked child (which inherits the handles, as a Windows
// child inherits inheritable ones) never starts with it taken by a thread
// it lacks.
//===----------------------------------------------------------------------===//
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace w32 {

template <class Object, uintptr_t First, uintptr_t SkipFrom = UINTPTR_MAX>
class HandleTable {
public:
    static HandleTable& Instance() {
        static HandleTable* table = new HandleTable;
        return *table;
    }

    // Enters the object and gives its value; throws std::bad_alloc when
    // the map cannot grow.
    uintptr_t Insert(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(m_lock);
        const uintptr_t value = m_next;
        m_objects.emplace(value, std::move(object));
        m_next += 4;
        if (m_next >= SkipFrom && m_next < 0x100000000ull) m_next = 0x100000000ull;
        return value;
    }

    // The object behind a value, or nullptr for one that is not open.
    std::shared_ptr<Object> Find(uintptr_t value) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(value);
        return it == m_objects.end() ? nullptr : it->second;
    }

    // Takes the value out of the table and hands the object back, so that
    // it is destroyed outside the lock; nullptr for a value not open.
    std::shared_ptr<Object> Take(uintptr_t value) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(value);
        if (it == m_objects.end()) return nullptr;
        std::shared_ptr<Object> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

private:
    HandleTable() {
        pthread_atfork([] { Instance().m_lock.lock(); }, [] { Instance().m_lock.unlock(); },
                       [] { Instance().m_lock.unlock(); });
    }

    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> m_objects;
    uintptr_t m_next = First;
};

}  // namespace w32
