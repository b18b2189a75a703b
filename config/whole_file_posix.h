// The parts of the POSIX whole-file update that its two files share: the update itself in
// whole_file_posix.cpp, the replacement by a temporary file and a rename in
// whole_file_rename_posix.cpp.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/whole_file.h"

namespace vek {

// Closes a descriptor on every way out of a function.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        const int value = fd;
        fd = -1;
        return value;
    }
};

enum class FileWrite {
    done,
    changed,   // another program wrote the file since it was read: read it again
    in_place,  // a rename cannot keep what the file is (owner, folder): rewrite it in place
    failed,
};

std::string folder_of(const std::string& path);

// Writes all of bytes from the start of the file.
bool write_all_at(int fd, const std::string& bytes);

// The same file with the same bytes as far as its status tells: nobody wrote it in between.
bool same_file_state(const struct stat& a, const struct stat& b);

// Writes bytes to a new file beside target and renames it over target, with read's owner and
// mode, unless target's state is no longer read's.
FileWrite replace_by_rename(const std::string& target, const struct stat& read, const std::string& bytes);

// Removes the temporary files of target's that processes which have ended left behind.
void sweep_stale_temporaries(const std::string& target);

}  // namespace vek
