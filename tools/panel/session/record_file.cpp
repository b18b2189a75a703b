#include "panel/session/record_file.h"

#include <cerrno>
#include <cstring>

namespace vek::panel {

namespace {

// The file's first line, without its line end; empty for an empty file.
std::string first_line(FILE* file) {
    std::string line;
    if (std::fseek(file, 0, SEEK_SET) != 0) return line;
    for (int c; line.size() < 4096 && (c = std::fgetc(file)) != EOF && c != '\n';) line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Whether the file's last byte ends a line (or the file is empty).
bool ends_its_line(FILE* file) {
    if (std::fseek(file, -1, SEEK_END) != 0) return true;
    return std::fgetc(file) == '\n';
}

}  // namespace

FILE* open_record_file(const std::string& path, const RecordKind& kind, std::string* error) {
    FILE* file = open_record_for_append(path, kind, error);
    if (file == nullptr) return nullptr;
    // Before any other use of the stream, as setvbuf must be: whole lines a batch, flushed by
    // the panel once a cycle, never a line at a time.
    if (std::setvbuf(file, nullptr, _IOFBF, 1 << 16) != 0) {
        *error = "cannot buffer the " + std::string(kind.what) + " " + path;
        std::fclose(file);
        return nullptr;
    }
    if (!record_file_empty(file)) {
        if (!kind.first_line_is_ours(first_line(file))) {
            *error = "the " + std::string(kind.what) + " " + path + " holds something else: it does not begin as a " +
                     kind.option + " record does. Name a new file, or one an earlier " + kind.option + " wrote";
            std::fclose(file);
            return nullptr;
        }
        const bool fresh_line = ends_its_line(file);
        // Reading and writing take turns only after a seek; appends go to the end regardless.
        if (std::fseek(file, 0, SEEK_END) != 0 || (!fresh_line && std::fputc('\n', file) == EOF) ||
            std::fflush(file) != 0) {
            *error = "cannot write the " + std::string(kind.what) + " " + path + ": " + std::strerror(errno);
            std::fclose(file);
            return nullptr;
        }
    }
    return file;
}

}  // namespace vek::panel
