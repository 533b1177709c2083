//===-- platform/RasDial.cpp - The dial-up library, loaded on demand ------===//
//
// CRasDial loads "RASAPI32.DLL" when the first object of the class is
// made, resolves eight entry points by name, forwards calls to them and
// frees the library when the last object goes. A process runs on a machine
// without dial-up networking: IsAvailable tells whether the library
// loaded, and a member whose entry point is missing returns 0 at once.
//
// All state is class-static, guarded by m_Mutex (defined with the load
// order in LibraryInit.cpp) while an object is made or destroyed. The
// forwarding members take no lock: the library is only freed when no
// object is left, so a caller holding an object finds it loaded or never
// loaded.
//
// Copies: a copy is one more user, so m_nCount always equals the number
// of live objects; assignment changes nothing, both objects being counted
// already.
//
// Diagnostics (main event log): "Unable to load RASAPI32.DLL, system error
// %d" (type 0x0001) per failed load; "Unable to locate NAME in
// RASAPI32.DLL" (type 0x1000) per missing entry point but the optional
// "RasGetEntryPropertiesA"; SysError when FreeLibrary fails. If anything
// is thrown while the library loads, it is freed again and the class left
// unloaded before the exception reaches the caller.
//===----------------------------------------------------------------------===//
#include "platform/OptionalLibrary.h"
#include "tmlogging.h"
#include "tmplatform.h"

namespace {
const char kSourceFile[] = "RasDial";
}

HINSTANCE CRasDial::m_hInstance = nullptr;
int CRasDial::m_nCount = 0;
DWORD (*CRasDial::m_pRasDial)(void*, char*, RASDIALPARAMSA*, DWORD, void*, HRASCONN*) = nullptr;
DWORD (*CRasDial::m_pRasHangUp)(HRASCONN) = nullptr;
DWORD (*CRasDial::m_pRasGetConnectStatus)(HRASCONN, RASCONNSTATUSA*) = nullptr;
DWORD (*CRasDial::m_pRasGetErrorString)(UINT, char*, DWORD) = nullptr;
DWORD (*CRasDial::m_pRasEnumConnections)(RASCONNA*, DWORD*, DWORD*) = nullptr;
DWORD (*CRasDial::m_pRasEnumEntries)(char*, char*, RASENTRYNAMEA*, DWORD*, DWORD*) = nullptr;
DWORD (*CRasDial::m_pRasGetProjectionInfo)(HRASCONN, RASPROJECTION, void*, DWORD*) = nullptr;
DWORD (*CRasDial::m_pRasGetEntryProperties)(char*, char*, RASENTRYA*, DWORD*, BYTE*, DWORD*) = nullptr;

CRasDial::CRasDial() {
    tmc::AddUser(m_Mutex, m_nCount, m_hInstance, [this] { Load(); }, [] { Unload(__LINE__); });
}

CRasDial::CRasDial(const CRasDial&) {
    tmc::AddUser(m_Mutex, m_nCount, m_hInstance, [] {}, [] {});
}

CRasDial& CRasDial::operator=(const CRasDial&) { return *this; }

CRasDial::~CRasDial() { tmc::DropUser(m_Mutex, m_nCount, m_hInstance, [] { Unload(__LINE__); }); }

void CRasDial::Unload(int nLine) {
    if (m_hInstance && !FreeLibrary(m_hInstance)) SysError(kSourceFile, nLine, GetLastError());
    m_hInstance = nullptr;
    m_pRasDial = nullptr;
    m_pRasHangUp = nullptr;
    m_pRasGetConnectStatus = nullptr;
    m_pRasGetErrorString = nullptr;
    m_pRasEnumConnections = nullptr;
    m_pRasEnumEntries = nullptr;
    m_pRasGetProjectionInfo = nullptr;
    m_pRasGetEntryProperties = nullptr;
}

int CRasDial::IsAvailable() { return m_hInstance != nullptr; }

