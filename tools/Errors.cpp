//===-- tools/Errors.cpp - Win32 codes in words ---------------------------===//
#include <cstdio>

#include "Tmctl.h"

namespace tmctl {

std::string DescribeWin32Error(DWORD code) {
    static const struct {
        DWORD code;
        const char* name;
        const char* meaning;
    } kCodes[] = {
        {0, "ERROR_SUCCESS", "success"},
        {2, "ERROR_FILE_NOT_FOUND", "the file, key or value does not exist"},
        {3, "ERROR_PATH_NOT_FOUND", "the path does not exist"},
        {5, "ERROR_ACCESS_DENIED", "access is denied"},
        {6, "ERROR_INVALID_HANDLE", "the handle is not open"},
        {8, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory"},
        {13, "ERROR_INVALID_DATA", "the data is invalid"},
        {29, "ERROR_WRITE_FAULT", "a write failed"},
        {32, "ERROR_SHARING_VIOLATION", "the file is in use by another process"},
        {38, "ERROR_HANDLE_EOF", "reached the end of the file"},
        {53, "ERROR_BAD_NETPATH", "the network path was not found"},
        {87, "ERROR_INVALID_PARAMETER", "a parameter is incorrect"},
        {112, "ERROR_DISK_FULL", "the disk is full"},
        {123, "ERROR_INVALID_NAME", "the name is not valid"},
        {126, "ERROR_MOD_NOT_FOUND", "the library was not found"},
        {127, "ERROR_PROC_NOT_FOUND", "the entry point was not found"},
        {161, "ERROR_BAD_PATHNAME", "the path is not valid"},
        {183, "ERROR_ALREADY_EXISTS", "the object already exists"},
        {193, "ERROR_BAD_EXE_FORMAT", "the file is not a library of this platform"},
        {206, "ERROR_FILENAME_EXCED_RANGE", "the path is too long"},
        {234, "ERROR_MORE_DATA", "more data is available than fits"},
        {259, "ERROR_NO_MORE_ITEMS", "no more items"},
        {288, "ERROR_NOT_OWNER", "the mutex is not owned by the caller"},
        {1009, "ERROR_BADDB", "the registry database is corrupt"},
        {1011, "ERROR_CANTOPEN", "the registry file does not exist (create it with 'tmctl reg init')"},
        {1015, "ERROR_REGISTRY_CORRUPT", "the registry is corrupt"},
        {1016, "ERROR_REGISTRY_IO_FAILED", "the registry database cannot be read or written"},
        {1017, "ERROR_NOT_REGISTRY_FILE", "not a registry database"},
        {1018, "ERROR_KEY_DELETED", "the key has been deleted"},
        {1060, "ERROR_SERVICE_DOES_NOT_EXIST", "the service does not exist"},
        {1065, "ERROR_DATABASE_DOES_NOT_EXIST", "the service database does not exist"},
        {1072, "ERROR_SERVICE_MARKED_FOR_DELETE", "the service is marked for deletion"},
        {1073, "ERROR_SERVICE_EXISTS", "the service already exists"},
        {1078, "ERROR_DUPLICATE_SERVICE_NAME", "the display name is already in use"},
        {1460, "ERROR_TIMEOUT", "the wait timed out"},
        {1722, "RPC_S_SERVER_UNAVAILABLE", "the other computer cannot be reached"},
    };
    for (const auto& c : kCodes) {
        if (c.code == code) return std::string(c.name) + ": " + c.meaning;
    }
    return "unknown error";
}

int Win32Failure(const std::string& what, DWORD code) {
    fprintf(stderr, "tmctl: %s: error %u (%s)\n", what.c_str(), static_cast<unsigned>(code),
            DescribeWin32Error(code).c_str());
    return kFailed;
}

}  // namespace tmctl
