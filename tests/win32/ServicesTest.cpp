//===-- tests/win32/ServicesTest.cpp - The service control manager --------===//
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/TestSupport.h"
#include "tmwin32.h"

namespace tmtest {
namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr DWORD kSentinel = 0xDEADBEEF;

struct Manager {
    explicit Manager(DWORD access = SC_MANAGER_ALL_ACCESS) : h(OpenSCManagerA(nullptr, nullptr, access)) {}
    ~Manager() { CloseServiceHandle(h); }
    SC_HANDLE h;
};

SC_HANDLE Create(SC_HANDLE manager, const char* name, const char* display = nullptr, const char* path = "/srv/tamarak/tmarksvc") {
    return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                          SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// The last error of a call that fails; 0 if it succeeds.
template <class Call>
DWORD ErrorOf(Call call) {
    SetLastError(kSentinel);
    return call() ? 0 : GetLastError();
}

bool ServiceKeyExists(const std::string& name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServices + name).c_str(), 0, KEY_READ, &h)) return false;
    RegCloseKey(h);
    return true;
}

// A value of a service key as type and bytes, or type REG_NONE if missing.
std::pair<DWORD, std::string> Value(const std::string& service, const char* name) {
    HKEY h = nullptr;
    char data[1024];
    DWORD type = 0, size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServices + service).c_str(), 0, KEY_READ, &h)) return {};
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    return rc ? std::pair<DWORD, std::string>() : std::pair(type, std::string(data, size));
}

std::string Sz(const char* text) { return std::string(text, strlen(text) + 1); }
std::string Dword(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); }

TEST(ServicesTest, ServiceIsStoredWhereNtKeepsIt) {
    Manager scm;
    ASSERT_NE(scm.h, nullptr) << GetLastError();
    SC_HANDLE svc = Create(scm.h, "TmStored", "Tamarak Mail", "/srv/my dir/tmarksvc");
    ASSERT_NE(svc, nullptr) << GetLastError();
    SC_HANDLE full = CreateServiceA(scm.h, "TmFull", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_SHARE_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "/x", "Mail",
                                    nullptr, "TmStored\0+Network\0\0", ".\\mailer", "password");
    ASSERT_NE(full, nullptr) << GetLastError();
    struct Case { const char* service; const char* value; DWORD type; std::string data; };
    const Case kCases[] = {
        {"TmStored", "Type", REG_DWORD, Dword(0x10)},
        {"TmStored", "Start", REG_DWORD, Dword(2)},
        {"TmStored", "ErrorControl", REG_DWORD, Dword(1)},
        {"TmStored", "ImagePath", REG_EXPAND_SZ, Sz("/srv/my dir/tmarksvc")},
        {"TmStored", "DisplayName", REG_SZ, Sz("Tamarak Mail")},
        {"TmStored", "ObjectName", REG_SZ, Sz("LocalSystem")},
        {"TmStored", "DeleteFlag", REG_NONE, ""},
        {"TmStored", "Group", REG_NONE, ""},
        {"TmFull", "DisplayName", REG_SZ, Sz("TmFull")},  // none given: the name
        {"TmFull", "ObjectName", REG_SZ, Sz(".\\mailer")},
        {"TmFull", "Group", REG_SZ, Sz("Mail")},
        {"TmFull", "DependOnService", REG_MULTI_SZ, std::string("TmStored\0\0", 10)},
        {"TmFull", "DependOnGroup", REG_MULTI_SZ, std::string("Network\0\0", 9)},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(Value(c.service, c.value), std::make_pair(c.type, c.data)) << c.service << " " << c.value;
    }
    for (SC_HANDLE h : {svc, full}) EXPECT_TRUE(DeleteService(h) && CloseServiceHandle(h));
    EXPECT_FALSE(ServiceKeyExists("TmStored"));
}

