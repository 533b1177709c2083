//===-- tests/plugins/tmscript.cpp - A stand-in script engine -------------===//
//
// Every entry point records its arguments and gives a result that depends
// on them, so that a test sees both pass through CTmScript unchanged.
// TM_OMIT_RESET_SCRIPT builds the variant that lacks "ResetScript" (optional),
// TM_OMIT_FILE_OPEN the one that lacks "FileOpen" (required).
//===----------------------------------------------------------------------===//
#include <cstring>

#include "PluginLog.h"

namespace {

__attribute__((constructor)) void OnLoad() { plugin::Record("load tmscript " TM_PLUGIN_VARIANT); }
__attribute__((destructor)) void OnUnload() { plugin::Record("unload tmscript " TM_PLUGIN_VARIANT); }

char g_script[16];

}  // namespace

PLUGIN_EXPORT void* CreateScript() {
    plugin::Record("CreateScript");
    return g_script;
}

PLUGIN_EXPORT int CloseScript(void* pScript) {
    plugin::Record("CloseScript %d", pScript == g_script);
    return 21;
}

PLUGIN_EXPORT int ParseScript(void* pScript, const char* pszText) {
    plugin::Record("ParseScript %d %s", pScript == g_script, plugin::Text(pszText));
    return static_cast<int>(strlen(pszText));
}

PLUGIN_EXPORT int GetError(void* pScript, const char** ppszText, int* pnLine, int* pnColumn,
                           int* pnCode) {
    plugin::Record("GetError %d", pScript == g_script);
    *ppszText = "unexpected end of script";
    *pnLine = 3;
    *pnColumn = 14;
    *pnCode = 1001;
    return 22;
}

PLUGIN_EXPORT int RunScript(HWND hWnd, void* pScript) {
    plugin::Record("RunScript %p %d", static_cast<void*>(hWnd), pScript == g_script);
    return static_cast<int>(reinterpret_cast<uintptr_t>(hWnd) & 0xFFFF);
}

#ifndef TM_OMIT_RESET_SCRIPT
PLUGIN_EXPORT int ResetScript(void* pScript) {
    plugin::Record("ResetScript %d", pScript == g_script);
    return 23;
}
#endif

PLUGIN_EXPORT int AsyncResult(HWND hWnd, void* pScript, int nId, const char* pszResult, int nCode) {
    plugin::Record("AsyncResult %p %d %d %s %d", static_cast<void*>(hWnd), pScript == g_script, nId,
                   plugin::Text(pszResult), nCode);
    return nId + nCode;
}

PLUGIN_EXPORT void FreeBuffer(void* pBuffer) { plugin::Record("FreeBuffer %p", pBuffer); }

#ifndef TM_OMIT_FILE_OPEN
PLUGIN_EXPORT FILE* FileOpen(char* pszName, char* pszMode, int nFlags) {
    plugin::Record("FileOpen %s %s %d", plugin::Text(pszName), plugin::Text(pszMode), nFlags);
    return fopen(pszName, pszMode);
}
#endif

PLUGIN_EXPORT void FileClose(FILE* fp) {
    plugin::Record("FileClose");
    if (fp) fclose(fp);
}
