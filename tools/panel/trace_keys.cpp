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

// A new file beside the old, renamed over it: a reader never sees half of either.
void write_bytes(const std::string& path, const std::string& bytes) {
    const std::string fresh = path + ".vek-panel-restore";
    {
        std::ofstream file(fresh, std::ios::binary | std::ios::trunc);
        if (!file || !file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
            std::remove(fresh.c_str());
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(fresh, path, error);
    if (error) std::remove(fresh.c_str());
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
