#include "tap.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "frame_meaning.h"

void show_line_image(PanelSnapshot* shot) {
    shot->image = PanelImage{};
    if (shot->line.frames_to_card > 0) {
        const SeenOutputs seen = outputs_of_frame(shot->line.last_frame.data());
        shot->image.outputs = seen.outputs;
        shot->image.analog_out = seen.analog_out;
    }
    if (shot->line.answers > 0) {
        const SeenInputs seen = inputs_of_frame(shot->line.last_answer.data());
        shot->image.inputs = seen.inputs;
        shot->image.volts = {static_cast<float>(seen.volts[0]), static_cast<float>(seen.volts[1])};
    }
}

std::string tap_link_problem(const std::string& link) {
    const std::size_t slash = link.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return "the folder of the link " + link + " does not exist. Make it, or name a link in an existing folder "
               "(for Wine: $WINEPREFIX/dosdevices/com3).";
    }
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        return link + " exists and is not a link; the tap would replace it. Name a free path or a port link "
               "(for Wine: $WINEPREFIX/dosdevices/com3).";
    }
    return {};
}

// The tap's session: the line only, no driver, so nothing but the host's own bytes reaches the
// card.
int PanelSession::open_tap(const PanelOptions& options, std::string* error) {
    const std::string problem = tap_link_problem(options.link);
    if (!problem.empty()) {
        *error = problem;
        return kExitSetup;
    }
    tap_ = true;
    device_ = options.tap;
    const std::string device = options.tap;
    monitor_ = std::make_unique<LineMonitor>([device] { return device; }, options.link);
    if (trace_ != nullptr) monitor_->record_events();
    const DeviceOpen opened = monitor_->start();
    if (opened.fd < 0) {
        *error = opened.failure == DeviceFailure::other && opened.reason.find(options.link) != std::string::npos
                     ? "cannot make the tap's link: " + opened.reason
                     : explain_device_failure(device, opened);
        // The advice names the panel's own option for the device; here the device is the tap's.
        const std::size_t option = error->find("--device");
        if (option != std::string::npos) error->replace(option, 8, "--tap");
        monitor_.reset();
        return kExitSetup;
    }
    port_ = options.link;
    port_device_ = device;
    tick();
    return kExitOk;
}
