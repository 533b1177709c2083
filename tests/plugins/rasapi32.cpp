//===-- tests/plugins/rasapi32.cpp - A stand-in dial-up library -----------===//
//
// Every entry point records its arguments and gives a result that depends
// on them, so that a test sees both pass through CRasDial unchanged.
// TM_OMIT_RAS_DIAL and TM_OMIT_ENTRY_PROPERTIES build the variants that
// lack "RasDialA" or "RasGetEntryPropertiesA".
//===----------------------------------------------------------------------===//
#include <cstring>

#include "PluginLog.h"

namespace {

__attribute__((constructor)) void OnLoad() { plugin::Record("load rasapi32 " TM_PLUGIN_VARIANT); }
__attribute__((destructor)) void OnUnload() { plugin::Record("unload rasapi32 " TM_PLUGIN_VARIANT); }

constexpr DWORD kBufferTooSmall = 603;

}  // namespace

#ifndef TM_OMIT_RAS_DIAL
PLUGIN_EXPORT DWORD RasDialA(void* pExtensions, char* pszPhonebook, RASDIALPARAMSA* pParams,
                             DWORD dwNotifierType, void* pNotifier, HRASCONN* phConn) {
    plugin::Record("RasDialA %p %s %s %u %p", pExtensions, plugin::Text(pszPhonebook),
                   pParams ? pParams->szEntryName : "(null)", dwNotifierType, pNotifier);
    if (phConn) *phConn = reinterpret_cast<HRASCONN>(0x7001);
    return 600 + dwNotifierType;
}
#endif

PLUGIN_EXPORT DWORD RasHangUpA(HRASCONN hConn) {
    plugin::Record("RasHangUpA %p", static_cast<void*>(hConn));
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(hConn) + 1);
}

PLUGIN_EXPORT DWORD RasGetConnectStatusA(HRASCONN hConn, RASCONNSTATUSA* pStatus) {
    plugin::Record("RasGetConnectStatusA %p", static_cast<void*>(hConn));
    pStatus->rasconnstate = RASCS_Connected;
    pStatus->dwError = 0;
    snprintf(pStatus->szDeviceName, sizeof pStatus->szDeviceName, "modem");
    return 0;
}

PLUGIN_EXPORT DWORD RasGetErrorStringA(UINT uError, char* pszBuffer, DWORD dwSize) {
    plugin::Record("RasGetErrorStringA %u %u", uError, dwSize);
    int n = snprintf(pszBuffer, dwSize, "dial-up error %u", uError);
    return n < 0 || static_cast<DWORD>(n) >= dwSize ? kBufferTooSmall : 0;
}

PLUGIN_EXPORT DWORD RasEnumConnectionsA(RASCONNA* pConns, DWORD* pdwSize, DWORD* pdwCount) {
    plugin::Record("RasEnumConnectionsA %u", *pdwSize);
    if (*pdwSize < sizeof(RASCONNA)) {
        *pdwSize = sizeof(RASCONNA);
        return kBufferTooSmall;
    }
    pConns[0].hrasconn = reinterpret_cast<HRASCONN>(0x7001);
    snprintf(pConns[0].szEntryName, sizeof pConns[0].szEntryName, "Office");
    *pdwCount = 1;
    return 0;
}

PLUGIN_EXPORT DWORD RasEnumEntriesA(char* pszReserved, char* pszPhonebook, RASENTRYNAMEA* pEntries,
                                    DWORD* pdwSize, DWORD* pdwCount) {
    plugin::Record("RasEnumEntriesA %s %s %u", plugin::Text(pszReserved),
                   plugin::Text(pszPhonebook), *pdwSize);
    const char* names[] = {"Office", "Home"};
    if (*pdwSize < 2 * sizeof(RASENTRYNAMEA)) {
        *pdwSize = 2 * sizeof(RASENTRYNAMEA);
        return kBufferTooSmall;
    }
    for (int i = 0; i < 2; ++i) snprintf(pEntries[i].szEntryName, sizeof pEntries[i].szEntryName, "%s", names[i]);
    *pdwCount = 2;
    return 0;
}

PLUGIN_EXPORT DWORD RasGetProjectionInfoA(HRASCONN hConn, RASPROJECTION projection, void* pBuffer,
                                          DWORD* pdwSize) {
    plugin::Record("RasGetProjectionInfoA %p 0x%x %p %u", static_cast<void*>(hConn),
                   static_cast<unsigned>(projection), pBuffer, *pdwSize);
    return static_cast<DWORD>(projection) & 0xFFFF;
}

#ifndef TM_OMIT_ENTRY_PROPERTIES
PLUGIN_EXPORT DWORD RasGetEntryPropertiesA(char* pszPhonebook, char* pszEntry, RASENTRYA* pEntry,
                                           DWORD* pdwEntrySize, BYTE* pDeviceInfo,
                                           DWORD* pdwDeviceInfoSize) {
    plugin::Record("RasGetEntryPropertiesA %s %s %u %p %u", plugin::Text(pszPhonebook),
                   plugin::Text(pszEntry), *pdwEntrySize, static_cast<void*>(pDeviceInfo),
                   pdwDeviceInfoSize ? *pdwDeviceInfoSize : 0u);
    snprintf(pEntry->szLocalPhoneNumber, sizeof pEntry->szLocalPhoneNumber, "555 0100");
    *pdwEntrySize = sizeof(RASENTRYA);
    return 605;
}
#endif
