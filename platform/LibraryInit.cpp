//===-- platform/LibraryInit.cpp - What happens when the library loads ----===//
//
// The one place that owns the order of the library's start and end. The
// objects below are defined in this file, in this order, so that they are
// built in it when the library is loaded and destroyed in reverse when it
// is unloaded:
//   1. the event log's static members and CEventLog::Initialize (process
//      name, log directory, the process's own log mutexes);
//   2. the class mutexes of CTmScript and CRasDial;
//   3. the process environment (version, open security attributes).
// At unload the process environment goes first and
// CEventLog::Uninitialize runs last. Before anything else runs, the layer
// takes the executable's path (fixed from then on, as on Windows) and
// installs the fault handlers of the catch-all guard.
//
// Nothing at load opens the registry or names a shared kernel object: both
// would fix the registry's location, which a program may still choose with
// TmSetRegistryPath. What comes from the installation is taken on first
// use instead: the event log's named mutexes and the log directory named in
// the registry by the first CEventLog, the installation mutex and the root
// path by the first call that needs one of them.
//
// Windows' thread attach and detach notifications have no counterpart
// here; nothing happens when threads start or end.
//===----------------------------------------------------------------------===//
#include "Guard.h"
#include "Layer.h"
#include "platform/ProcessEnv.h"
#include "tmlogging.h"
#include "tmplatform.h"

namespace {

struct LayerAtLoad {
    LayerAtLoad() {
        w32::RememberExecutablePath();
        w32::InstallFaultHandlers();
    }
};
LayerAtLoad g_layerAtLoad;

}  // namespace

// 1. The event log.
HANDLE CEventLog::m_hMutex = nullptr;
HANDLE CEventLog::m_hSharedMutex = nullptr;
HANDLE CEventLog::m_hWebMutex = nullptr;
HANDLE CEventLog::m_hWebSharedMutex = nullptr;
HANDLE CEventLog::m_hFile = INVALID_HANDLE_VALUE;
HANDLE CEventLog::m_hWebFile = INVALID_HANDLE_VALUE;
DWORD CEventLog::m_dwFileLogging = 0x3F;
int CEventLog::m_nCount = 0;
char CEventLog::m_szName[64] = "";
CString CEventLog::m_cszLogPath;
int CEventLog::m_bBurdock = 0;

namespace {

struct EventLogLifetime {
    EventLogLifetime() { CEventLog::Initialize(); }
    ~EventLogLifetime() { CEventLog::Uninitialize(); }
};
EventLogLifetime g_eventLogLifetime;

}  // namespace

// 2. The optional libraries' class mutexes.
CMutex CTmScript::m_Mutex;
CMutex CRasDial::m_Mutex;

// 3. The process environment.
CProcessEnv g_ProcessEnv;
