//===-- tests/package/host_names.cpp - A host with Win32 names of its own -===//
//
// A program that has its own TRUE, MAX_PATH, Sleep and _stricmp, includes
// the library's headers with TM_NO_WIN32_NAMES and links the shared
// library. It must compile, and the library's own calls must still reach
// the library's functions: its _stricmp here says that no two strings are
// equal, which CString::CompareNoCase would report if it were called in
// place of the library's. Exit status 0 when all holds.
//===----------------------------------------------------------------------===//
#define TRUE 2
#define MAX_PATH 4096
#define TM_NO_WIN32_NAMES
#include <tmcommon/tmcommon.h>

#include <cstdio>

static int g_hostCalls = 0;

extern "C" int _stricmp(const char*, const char*) {
    ++g_hostCalls;
    return 1;
}
extern "C" void Sleep(unsigned) { ++g_hostCalls; }

int main() {
    char path[MAX_PATH];
    static_assert(sizeof path == 4096 && TRUE == 2, "the host's own macros were replaced");
    CString text("Mixed Case");
    int equal = text.CompareNoCase("mIXED cASE") == 0;
    if (!equal || g_hostCalls != 0) {
        std::printf("CompareNoCase %s, %d calls reached the host's functions\n",
                    equal ? "equal" : "NOT EQUAL", g_hostCalls);
        return 1;
    }
    return 0;
}
