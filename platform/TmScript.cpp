//===-- platform/TmScript.cpp - The script engine, loaded on demand -------===//
//
// CTmScript loads "TMSCRIPT.DLL" when the first object of the class is
// made, resolves ten entry points by name, forwards calls to them with
// arguments and results unchanged, and frees the library when the last
// object goes. The engine's values mean nothing to this library.
//
// All state is class-static, guarded by m_Mutex (defined with the load
// order in LibraryInit.cpp) while an object is made or destroyed; the
// forwarding members take no lock, since the library is only freed when
// no object is left.
//
// Copies: a copy is one more user, so m_nCount always equals the number
// of live objects; assignment changes nothing.
//
// Diagnostics: "Unable to load TMSCRIPT.DLL, system error %d" (type
// 0x0001) per failed load; nothing for a missing entry point (Load's
// result tells whether every one but "ResetScript" was found); SysError
// when FreeLibrary fails. If anything is thrown while the library loads,
// it is freed again and the class left unloaded before the exception
// reaches the caller.
//===----------------------------------------------------------------------===//
#include "platform/OptionalLibrary.h"
#include "tmlogging.h"
#include "tmplatform.h"

namespace {
const char kSourceFile[] = "TmScript";
}

HINSTANCE CTmScript::m_hInstance = nullptr;
int CTmScript::m_nCount = 0;
void* (*CTmScript::m_pCreateScript)() = nullptr;
int (*CTmScript::m_pCloseScript)(void*) = nullptr;
int (*CTmScript::m_pParseScript)(void*, const char*) = nullptr;
int (*CTmScript::m_pGetError)(void*, const char**, int*, int*, int*) = nullptr;
int (*CTmScript::m_pRunScript)(HWND, void*) = nullptr;
int (*CTmScript::m_pResetScript)(void*) = nullptr;
int (*CTmScript::m_pAsyncResult)(HWND, void*, int, const char*, int) = nullptr;
void (*CTmScript::m_pFreeBuffer)(void*) = nullptr;
FILE* (*CTmScript::m_pFileOpen)(char*, char*, int) = nullptr;
void (*CTmScript::m_pFileClose)(FILE*) = nullptr;

CTmScript::CTmScript() {
    tmc::AddUser(m_Mutex, m_nCount, m_hInstance, [this] { Load(); }, [] { Unload(__LINE__); });
}

CTmScript::CTmScript(const CTmScript&) {
    tmc::AddUser(m_Mutex, m_nCount, m_hInstance, [] {}, [] {});
}

CTmScript& CTmScript::operator=(const CTmScript&) { return *this; }

CTmScript::~CTmScript() { tmc::DropUser(m_Mutex, m_nCount, m_hInstance, [] { Unload(__LINE__); }); }

void CTmScript::Unload(int nLine) {
    if (m_hInstance && !FreeLibrary(m_hInstance)) SysError(kSourceFile, nLine, GetLastError());
    m_hInstance = nullptr;
    m_pCreateScript = nullptr;
    m_pCloseScript = nullptr;
    m_pParseScript = nullptr;
    m_pGetError = nullptr;
    m_pRunScript = nullptr;
    m_pResetScript = nullptr;
    m_pAsyncResult = nullptr;
    m_pFreeBuffer = nullptr;
    m_pFileOpen = nullptr;
    m_pFileClose = nullptr;
}

int CTmScript::IsAvailable() { return m_hInstance != nullptr; }

int CTmScript::Load() {
    CEventLog log(0);
    m_hInstance = LoadLibraryA("TMSCRIPT.DLL");
    if (!m_hInstance) {
        DWORD dwError = GetLastError();
        log.LogEvent(TM_EVENT_ERROR, "Unable to load TMSCRIPT.DLL, system error %d", static_cast<int>(dwError));
        return 0;
    }
    tmc::Resolve(m_hInstance, "CreateScript", &m_pCreateScript);
    tmc::Resolve(m_hInstance, "CloseScript", &m_pCloseScript);
    tmc::Resolve(m_hInstance, "ParseScript", &m_pParseScript);
    tmc::Resolve(m_hInstance, "GetError", &m_pGetError);
    tmc::Resolve(m_hInstance, "RunScript", &m_pRunScript);
    tmc::Resolve(m_hInstance, "ResetScript", &m_pResetScript);
    tmc::Resolve(m_hInstance, "AsyncResult", &m_pAsyncResult);
    tmc::Resolve(m_hInstance, "FreeBuffer", &m_pFreeBuffer);
    tmc::Resolve(m_hInstance, "FileOpen", &m_pFileOpen);
    tmc::Resolve(m_hInstance, "FileClose", &m_pFileClose);
    // "ResetScript" is optional.
    return m_pCreateScript && m_pCloseScript && m_pParseScript && m_pGetError && m_pRunScript &&
           m_pAsyncResult && m_pFreeBuffer && m_pFileOpen && m_pFileClose;
}

void* CTmScript::CreateScript() {
    if (!m_pCreateScript) return nullptr;
    return m_pCreateScript();
}

int CTmScript::CloseScript(void* pScript) {
    if (!m_pCloseScript) return 0;
    return m_pCloseScript(pScript);
}

int CTmScript::ParseScript(void* pScript, const char* pszText) {
    if (!m_pParseScript) return 0;
    return m_pParseScript(pScript, pszText);
}

int CTmScript::GetError(void* pScript, const char** ppszText, int* pnLine, int* pnColumn,
                        int* pnCode) {
    if (!m_pGetError) return 0;
    return m_pGetError(pScript, ppszText, pnLine, pnColumn, pnCode);
}

int CTmScript::RunScript(HWND hWnd, void* pScript) {
    if (!m_pRunScript) return 0;
    return m_pRunScript(hWnd, pScript);
}

int CTmScript::ResetScript(void* pScript) {
    if (!m_pResetScript) return 0;
    return m_pResetScript(pScript);
}

int CTmScript::AsyncResult(HWND hWnd, void* pScript, int nId, const char* pszResult, int nCode) {
    if (!m_pAsyncResult) return 0;
    return m_pAsyncResult(hWnd, pScript, nId, pszResult, nCode);
}

void CTmScript::FreeBuffer(void* pBuffer) {
    if (m_pFreeBuffer) m_pFreeBuffer(pBuffer);
}

FILE* CTmScript::FileOpen(char* pszName, char* pszMode, int nFlags) {
    if (!m_pFileOpen) return nullptr;
    return m_pFileOpen(pszName, pszMode, nFlags);
}

void CTmScript::FileClose(FILE* fp) {
    if (m_pFileClose) m_pFileClose(fp);
}
