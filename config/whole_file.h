// Whole-file reads and updates, for the settings store.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

enum class FileRead { ok, missing, failed };

// Reads the regular file at path into out. A path that does not exist, or names a directory or
// something under a missing folder, is missing.
FileRead read_whole_file(const char* path, std::string& out);

// What an update makes of the file's bytes (empty for a new file): the new bytes, or nothing to
// leave the file as it is. It may be called again, on bytes another program has written since.
using FileChange = std::function<std::optional<std::string>(const std::string& bytes)>;

// Reads the file at path, or creates it, and writes what change makes of it. A symbolic link is
// followed, and its target written. false when the file was not written; it is then as it was.
//
// On Linux, for other programs that update the same file:
// - The file itself is locked (flock, exclusive) from the read to the write, so a program that
//   locks it the same way, as the driver and the panel do, never loses an update to another;
//   the lock is on the file, not on a lock file beside it, for any program that locks the files
//   it edits. A program that writes without the lock is caught by the file's state (inode, size,
//   time to the nanosecond) checked just before the write: the file is read and changed again.
// - A file nobody may write (no write permission bit, even for root) is refused.
// - The new bytes go to a temporary file beside it (".<name>.tmp-<pid>-<random>", 0600 until it
//   takes the file's mode and owner), synced and renamed over it, so a reader or a crash sees the
//   old file or the new one, never a mix. Where a rename would change what the file is (its
//   owner, which only root may give away; its other hard links; a folder the saver may not write
//   to), the file is rewritten in place instead, its old bytes put back if that write fails.
// - Temporary files of processes that have ended (killed during a save) are removed.
// - A write past the file-size limit fails the update; SIGXFSZ never ends the process.
// On Windows: the new bytes replace the old file as there (see replace_whole_file).
bool update_whole_file(const char* path, const FileChange& change);

// Replaces the file at path with bytes, or creates it, as update_whole_file does. On Windows the
// bytes go to a new file in the same folder, which is flushed and put in place of the old one,
// whose ACLs and attributes are kept. On failure the old file is left untouched and no
// temporary file remains.
bool replace_whole_file(const char* path, std::string_view bytes);

// Writes bytes over the existing file at path through a handle of its own, from its start, and
// cuts it there: the file stays the same file (its ACL, owner, hard links, and any other program's
// handle on it), where a rename would make a new one, and would fail while another program holds
// it without delete sharing. For giving back bytes the file held before; not crash-safe. false when
// the file cannot be opened or written.
bool rewrite_whole_file_in_place(const char* path, std::string_view bytes);

}  // namespace vek
