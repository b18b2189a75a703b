// The panel's trace keys, lent to the instance's section of the settings file for one DRV_START:
// the driver reads "trace" and "trace_frames" at its start and keeps the trace open until its
// stop, so the keys are taken out again as soon as the start returns, and the file is left as the
// user had it.
#pragma once

#include <string>

namespace vek::panel {

class LentTraceKeys {
public:
    // Writes trace=<trace_path> (and trace_frames=1 when frames is set) into the section.
    LentTraceKeys(const std::string& settings, const std::string& trace_path, bool frames);
    // Puts the file back as it was, unless someone else changed it in the meantime.
    ~LentTraceKeys();
    LentTraceKeys(const LentTraceKeys&) = delete;
    LentTraceKeys& operator=(const LentTraceKeys&) = delete;

private:
    std::string settings_;
    bool existed_ = false;
    std::string before_;
    std::string lent_;
    bool written_ = false;
};

}  // namespace vek::panel
