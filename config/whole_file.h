// Whole-file reads and crash-safe replacement, for the settings store.
#pragma once

#include <string>
#include <string_view>

namespace vek {

enum class FileRead { ok, missing, failed };

// Reads the regular file at path into out. A path that does not exist, or names a directory or
// something under a missing folder, is missing.
FileRead read_whole_file(const char* path, std::string& out);

// Replaces the file at path with bytes, or creates it. The bytes go to a new file in the same
// folder, which is synced and renamed over the old one, so a reader or a crash sees either the
// old file or the new one, never a mix. A symbolic link is followed, and its target replaced;
// the old file's permissions and owner are kept (on Windows its ACLs and attributes). On failure
// the old file is left untouched and no temporary file remains.
bool replace_whole_file(const char* path, std::string_view bytes);

}  // namespace vek