int CRasDial::Load() {
    CEventLog log(0);
    m_hInstance = LoadLibraryA("RASAPI32.DLL");
    if (!m_hInstance) {
        DWORD dwError = GetLastError();
        log.LogEvent(TM_EVENT_ERROR, "Unable to load RASAPI32.DLL, system error %d", static_cast<int>(dwError));
        return 0;
    }
    tmc::Resolve(m_hInstance, "RasDialA", &m_pRasDial);
    tmc::Resolve(m_hInstance, "RasHangUpA", &m_pRasHangUp);
    tmc::Resolve(m_hInstance, "RasGetConnectStatusA", &m_pRasGetConnectStatus);
    tmc::Resolve(m_hInstance, "RasGetErrorStringA", &m_pRasGetErrorString);
    tmc::Resolve(m_hInstance, "RasEnumConnectionsA", &m_pRasEnumConnections);
    tmc::Resolve(m_hInstance, "RasEnumEntriesA", &m_pRasEnumEntries);
    tmc::Resolve(m_hInstance, "RasGetProjectionInfoA", &m_pRasGetProjectionInfo);
    tmc::Resolve(m_hInstance, "RasGetEntryPropertiesA", &m_pRasGetEntryProperties);

    // The first seven are required; a missing one is logged in table order.
    const struct {
        bool found;
        const char* name;
    } kRequired[] = {
        {m_pRasDial != nullptr, "RasDialA"},
        {m_pRasHangUp != nullptr, "RasHangUpA"},
        {m_pRasGetConnectStatus != nullptr, "RasGetConnectStatusA"},
        {m_pRasGetErrorString != nullptr, "RasGetErrorStringA"},
        {m_pRasEnumConnections != nullptr, "RasEnumConnectionsA"},
        {m_pRasEnumEntries != nullptr, "RasEnumEntriesA"},
        {m_pRasGetProjectionInfo != nullptr, "RasGetProjectionInfoA"},
    };
    int complete = 1;
    for (const auto& entry : kRequired) {
        if (entry.found) continue;
        log.LogEvent(TM_EVENT_ERROR_REPORT, "Unable to locate %s in RASAPI32.DLL", entry.name);
        complete = 0;
    }
    return complete;
}

DWORD CRasDial::RasDialA(void* pDialExtensions, char* pszPhonebook, RASDIALPARAMSA* pParams,
                         DWORD dwNotifierType, void* pNotifier, HRASCONN* phConn) {
    if (!m_pRasDial) return 0;
    return m_pRasDial(pDialExtensions, pszPhonebook, pParams, dwNotifierType, pNotifier, phConn);
}

DWORD CRasDial::RasHangUpA(HRASCONN hConn) {
    if (!m_pRasHangUp) return 0;
    return m_pRasHangUp(hConn);
}

DWORD CRasDial::RasGetConnectStatusA(HRASCONN hConn, RASCONNSTATUSA* pStatus) {
    if (!m_pRasGetConnectStatus) return 0;
    return m_pRasGetConnectStatus(hConn, pStatus);
}

DWORD CRasDial::RasGetErrorStringA(UINT uError, char* pszBuffer, DWORD dwSize) {
    if (!m_pRasGetErrorString) return 0;
    return m_pRasGetErrorString(uError, pszBuffer, dwSize);
}

DWORD CRasDial::RasEnumConnectionsA(RASCONNA* pConns, DWORD* pdwSize, DWORD* pdwCount) {
    if (!m_pRasEnumConnections) return 0;
    return m_pRasEnumConnections(pConns, pdwSize, pdwCount);
}

DWORD CRasDial::RasEnumEntriesA(char* pszReserved, char* pszPhonebook, RASENTRYNAMEA* pEntries,
                                DWORD* pdwSize, DWORD* pdwCount) {
    if (!m_pRasEnumEntries) return 0;
    return m_pRasEnumEntries(pszReserved, pszPhonebook, pEntries, pdwSize, pdwCount);
}

DWORD CRasDial::RasGetProjectionInfoA(HRASCONN hConn, RASPROJECTION projection, void* pBuffer,
                                      DWORD* pdwSize) {
    if (!m_pRasGetProjectionInfo) return 0;
    return m_pRasGetProjectionInfo(hConn, projection, pBuffer, pdwSize);
}

DWORD CRasDial::RasGetEntryPropertiesA(char* pszPhonebook, char* pszEntry, RASENTRYA* pEntry,
                                       DWORD* pdwEntrySize, BYTE* pDeviceInfo,
                                       DWORD* pdwDeviceInfoSize) {
    if (!m_pRasGetEntryProperties) return 0;
    return m_pRasGetEntryProperties(pszPhonebook, pszEntry, pEntry, pdwEntrySize, pDeviceInfo,
                                    pdwDeviceInfoSize);
}
