//===-- mail/Identifiers.cpp - Counter, unique identifiers, Message-Ids ---===//
//
// GetNextId hands out the installation-wide 20-bit counter "LastId" of the
// parameters key: read, incremented and written back in one registry
// transaction while the installation mutex is held, so that no two threads
// or processes (of any host sharing the registry) get the same number until
// it wraps after 0xFFFFF. CreateGuid builds a 16-byte
// identifier from that number, the tick count, the local time and two
// random bytes; GetMessageId writes one as the text of a Message-Id;
// GetHostName gives the name the server presents itself under: the value
// "hostname" (read also where the key may only be read), else the
// machine's name, else "localhost".
//
// Identifier bytes (little-endian fields):
//   0-3 number  4-5 tick low  6-7 tick high  8 day  9 month  10 year % 100
//   11 hour  12 minute  13 second  14-15 low bytes of two random values
//
// Diagnostics: GetNextId gives 0 when the key cannot be opened or created,
// and likewise, leaving the counter as it was, when the installation mutex
// cannot be waited for or the counter cannot be read or stored: a number
// that was not recorded would be handed out again. A process that dies
// holding the mutex leaves it abandoned; the next caller takes it over.
//===----------------------------------------------------------------------===//
#include <cstdio>
#include <cstring>

#include "Layer.h"
#include "logging/Trap.h"
#include "mail/Parameters.h"
#include "platform/ProcessEnv.h"
#include "tmmail.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "Utilities";

constexpr DWORD kIdMask = 0xFFFFF;

// The name a host goes by when neither the system nor the registry tells
// one.
const char kDefaultHostName[] = "localhost";

static_assert(sizeof(GUID) == 16);

}  // namespace

DWORD GetNextId(void) {
    CRegistry reg;
    HANDLE mutex = g_ProcessEnv.InstallMutex();
    // A fault comes back past the body's frames: the handler releases a
    // mutex the body still held, so that other processes are not blocked.
    volatile bool held = false;
    return w32::CatchAll(
        [&]() -> DWORD {
            if (reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, TM_KEY_READ_WRITE, 0) != ERROR_SUCCESS) {
                return 0;
            }
            // WAIT_ABANDONED: the last holder died and the mutex is ours;
            // its write either happened whole or not at all.
            DWORD wait = WaitForSingleObject(mutex, INFINITE);
            if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 0;
            held = true;
            // Read, increment and write in one transaction of the
            // registry: a value that is missing, or too long to be a
            // number, counts as 0. The store also serialises it against
            // other hosts sharing the registry, which this host's mutex
            // cannot see.
            DWORD next = 0;
            const bool ok = w32::RegIncrementValue(reg.m_hKey, "LastId", kIdMask, &next) == ERROR_SUCCESS;
            held = false;
            ReleaseMutex(mutex);
            return ok ? next : 0;
        },
        [&]() -> DWORD {
            if (held) ReleaseMutex(mutex);
            DebugX(kSourceFile, __LINE__);
            return 0;
        });
}

void CreateGuid(GUID* pGuid) {
    if (!pGuid) return;
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        CTime now = CTime::GetCurrentTime();
        DWORD tick = GetTickCount();
        w32::SeedThreadRandom(tick);
        DWORD number = GetNextId();
        struct tm local = {};
        now.GetLocalTm(&local);
        pGuid->Data1 = number;
        pGuid->Data2 = static_cast<WORD>(tick & 0xFFFF);
        pGuid->Data3 = static_cast<WORD>(tick >> 16);
        pGuid->Data4[0] = static_cast<BYTE>(local.tm_mday);
        pGuid->Data4[1] = static_cast<BYTE>(local.tm_mon + 1);
        pGuid->Data4[2] = static_cast<BYTE>((local.tm_year + 1900) % 100);
        pGuid->Data4[3] = static_cast<BYTE>(local.tm_hour);
        pGuid->Data4[4] = static_cast<BYTE>(local.tm_min);
        pGuid->Data4[5] = static_cast<BYTE>(local.tm_sec);
        pGuid->Data4[6] = static_cast<BYTE>(w32::ThreadRandom() & 0xFF);
        pGuid->Data4[7] = static_cast<BYTE>(w32::ThreadRandom() & 0xFF);
    });
}

const char* GetMessageId(char* pszBuffer, int nSize, const char* pszHost) {
    GUID guid = {};
    CreateGuid(&guid);
    if (!pszBuffer || nSize < 34) return "";
    // The identifier read as four little-endian 32-bit words.
    DWORD words[4];
    memcpy(words, &guid, sizeof words);
    snprintf(pszBuffer, 34, "%08x%08x%08x%08x@", words[0], words[1], words[2], words[3]);
    int at = 33;
    for (const char* p = pszHost ? pszHost : ""; *p && at < nSize - 1; ++p) {
        pszBuffer[at++] = *p == '@' ? '.' : *p;
    }
    pszBuffer[at] = '\0';
    return pszBuffer;
}

void GetHostName(CString& cszName) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        cszName = kDefaultHostName;
        char host[128];
        if (w32::MachineHostName(host, sizeof host)) cszName = host;
        CRegistry reg;
        if (tmc::OpenParametersToRead(reg) != ERROR_SUCCESS) return;
        // Read aside and assigned whole, so that a failure leaves the name
        // as it was.
        tmc::GuardedReportingAllocation(kSourceFile, __LINE__,
            [&] {
                CString value;
                if (reg.QueryValue("hostname", value) == ERROR_SUCCESS) cszName = value;
            });
    });
}