TEST(ServicesTest, DeletionWaitsForTheLastHandle) {
    Manager scm;
    SC_HANDLE created = Create(scm.h, "TmLife", "Tamarak Life");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(ErrorOf([&] { return Create(scm.h, "TMLIFE", "Other"); }), DWORD(ERROR_SERVICE_EXISTS));  // names ignore case
    SC_HANDLE opened = OpenServiceA(scm.h, "tmlife", SERVICE_ALL_ACCESS);
    ASSERT_NE(opened, nullptr) << GetLastError();
    EXPECT_TRUE(DeleteService(opened));
    EXPECT_EQ(ErrorOf([&] { return DeleteService(created); }), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(ErrorOf([&] { return Create(scm.h, "TmLife"); }), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(Value("TmLife", "DeleteFlag").second, Dword(1));
    EXPECT_TRUE(CloseServiceHandle(opened));
    EXPECT_TRUE(ServiceKeyExists("TmLife")) << "a handle is still open";
    EXPECT_TRUE(CloseServiceHandle(created));
    EXPECT_FALSE(ServiceKeyExists("TmLife"));
    EXPECT_EQ(ErrorOf([&] { return OpenServiceA(scm.h, "TmLife", SERVICE_ALL_ACCESS); }), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    SC_HANDLE again = Create(scm.h, "TmLife", "Tamarak Life");
    EXPECT_TRUE(again && DeleteService(again) && CloseServiceHandle(again)) << GetLastError();
}

TEST(ServicesTest, RefusalsNameTheirError) {
    Manager scm;
    Manager connectOnly(SC_MANAGER_CONNECT);
    SC_HANDLE taken = Create(scm.h, "TmTaken", "Tamarak Taken");
    ASSERT_NE(taken, nullptr);
    SC_HANDLE readOnly = OpenServiceA(scm.h, "TmTaken", SERVICE_QUERY_CONFIG);
    ASSERT_NE(readOnly, nullptr);
    const std::string tooLong(256, 'n');
    SC_HANDLE m = scm.h;
    auto create = [m](const char* name, const char* display = "D") { return Create(m, name, display); };
    auto config = [m](DWORD type, DWORD start, DWORD errorControl, LPDWORD tag = nullptr) {
        return CreateServiceA(m, "TmX", nullptr, 0, type, start, errorControl, "/x", tag ? "Boot Bus" : nullptr, tag,
                              nullptr, nullptr, nullptr);
    };
    DWORD tag = 0;
    struct Case { const char* label; std::function<SC_HANDLE()> call; DWORD error; };
    const Case kCases[] = {
        {"service handle as manager", [&] { return Create(readOnly, "TmX"); }, ERROR_INVALID_HANDLE},
        {"connect-only manager", [&] { return Create(connectOnly.h, "TmX"); }, ERROR_ACCESS_DENIED},
        {"no name", [&] { return create(nullptr); }, ERROR_INVALID_PARAMETER},
        {"empty name", [&] { return create(""); }, ERROR_INVALID_NAME},
        {"backslash", [&] { return create("a\\b"); }, ERROR_INVALID_NAME},
        {"256 characters", [&] { return create(tooLong.c_str()); }, ERROR_INVALID_NAME},
        {"empty path", [&] { return Create(m, "TmX", nullptr, ""); }, ERROR_INVALID_PARAMETER},
        {"process at boot", [&] { return config(SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, 1); }, ERROR_INVALID_PARAMETER},
        {"unknown type", [&] { return config(0x40, SERVICE_AUTO_START, 1); }, ERROR_INVALID_PARAMETER},
        {"unknown error control", [&] { return config(SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, 4); }, ERROR_INVALID_PARAMETER},
        {"a tag", [&] { return config(SERVICE_KERNEL_DRIVER, SERVICE_BOOT_START, 1, &tag); }, ERROR_INVALID_PARAMETER},
        {"display taken", [&] { return create("TmX", "tamarak TAKEN"); }, ERROR_DUPLICATE_SERVICE_NAME},
        {"display is a name", [&] { return create("TmX", "tmtaken"); }, ERROR_DUPLICATE_SERVICE_NAME},
        {"open missing", [&] { return OpenServiceA(m, "TmNowhere", SERVICE_ALL_ACCESS); }, ERROR_SERVICE_DOES_NOT_EXIST},
        {"open no name", [&] { return OpenServiceA(m, nullptr, SERVICE_ALL_ACCESS); }, ERROR_INVALID_PARAMETER},
        {"open a path", [&] { return OpenServiceA(m, "TmTaken\\Sub", SERVICE_ALL_ACCESS); }, ERROR_INVALID_NAME},
        {"other computer", [&] { return OpenSCManagerA("\\\\elsewhere", nullptr, SC_MANAGER_CONNECT); }, RPC_S_SERVER_UNAVAILABLE},
        {"failed database", [&] { return OpenSCManagerA(nullptr, SERVICES_FAILED_DATABASEA, SC_MANAGER_CONNECT); }, ERROR_DATABASE_DOES_NOT_EXIST},
    };
    for (const Case& c : kCases) EXPECT_EQ(ErrorOf(c.call), c.error) << c.label;
    EXPECT_FALSE(ServiceKeyExists("TmX"));
    EXPECT_EQ(ErrorOf([&] { return DeleteService(readOnly); }), DWORD(ERROR_ACCESS_DENIED));  // no DELETE right
    EXPECT_EQ(ErrorOf([&] { return DeleteService(scm.h); }), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseServiceHandle(readOnly));
    EXPECT_EQ(ErrorOf([&] { return CloseServiceHandle(readOnly); }), DWORD(ERROR_INVALID_HANDLE));
    DeleteService(taken);
    CloseServiceHandle(taken);
}

TEST(ServicesTest, RegistryRestrictionsDenyChanges) {
    Manager scm;
    SC_HANDLE svc = Create(scm.h, "TmGuarded");
    ASSERT_NE(svc, nullptr);
    CloseServiceHandle(svc);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, (kServices + "TmGuarded").c_str(), KEY_READ), 0);
    EXPECT_EQ(ErrorOf([&] { return OpenServiceA(scm.h, "TmGuarded", SERVICE_ALL_ACCESS); }), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseServiceHandle(OpenServiceA(scm.h, "TmGuarded", SERVICE_QUERY_CONFIG)));
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, kServices.c_str(), KEY_READ), 0);
    EXPECT_EQ(ErrorOf([] { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }), DWORD(ERROR_ACCESS_DENIED));
    Manager connect(SC_MANAGER_CONNECT);
    EXPECT_NE(connect.h, nullptr) << "reading needs no write access";
    for (const std::string& key : {kServices, kServices + "TmGuarded"}) {
        ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    }
    SC_HANDLE owner = OpenServiceA(scm.h, "TmGuarded", SERVICE_ALL_ACCESS);
    EXPECT_TRUE(owner && DeleteService(owner) && CloseServiceHandle(owner));
    EXPECT_FALSE(ServiceKeyExists("TmGuarded"));
}

