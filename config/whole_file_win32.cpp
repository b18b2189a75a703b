// Whole-file reads and crash-safe replacement on Windows. Paths are ANSI text, as the profile
// functions take them, turned into UTF-16 the way the A functions turn them.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "config/whole_file.h"

namespace vek {

namespace {

// Closes a handle on every way out of a function.
struct Handle {
    HANDLE value;
    explicit Handle(HANDLE opened) : value(opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE) CloseHandle(value);
    }
    bool open() const { return value != INVALID_HANDLE_VALUE; }
    bool close() {
        const BOOL closed = CloseHandle(value);
        value = INVALID_HANDLE_VALUE;
        return closed != 0;
    }
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// In the code page the A file functions use: the ANSI one, or the OEM one if the process chose it.
bool widen(const char* path, std::wstring& wide) {
    const UINT page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int size = MultiByteToWideChar(page, 0, path, -1, nullptr, 0);
    if (size <= 0) return false;
    wide.assign(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(page, 0, path, -1, &wide[0], size) != size) return false;
    wide.resize(static_cast<std::size_t>(size - 1));  // the terminating NUL
    return true;
}

bool is_folder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Removes a file of this module's making; read-only is cleared first, since a replacement that
// failed half-way may have taken the old file's attributes. False when it is still there.
bool discard(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // checked by the delete that follows
    return DeleteFileW(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool full_path(const std::wstring& given, std::wstring& full) {
    const DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (size == 0) return false;
    full.assign(size, L'\0');
    const DWORD length = GetFullPathNameW(given.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) return false;
    full.resize(length);
    return true;
}

// The path of the file an open handle is on, every link followed ("\\?\C:\...").
bool final_path(HANDLE file, std::wstring& path) {
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
    if (size == 0) return false;
    path.assign(size, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, &path[0], size, flags);
    if (length == 0 || length >= size) return false;
    path.resize(length);
    return true;
}

// Follows links to the file that holds the bytes. A name with nothing behind it is the new file's
// full path; a name that is there but cannot be opened (a link to nothing, a locked file) is
// refused, as is anything but a file on disk.
bool resolve_target(const std::wstring& given, std::wstring& target, bool& exists) {
    // No access asked for: only the file's kind and final name are read. Backup semantics let a
    // folder open too, so that it is refused rather than taken for a missing file.
    Handle file(CreateFileW(given.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.open()) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND || GetFileAttributesW(given.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        exists = false;
        return full_path(given, target);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.value) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.value, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    exists = true;
    return final_path(file.value, target);
}

std::wstring temporary_name(const std::wstring& target) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of(L"\\/");
    const std::size_t name_at = (slash == std::wstring::npos) ? 0 : slash + 1;
    // A dot in front, as on POSIX, marks the file as the store's own passing copy.
    return target.substr(0, name_at) + L"." + target.substr(name_at) + L".tmp-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter.fetch_add(1));
}

bool write_all(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// The bytes in a new file, flushed to the disk. On failure the file is removed again; a name
// that was taken already is left to whoever took it.
bool write_new_file(const std::wstring& temp, std::string_view bytes) {
    Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.open()) return false;
    if (write_all(file.value, bytes) && FlushFileBuffers(file.value) && file.close()) return true;
    if (file.open()) file.close();  // before the delete, which an open handle would hold up
    discard(temp);
    return false;
}

// ReplaceFileW keeps what the old file carried (its ACLs, attributes and creation time). It moves
// the old file to a backup name first, so that each way it fails leaves the old bytes somewhere:
// under the old name, or under the backup's, from where they are put back.
bool replace_existing(const std::wstring& target, const std::wstring& temp) {
    const std::wstring backup = temporary_name(target);
    // Without the right to write the old file's ACLs the new one keeps its own, as a POSIX file
    // keeps its owner when the old one's cannot be given.
    if (ReplaceFileW(target.c_str(), temp.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        discard(backup);  // the new file is in place either way; a backup left is only clutter
        return true;
    }
    // The old file is under the backup name and the new one was not moved in: it goes back. Should
    // that fail too, the backup is left where it is, holding the one copy of the old bytes.
    if (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    }
    discard(temp);
    return false;
}

}  // namespace

FileRead read_whole_file(const char* path, std::string& out) {
    out.clear();
    std::wstring wide;
    if (!widen(path, wide)) return FileRead::failed;
    Handle file(CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.open()) {
        const DWORD error = GetLastError();
        // A folder is refused as access denied; it reads as missing, as on POSIX.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || is_folder(wide)) return FileRead::missing;
        return FileRead::failed;
    }
    // A device or a pipe could be read forever; only a file on disk holds settings.
    if (GetFileType(file.value) != FILE_TYPE_DISK) return FileRead::failed;
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.value, buffer, sizeof buffer, &got, nullptr)) return FileRead::failed;
        if (got == 0) return FileRead::ok;
        out.append(buffer, got);
    }
}

bool replace_whole_file(const char* path, std::string_view bytes) {
    std::wstring given;
    std::wstring target;
    bool exists = false;
    if (!widen(path, given) || !resolve_target(given, target, exists)) return false;
    const std::wstring temp = temporary_name(target);
    if (!write_new_file(temp, bytes)) return false;
    if (exists) return replace_existing(target, temp);
    // Nothing to keep: a plain rename, replacing whatever took the name since, flushed before it returns.
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    discard(temp);
    return false;
}

bool rewrite_whole_file_in_place(const char* path, std::string_view bytes) {
    std::wstring wide;
    if (!widen(path, wide)) return false;
    Handle file(CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.open()) return false;
    if (GetFileType(file.value) != FILE_TYPE_DISK) return false;
    return write_all(file.value, bytes) && SetEndOfFile(file.value) && FlushFileBuffers(file.value) && file.close();
}

// Windows has no such lock among the programs that edit profiles, which use the profile functions.
bool update_whole_file(const char* path, const FileChange& change) {
    std::string bytes;
    if (read_whole_file(path, bytes) == FileRead::failed) return false;
    const std::optional<std::string> changed = change(bytes);
    return !changed || replace_whole_file(path, *changed);
}

}  // namespace vek
