//===-- tests/win32/StreamsTest.cpp - Text streams and share modes --------===//
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "Layer.h"
#include "support/TestSupport.h"
#include "Win32Internal.h"

namespace {

std::string ReadAll(FILE* fp) {
    std::string text;
    char buf[7];  // small reads cross CR LF pairs
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
    return text;
}

// Line feeds are CR LF on disk; reading keeps lone carriage returns.
TEST(TextStreamTest, LineEndsOnDisk) {
    std::string path = tmtest::SandboxDir() + "/text.txt";
    for (const char* mode : {"w", "a"}) {
        FILE* fp = tm_fopen(path.c_str(), mode);
        ASSERT_NE(fp, nullptr);
        fputs("one\n\nend", fp);
        fclose(fp);
    }
    EXPECT_EQ(tmtest::ReadFile(path), "one\r\n\r\nendone\r\n\r\nend");

    struct Case { std::string disk; std::string text; };
    const Case kCases[] = {
        {"a\rb", "a\rb"}, {"a\r", "a\r"}, {"\r\r\n", "\r\n"},
        {std::string(6, 'x') + "\r\n" + "y", std::string(6, 'x') + "\ny"},  // pair across a read
        {std::string(8191, 'x') + "\r\nz", std::string(8191, 'x') + "\nz"},
        {std::string(8191, 'x') + "\rz\r\n\r", std::string(8191, 'x') + "\rz\n\r"},
        {"\r\n\r\n" + std::string(9000, 'y') + "\r\n", "\n\n" + std::string(9000, 'y') + "\n"},
    };
    for (const Case& c : kCases) {
        tmtest::WriteFile(path, c.disk);
        // Unbuffered streams read a few bytes at a time, buffered ones a
        // buffer at a time.
        for (FILE* fp : {tm_fopen(path.c_str(), "r"), w32::OpenBufferedStream(path.c_str(), "r", _SH_DENYNO)}) {
            ASSERT_NE(fp, nullptr);
            EXPECT_EQ(ReadAll(fp), c.text) << c.disk.size();
            fclose(fp);
        }
    }
    FILE* fp = tm_fopen(path.c_str(), "rb");
    EXPECT_EQ(ReadAll(fp), kCases[std::size(kCases) - 1].disk);  // binary streams are untouched
    fclose(fp);
    // fgets gives lines without their carriage returns; positions are file offsets.
    tmtest::WriteFile(path, "Subject: x\r\n\r\nbody\r\n");
    fp = tm_fopen(path.c_str(), "r");
    char line[256];
    for (const char* expected : {"Subject: x\n", "\n"}) EXPECT_STREQ(fgets(line, sizeof line, fp), expected);
    EXPECT_EQ(ftell(fp), 14);
    fclose(fp);
}

TEST(ShareModeTest, DenyWriteKeepsWritersOut) {
    std::string path = tmtest::SandboxDir() + "/shared.msg";
    tmtest::WriteFile(path, "x\r\n");
    FILE* reader = _fsopen(path.c_str(), "r", _SH_DENYWR);
    ASSERT_NE(reader, nullptr);
    errno = 0;
    EXPECT_EQ(tm_fopen(path.c_str(), "a"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(fclose(tm_fopen(path.c_str(), "r")), 0);  // readers are welcome
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    fclose(reader);
    FILE* writer = tm_fopen(path.c_str(), "a");
    ASSERT_NE(writer, nullptr);
    // A writer is open: a reader that denies writing is refused.
    EXPECT_EQ(_fsopen(path.c_str(), "r", _SH_DENYWR), nullptr);
    fclose(writer);
}

// Windows opens no directory as a file, in any mode; Linux would read one.
TEST(ShareModeTest, DirectoriesAreNotOpened) {
    const std::string dir = tmtest::MakeDir("not-a-file");
    for (const char* mode : {"r", "rb", "r+", "w", "a", "wb"}) {
        errno = 0;
        EXPECT_TRUE(tm_fopen(dir.c_str(), mode) == nullptr && errno == EACCES) << mode;
        errno = 0;
        EXPECT_TRUE(_fsopen(dir.c_str(), mode, _SH_DENYWR) == nullptr && errno == EACCES) << mode;
    }
    struct Case { DWORD access, disposition; };
    const Case kCases[] = {
        {GENERIC_READ, OPEN_EXISTING}, {0, OPEN_EXISTING}, {GENERIC_READ, OPEN_ALWAYS},
        {GENERIC_WRITE, OPEN_EXISTING}, {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS},
    };
    for (const Case& c : kCases) {
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(CreateFileA(dir.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, c.disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE) << std::hex << c.access << " " << c.disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << c.access;
    }
    // Whether something is there, without opening it.
    tmtest::WriteFile(dir + "/file", "x");
    EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((dir + "/file").c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA((dir + "/none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA((dir + "/file/below").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FileHandleTest, AppendsAtTheEndAndReportsExistingFiles) {
    std::string path = tmtest::SandboxDir() + "/handle.log";
    auto open = [](const std::string& file) {
        return CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE h = open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE h2 = open(path);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD written = 0xDEADBEEF;
    // A position may equal INVALID_SET_FILE_POINTER, so success clears the
    // last error: callers tell the two apart by it.
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(SetFilePointer(h2, 0, nullptr, FILE_END), 3u);
    EXPECT_TRUE(WriteFile(h2, "de", 2, &written, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(CloseHandle(h2));
    EXPECT_FALSE(CloseHandle(h2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(tmtest::ReadFile(path), "abcde");
    // An append-only handle writes at the end, wherever its pointer stands.
    HANDLE append = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(append, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(append, 1, nullptr, FILE_BEGIN), 1u);
    EXPECT_TRUE(WriteFile(append, "fg", 2, &written, nullptr));
    EXPECT_TRUE(CloseHandle(append));
    EXPECT_EQ(tmtest::ReadFile(path), "abcdefg");
    EXPECT_EQ(open(tmtest::SandboxDir() + "/no/such/dir/x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
