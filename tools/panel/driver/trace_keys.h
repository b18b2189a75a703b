// The panel's trace keys, lent to the instance's section of the settings file for one DRV_START:
// the driver reads "trace" and "trace_frames" at its start and keeps the trace open until its
// stop, so the keys are taken out again as soon as the start returns, and the file is left as the
// user had it. A marker beside the settings file holds the file as it was for as long as the keys
// are lent: a panel that dies meanwhile leaves it, and the next run puts the file back from it.
// Both are done under the settings lock (settings_lock.h).
#pragma once

#include <string>

namespace vek::panel {

class LentTraceKeys {
public:
    // Writes trace=<trace_path> (and trace_frames=1 when frames is set) into the section, the
    // marker first; folder is the panel's own, which holds the trace.
    LentTraceKeys(const std::string& settings, const std::string& trace_path, bool frames, const std::string& folder);
    // Puts the file back as it was, unless someone else changed it in the meantime.
    ~LentTraceKeys();
    LentTraceKeys(const LentTraceKeys&) = delete;
    LentTraceKeys& operator=(const LentTraceKeys&) = delete;

private:
    std::string settings_;
    std::string marker_;
    std::string trace_path_;
    std::string folder_;
    bool existed_ = false;
    std::string before_;
    std::string lent_;
    bool written_ = false;
};

// What a repair found and did.
struct LentKeysRepair {
    bool ok = true;      // false: the file could not be put back
    std::string said;    // empty when no lending was left over; else what was done, for the user
};

// Puts the settings file back as it was before a panel that ended without taking its lent keys
// back (killed, or a power cut) lent them, from the marker it left, and removes that panel's
// folder. The file is left alone when it has been changed since, and the user told.
LentKeysRepair repair_lent_keys(const std::string& settings);

}  // namespace vek::panel
