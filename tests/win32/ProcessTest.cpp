//===-- tests/win32/ProcessTest.cpp - Process calls of the layer ----------===//
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "Layer.h"
#include "tmwin32.h"

namespace {

TEST(ProcessTest, ModuleFileNameIsTheExecutable) {
    char path[4096], small[5];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
    EXPECT_STREQ(w32::BaseName(path), "test_win32");
    memset(small, 0xBD, sizeof small);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small, 5), std::string(path, 4) + '\0');
}

TEST(ProcessTest, ThreadsHaveTheirOwnIdsAndLastErrors) {
    DWORD mine = GetCurrentThreadId(), other = 0, otherError = 0xDEADBEEF;
    SetLastError(1234);
    std::thread([&] {
        other = GetCurrentThreadId();
        otherError = GetLastError();
        SetLastError(99);
    }).join();
    EXPECT_NE(mine, other);
    EXPECT_EQ(otherError, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    // A forked child's thread is a thread of its own, not its parent's.
    pid_t pid = fork();
    if (pid == 0) _exit(GetCurrentThreadId() == static_cast<DWORD>(getpid()) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
}

TEST(ProcessTest, VersionReportsNtWithTheKernelsNumbers) {
    static_assert(sizeof(OSVERSIONINFOA) == 148);
    OSVERSIONINFOA info;
    memset(&info, 0xBD, sizeof info);
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&info));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_GE(info.dwMajorVersion, 2u);
    EXPECT_LT(strlen(info.szCSDVersion), sizeof info.szCSDVersion);
}

TEST(ProcessTest, SecurityDescriptorWithAnOpenDacl) {
    void* sd = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    EXPECT_FALSE(SetSecurityDescriptorDacl(sd, TRUE, nullptr, FALSE));  // not initialised yet
    EXPECT_FALSE(InitializeSecurityDescriptor(sd, 2));
    EXPECT_TRUE(InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(LocalFree(sd), nullptr);
}

LRESULT CALLBACK_Echo(HWND, UINT msg, WPARAM w, LPARAM l) { return static_cast<LRESULT>(msg + w + l); }

TEST(ProcessTest, MessagesReachTheRegisteredProcedureAndTicksAreMilliseconds) {
    HWND hwnd = reinterpret_cast<HWND>(0x1234);
    TmRegisterWindowProc(hwnd, CALLBACK_Echo);
    EXPECT_EQ(SendMessageA(hwnd, 1, 2, 3), 6);
    TmRegisterWindowProc(hwnd, nullptr);
    SetLastError(0);
    EXPECT_EQ(SendMessageA(hwnd, 1, 2, 3), 0);
    EXPECT_EQ(GetLastError(), 1400u);  // ERROR_INVALID_WINDOW_HANDLE
    DWORD start = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - start, 19u);  // unsigned difference: correct across the wrap
    EXPECT_LT(GetTickCount() - start, 5000u);
}

}  // namespace
