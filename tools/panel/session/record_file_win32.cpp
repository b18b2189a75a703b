#include "panel/session/record_file.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

namespace vek::panel {

namespace {

// The file's identity: its volume and its index there; false when it cannot be opened.
bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return known;
}

std::string full_path(const std::string& path) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return path;
    return std::string(full, length);
}

}  // namespace

// Windows has no FIFO to wait on; a folder or a device name is refused before it is opened.
FILE* open_record_for_append(const std::string& path, const RecordKind& kind, std::string* error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        *error = "cannot open the " + std::string(kind.what) + " " + path + ": it is not a regular file";
        return nullptr;
    }
    FILE* file = std::fopen(path.c_str(), "a+b");
    if (file == nullptr) *error = "cannot open the " + std::string(kind.what) + " " + path + ": " + std::strerror(errno);
    return file;
}

bool rotate_record_file(const std::string& path, std::string* error) {
    if (MoveFileExA(path.c_str(), (path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
    *error = "cannot rename " + path + " to " + path + ".1 (system error " + std::to_string(GetLastError()) + ")";
    return false;
}

bool record_file_empty(FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    return std::ftell(file) == 0;
}

bool same_record_file(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    if (file_identity(a, &ia) && file_identity(b, &ib)) {
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    }
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, full_path(a).c_str(), -1, full_path(b).c_str(), -1) ==
           CSTR_EQUAL;
}

}  // namespace vek::panel
