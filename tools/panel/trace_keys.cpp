#include "trace_keys.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "config/settings_backend.h"

namespace {

// The panel is instance 0 of driver 0.
constexpr const char* kSection = "korvanex-vek-driver-0";

bool read_bytes(const std::string& path, std::string* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return false;
    bytes->assign(static_cast<std::size_t>(size), '\0');
    file.read(bytes->data(), static_cast<std::streamsize>(size));
    bytes->resize(static_cast<std::size_t>(file.gcount()));
    return true;
}

// A new file beside the old, renamed over it: a reader never sees half of either. A link is
// followed, as the settings store follows it, and the file keeps its permissions.
void write_bytes(const std::string& settings, const std::string& bytes) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::canonical(settings, error);
    if (error) return;
    const std::filesystem::path fresh = path.string() + ".vek-panel-restore";
    {
        std::ofstream file(fresh, std::ios::binary | std::ios::trunc);
        if (!file || !file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
            std::filesystem::remove(fresh, error);
            return;
        }
    }
    std::filesystem::permissions(fresh, std::filesystem::status(path, error).permissions(), error);
    std::filesystem::rename(fresh, path, error);
    if (error) std::filesystem::remove(fresh, error);
}

}  // namespace

LentTraceKeys::LentTraceKeys(const std::string& settings, const std::string& trace_path, bool frames)
    : settings_(settings) {
    existed_ = read_bytes(settings_, &before_);
    const bool written = vek::profile_write_string(kSection, "trace", trace_path.c_str(), settings_.c_str());
    if (written && frames) vek::profile_write_string(kSection, "trace_frames", "1", settings_.c_str());
    written_ = written && read_bytes(settings_, &lent_);
}

LentTraceKeys::~LentTraceKeys() {
    if (!written_) return;
    std::string now;
    if (!read_bytes(settings_, &now) || now != lent_) return;
    if (existed_) {
        write_bytes(settings_, before_);
    } else {
        std::remove(settings_.c_str());
    }
}
