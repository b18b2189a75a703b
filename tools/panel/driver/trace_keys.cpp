#include "panel/driver/trace_keys.h"

#include <cstdio>
#include <algorithm>
#include <filesystem>

#include "config/settings.h"
#include "config/settings_backend.h"
#include "config/whole_file.h"

namespace vek::panel {

namespace {

// The panel is instance 0 of driver 0.
constexpr const char* kSection = "korvanex-vek-driver-0";
constexpr const char* kMarkerHead = "vek-panel lent trace keys\n";

bool read_bytes(const std::string& path, std::string* bytes) {
    return vek::read_whole_file(path.c_str(), *bytes) == vek::FileRead::ok;
}

std::string marker_path(const std::string& settings) { return settings + ".vek-panel-lent"; }

// What a marker holds: the lent trace, the panel's folder, and the file before and after.
struct Marker {
    std::string trace;
    std::string folder;
    bool existed = false;
    std::string before;
    bool has_lent = false;
    std::string lent;
};

std::string marker_text(const Marker& marker) {
    std::string text = kMarkerHead;
    text += "trace " + marker.trace + "\nfolder " + marker.folder + "\nexisted " + (marker.existed ? "1" : "0") +
            "\nbefore " + std::to_string(marker.before.size()) + "\n" + marker.before + "\n";
    if (marker.has_lent) text += "lent " + std::to_string(marker.lent.size()) + "\n" + marker.lent + "\n";
    return text;
}

// One "name value\n" line at *at; false when the text does not go on so.
bool take_field(const std::string& text, const char* name, std::size_t* at, std::string* value) {
    const std::string head = std::string(name) + " ";
    const std::size_t end = text.find('\n', *at);
    if (end == std::string::npos || text.compare(*at, head.size(), head) != 0) return false;
    *value = text.substr(*at + head.size(), end - *at - head.size());
    *at = end + 1;
    return true;
}

// "name N\n" then N bytes and a newline.
bool take_bytes(const std::string& text, const char* name, std::size_t* at, std::string* bytes) {
    std::string size;
    if (!take_field(text, name, at, &size) || size.empty() || size.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::size_t count = std::stoul(size);
    if (*at + count + 1 > text.size() || text[*at + count] != '\n') return false;
    *bytes = text.substr(*at, count);
    *at += count + 1;
    return true;
}

bool parse_marker(const std::string& text, Marker* marker) {
    std::size_t at = std::string(kMarkerHead).size();
    std::string existed;
    if (text.compare(0, at, kMarkerHead) != 0 || !take_field(text, "trace", &at, &marker->trace) ||
        !take_field(text, "folder", &at, &marker->folder) || !take_field(text, "existed", &at, &existed) ||
        !take_bytes(text, "before", &at, &marker->before)) {
        return false;
    }
    marker->existed = existed == "1";
    marker->has_lent = at < text.size() && take_bytes(text, "lent", &at, &marker->lent);
    return true;
}

// now without the lines the lending adds: its two keys, and the section's head, each unless
// before had it already.
std::string without_lent_lines(const std::string& now, const Marker& marker) {
    const std::string head = std::string("[") + kSection + "]";
    const bool head_lent = marker.before.find(head) == std::string::npos;
    const bool frames_lent = marker.before.find("trace_frames=1") == std::string::npos;
    std::string kept;
    for (std::size_t at = 0; at < now.size();) {
        const std::size_t end = std::min(now.find('\n', at), now.size() - 1);
        const std::string line = now.substr(at, end + 1 - at);
        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
        const bool lent = bare == "trace=" + marker.trace || (frames_lent && bare == "trace_frames=1") ||
                          (head_lent && bare == head);
        if (!lent) kept += line;
        at = end + 1;
    }
    return kept;
}

// Whether now is the file as the lending left it, at any step of it: the trace key written, then
// trace_frames too, as the marker's lent copy says or as the lent lines alone make it.
bool is_as_lent(const std::string& now, const Marker& marker) {
    if (marker.has_lent && now == marker.lent) return true;
    return now != marker.before && without_lent_lines(now, marker) == marker.before;
}

// Only a folder the panel made, in the temporary folder, is removed.
void remove_panel_folder(const std::string& folder) {
    const std::filesystem::path path(folder);
    if (path.filename().string().rfind("vek-panel-", 0) != 0) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace

LentTraceKeys::LentTraceKeys(const std::string& settings, const std::string& trace_path, bool frames,
                             const std::string& folder)
    : settings_(settings), marker_(marker_path(settings)), trace_path_(trace_path), folder_(folder) {
    existed_ = read_bytes(settings_, &before_);
    Marker marker{trace_path_, folder_, existed_, before_, false, {}};
    // No marker, no lending: keys a crash would leave must be known to the next run.
    if (!vek::replace_whole_file(marker_.c_str(), marker_text(marker))) return;
    const bool written = vek::profile_write_string(kSection, "trace", trace_path.c_str(), settings_.c_str());
    if (written && frames) vek::profile_write_string(kSection, "trace_frames", "1", settings_.c_str());
    written_ = written && read_bytes(settings_, &lent_);
    if (!written_) {
        std::remove(marker_.c_str());
        return;
    }
    marker.has_lent = true;
    marker.lent = lent_;
    vek::replace_whole_file(marker_.c_str(), marker_text(marker));
}

LentTraceKeys::~LentTraceKeys() {
    if (!written_) return;
    std::string now;
    if (read_bytes(settings_, &now) && now == lent_) {
        // Written back in place, through the file's own handle: a rename would give the host's
        // file a new ACL, owner and links, and fails while another program holds it without
        // delete sharing. A failure, which the panel has no place to tell of on its way out,
        // leaves the marker: the next run puts the file back.
        const bool back = existed_ ? vek::rewrite_whole_file_in_place(settings_.c_str(), before_)
                                   : std::remove(settings_.c_str()) == 0;
        if (!back) return;
    }
    std::remove(marker_.c_str());
}

LentKeysRepair repair_lent_keys(const std::string& settings) {
    LentKeysRepair repair;
    const std::string marker_file = marker_path(settings);
    std::string text;
    if (!read_bytes(marker_file, &text)) return repair;
    Marker marker;
    if (!parse_marker(text, &marker)) {
        std::remove(marker_file.c_str());
        repair.said = marker_file + " was not a panel's marker of lent keys; removed, " + settings + " left as it is";
        return repair;
    }
    std::string now;
    const bool exists = read_bytes(settings, &now);
    const std::string lent = "trace=" + marker.trace;
    if (exists == marker.existed && (!exists || now == marker.before)) {
        // Ended before its keys were written, or after they were taken back.
    } else if (exists && is_as_lent(now, marker)) {
        repair.ok = marker.existed ? vek::rewrite_whole_file_in_place(settings.c_str(), marker.before)
                                   : std::remove(settings.c_str()) == 0;
        if (!repair.ok) {
            repair.said = "cannot put " + settings + " back as it was before a panel that ended lent it " + lent;
            return repair;
        }
        repair.said = "put " + settings + " back as it was: a panel that ended without taking them back had lent it " +
                      lent + " for the driver's start";
    } else if (vek::load_link_settings(settings.c_str(), 0).trace_path == marker.trace) {
        repair.said = settings + " still holds " + lent + ", lent by a panel that ended without taking it back, "
                      "but has been changed since: remove that key (and trace_frames=1) by hand";
    }
    remove_panel_folder(marker.folder);
    std::remove(marker_file.c_str());
    return repair;
}

}  // namespace vek::panel
