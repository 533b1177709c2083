//===-- win32/RegistryStore.cpp - Choosing the registry's store -----------===//
//
// The process's store, made once from the registry location and never
// destroyed (handles may be closed by static destructors that run after
// this file's), with its fork handlers; stores of other locations for
// copying whole registries. See RegistryStore.h.
//===----------------------------------------------------------------------===//
#include "RegistryStore.h"

#include <pthread.h>

#include "Layer.h"
#include "RegistryLocation.h"

namespace w32::reg {

const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                            "HKEY_USERS"};

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = FoldChar(c);
    return folded;
}

Store& Store::Instance() {
    static Store* store = [] {
        const std::string& location = RegistryDatabasePath();
        Store* made = IsPostgresLocation(location) ? MakePgStore(location, OpenMode::kProcess).release()
                                                   : MakeSqliteStore(location, OpenMode::kProcess).release();
        pthread_atfork([] { Instance().BeforeFork(); }, [] { Instance().AfterForkParent(); },
                       [] { Instance().AfterForkChild(); });
        return made;
    }();
    return *store;
}

std::unique_ptr<Store> Store::ForLocation(const std::string& location, OpenMode mode) {
    if (IsPostgresLocation(location)) return MakePgStore(location, mode);
    return MakeSqliteStore(location, mode);
}

LONG Store::CreateRegistry(const std::string& location) {
    return IsPostgresLocation(location) ? CreatePgRegistry(location) : CreateSqliteRegistry(location);
}

}  // namespace w32::reg
