//===-- win32/SyncObjects.cpp - MFC's CSyncObject, CMutex and CSingleLock -===//
//
// The MFC synchronisation classes over the layer's Win32 calls, with MFC's
// behaviour: a lock that ends in WAIT_ABANDONED counts as taken; CMutex
// throws when it cannot make its mutex, as MFC throws a resource
// exception (here std::system_error carrying the Win32 code).
//
// Where MFC only asserts, the sound behaviour is built instead: Lock on a
// CSingleLock that already holds its object returns TRUE without taking it
// again, so the one Unlock of the destructor always balances it; a
// CSingleLock over no object, or over one without a handle, locks nothing
// and reports FALSE.
//===----------------------------------------------------------------------===//
#include <string>
#include <system_error>

#include "tmwin32.h"

namespace {

class Win32Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int code) const override {
        return "Win32 error " + std::to_string(code);
    }
};

const std::error_category& Win32ErrorCategory() {
    static const Win32Category category;
    return category;
}

}  // namespace

CSyncObject::CSyncObject(const char*) : m_hObject(nullptr) {}

CSyncObject::~CSyncObject() {
    if (m_hObject) CloseHandle(m_hObject);
}

BOOL CSyncObject::Lock(DWORD dwTimeout) {
    DWORD result = WaitForSingleObject(m_hObject, dwTimeout);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

CMutex::CMutex(BOOL bInitiallyOwn, const char* lpszName, LPSECURITY_ATTRIBUTES lpsaAttribute)
    : CSyncObject(lpszName) {
    m_hObject = CreateMutexA(lpsaAttribute, bInitiallyOwn, lpszName);
    if (!m_hObject) {
        throw std::system_error(static_cast<int>(GetLastError()), Win32ErrorCategory(),
                                "CMutex");
    }
}

CMutex::~CMutex() = default;

BOOL CMutex::Unlock() { return ReleaseMutex(m_hObject); }

CSingleLock::CSingleLock(CSyncObject* pObject, BOOL bInitialLock)
    : m_pObject(pObject), m_hObject(pObject ? pObject->m_hObject : nullptr), m_bAcquired(FALSE) {
    if (bInitialLock) Lock();
}

CSingleLock::~CSingleLock() { Unlock(); }

BOOL CSingleLock::Lock(DWORD dwTimeOut) {
    if (!m_pObject || !m_hObject) return FALSE;
    if (!m_bAcquired) m_bAcquired = m_pObject->Lock(dwTimeOut);
    return m_bAcquired;
}

BOOL CSingleLock::Unlock() {
    // Successfully unlocking means it is no longer held.
    if (m_pObject && m_bAcquired) m_bAcquired = !m_pObject->Unlock();
    return !m_bAcquired;
}
