#include "panel/session/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vek::panel {

namespace {

FILE* refuse(const std::string& path, const RecordKind& kind, const std::string& why, std::string* error) {
    *error = "cannot open the " + std::string(kind.what) + " " + path + ": " + why;
    return nullptr;
}

// The full path of a file that may not exist yet: its folder's, and its name.
std::string full_path(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::realpath(folder.c_str(), resolved) == nullptr) return path;
    return std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

FILE* open_record_for_append(const std::string& path, const RecordKind& kind, std::string* error) {
    // Looked at before opening: opening a serial device or a terminal would already act on it.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return refuse(path, kind, "it is a symbolic link; name the file itself", error);
        if (S_ISFIFO(st.st_mode)) return refuse(path, kind, "it is a FIFO, not a file", error);
        if (!S_ISREG(st.st_mode)) return refuse(path, kind, "it is not a regular file", error);
    }
    // O_NOFOLLOW: a link planted since the look above is not followed either.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return refuse(path, kind, std::strerror(errno), error);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(path, kind, "it is not a regular file", error);
    }
    FILE* file = ::fdopen(fd, "a+");
    if (file == nullptr) {
        refuse(path, kind, std::strerror(errno), error);
        ::close(fd);
    }
    return file;
}

bool rotate_record_file(const std::string& path, std::string* error) {
    if (::rename(path.c_str(), (path + ".1").c_str()) == 0) return true;
    *error = "cannot rename " + path + " to " + path + ".1: " + std::strerror(errno);
    return false;
}

bool record_file_empty(FILE* file) {
    struct stat st {};
    return ::fstat(::fileno(file), &st) == 0 && st.st_size == 0;
}

bool same_record_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return full_path(a) == full_path(b);
}

}  // namespace vek::panel
