#include "panel/driver/trace_keys.h"

#include <cstdio>

#include "config/settings_backend.h"
#include "config/whole_file.h"

namespace vek::panel {

namespace {

// The panel is instance 0 of driver 0.
constexpr const char* kSection = "korvanex-vek-driver-0";

bool read_bytes(const std::string& path, std::string* bytes) {
    return vek::read_whole_file(path.c_str(), *bytes) == vek::FileRead::ok;
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
    // Written back in place, through the file's own handle: a rename would give the host's file a
    // new ACL, owner and links, and fails while another program holds it without delete sharing.
    // A failure, which the panel has no place to tell of on its way out, leaves the lent keys.
    if (existed_) {
        vek::rewrite_whole_file_in_place(settings_.c_str(), before_);
    } else {
        std::remove(settings_.c_str());
    }
}

}  // namespace vek::panel