// A service held by another process stays until that process lets go, by
// closing its handle or by dying.
TEST(ServicesTest, HoldersInOtherProcessesKeepAMarkedService) {
    Manager scm;
    for (bool killHolder : {false, true}) {
        SC_HANDLE svc = Create(scm.h, "TmHeld");
        ASSERT_NE(svc, nullptr) << GetLastError();
        const std::string out = SandboxDir() + "/holder" + std::to_string(killHolder), release = out + ".release";
        pid_t holder = StartProgram(HelperPath("platform_probe"), {"hold-service", "TmHeld", release}, {}, out);
        EXPECT_TRUE(WaitForText(out, "held\n"));
        EXPECT_TRUE(DeleteService(svc) && CloseServiceHandle(svc));
        EXPECT_TRUE(ServiceKeyExists("TmHeld")) << "the other process holds it";
        EXPECT_EQ(ErrorOf([&] { return Create(scm.h, "TmHeld"); }), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
        if (killHolder) kill(holder, SIGKILL);
        WriteFile(release, "");
        EXPECT_EQ(WaitProgram(holder), killHolder ? 128 + SIGKILL : 0);
        // A killed holder closed nothing: the next call that meets it deletes it.
        EXPECT_EQ(ServiceKeyExists("TmHeld"), killHolder);
        EXPECT_EQ(ErrorOf([&] { return OpenServiceA(scm.h, "TmHeld", SERVICE_QUERY_CONFIG); }), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_FALSE(ServiceKeyExists("TmHeld")) << (killHolder ? "killed" : "closed");
    }
}

}  // namespace
}  // namespace tmtest
