// The panel's line on POSIX: the virtual card inside the panel or a serial device, offered to
// the driver as COM1 through the line monitor, or a ports folder the driver scans as it is.
#include "panel/session/panel_session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "card_commands.h"
#include "panel/line/tap.h"
#include "virtual_card.h"

namespace vek::panel {

namespace {

// The driver looks for COM1 to COM127.
constexpr int kLastPort = 127;

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return {};
    return resolved;
}

// Every file this process has open, by where it really is.
std::set<std::string> open_files() {
    std::set<std::string> files;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return files;
    while (const dirent* entry = ::readdir(fds)) {
        const std::string target = real_path(std::string("/proc/self/fd/") + entry->d_name);
        if (!target.empty()) files.insert(target);
    }
    ::closedir(fds);
    return files;
}

bool is_folder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// The line's parts, named as the session named them when it held them itself.
struct PanelSession::Line {
    int open(const PanelOptions& options, std::string* error);

    std::unique_ptr<VirtualCard> card_;
    std::unique_ptr<CommandState> card_commands_;
    FILE* card_log_ = nullptr;
    std::unique_ptr<LineMonitor> monitor_;
    std::string private_ports_;     // made by the panel, removed on close
    std::string ports_;             // the folder the driver scans
    std::string device_;
};

void PanelSession::LineDeleter::operator()(Line* line) const { delete line; }

bool offers_virtual_card(const PanelOptions& options) {
    return options.device.empty() && options.ports.empty() && options.tap.empty();
}

std::string virtual_card_hint() { return "run without --device or --ports"; }

bool make_work_folder(std::string* folder, std::string* error) {
    char made[] = "/tmp/vek-panel-XXXXXX";
    if (::mkdtemp(made) == nullptr) {
        *error = std::string("cannot make a working folder in /tmp: ") + std::strerror(errno);
        return false;
    }
    *folder = made;
    return true;
}

std::string options_refused(const PanelOptions& options) {
    if (options.port != 0) {
        return "--port names a Windows COM port; here name the card's device with --device, or a ports folder with --ports";
    }
    return {};
}

int PanelSession::Line::open(const PanelOptions& options, std::string* error) {
    if (!options.ports.empty()) {
        if (!is_folder(options.ports)) {
            *error = "the ports folder " + options.ports +
                     " does not exist. Make it and link the card's device as com<n> in it "
                     "(ln -s /dev/ttyUSB0 " + options.ports + "/com1), or name the device with --device.";
            return kExitSetup;
        }
        ports_ = options.ports;
        return kExitOk;
    }

    char folder[] = "/tmp/vek-panel-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        *error = std::string("cannot make a ports folder in /tmp: ") + std::strerror(errno);
        return kExitSetup;
    }
    private_ports_ = folder;
    ports_ = folder;

    std::string card_device = options.device;
    if (card_device.empty()) {
        VirtualCard::Options card_options{"", options.wire_time};
        if (!options.card_log.empty()) {
            card_log_ = std::fopen(options.card_log.c_str(), "ae");
            if (card_log_ == nullptr) {
                *error = "cannot open the card log " + options.card_log + ": " + std::strerror(errno);
                return kExitSetup;
            }
            FILE* log = card_log_;
            card_options.on_frame = [log](const ReceivedFrame& frame) {
                std::fprintf(log, "%.3f", frame.at_ms);
                for (uint8_t byte : frame.bytes) std::fprintf(log, " %02X", byte);
                std::fprintf(log, " %s\n", frame.valid ? "valid" : "invalid");
                std::fflush(log);
            };
        }
        card_ = std::make_unique<VirtualCard>(card_options);
        std::string card_error;
        if (!card_->start(&card_error)) {
            *error = "cannot start the virtual card: " + card_error;
            return kExitSetup;
        }
        card_commands_ = std::make_unique<CommandState>(CommandState{*card_, "(virtual card)", {}, false});
    }
    device_ = card_device;
    VirtualCard* card = card_.get();
    monitor_ = std::make_unique<LineMonitor>(
        [card, card_device] { return card != nullptr ? card->device_path() : card_device; }, ports_ + "/com1");
    if (!options.trace.empty()) monitor_->record_events();
    const DeviceOpen opened = monitor_->start();
    if (opened.fd < 0) {
        *error = explain_device_failure(card != nullptr ? card->device_path() : card_device, opened);
        monitor_.reset();
        return kExitSetup;
    }
    return kExitOk;
}

int PanelSession::open_line(const PanelOptions& options, std::string* error) {
    line_.reset(new Line);
    const int status = line_->open(options, error);
    // The driver finds COMn in this folder, as it would find it in a Wine prefix's dosdevices.
    if (status == kExitOk) ::setenv("VEK_PORTS_DIR", line_->ports_.c_str(), 1);
    return status;
}

std::string PanelSession::no_card_error() const {
    const Line& line = *line_;
    if (line.card_ != nullptr) {
        return "no card answered on the virtual card (COM1). Check the card's power and cable, and that nothing else is "
               "using the port.";
    }
    if (!line.device_.empty()) {
        return "no card answered on " + line.device_ +
               " (offered to the driver as COM1). Check the card's power and cable, and that nothing else is using "
               "the port.";
    }
    return "no card answered on COM1 to COM127 in " + line.ports_ +
           ". Check that a com<n> link there leads to the card, the card's power and cable, and that nothing else is "
           "using the port.";
}

// The driver says not which port it kept; the one whose device this process has open is it.
void PanelSession::find_port() {
    port_.clear();
    port_device_.clear();
    const Line& line = *line_;
    const std::set<std::string> files = open_files();
    for (int n = 1; n <= kLastPort; ++n) {
        const std::string link = line.ports_ + "/com" + std::to_string(n);
        const std::string target = real_path(link);
        if (!target.empty() && files.count(target) != 0) {
            port_ = "COM" + std::to_string(n);
            port_device_ = !line.device_.empty() ? line.device_ : line.card_ != nullptr ? "virtual card" : target;
            return;
        }
    }
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
    line_.reset(new Line);
    Line& line = *line_;
    line.device_ = options.tap;
    const std::string device = options.tap;
    line.monitor_ = std::make_unique<LineMonitor>([device] { return device; }, options.link);
    if (trace_ != nullptr) line.monitor_->record_events();
    const DeviceOpen opened = line.monitor_->start();
    if (opened.fd < 0) {
        *error = opened.failure == DeviceFailure::other && opened.reason.find(options.link) != std::string::npos
                     ? "cannot make the tap's link: " + opened.reason
                     : explain_device_failure(device, opened);
        // The advice names the panel's own option for the device; here the device is the tap's.
        const std::size_t option = error->find("--device");
        if (option != std::string::npos) error->replace(option, 8, "--tap");
        line.monitor_.reset();
        return kExitSetup;
    }
    port_ = options.link;
    port_device_ = device;
    tick();
    return kExitOk;
}

bool PanelSession::take_line_events(std::vector<LineEvent>* events, uint64_t* dropped) {
    if (line_ == nullptr || line_->monitor_ == nullptr) return false;
    *events = line_->monitor_->take_events(dropped);
    return true;
}

bool PanelSession::line_counts(LineCounts* counts) const {
    if (line_ == nullptr || line_->monitor_ == nullptr) return false;
    *counts = line_->monitor_->counts();
    return true;
}

void PanelSession::describe_card(PanelSnapshot* shot) const {
    shot->virtual_card = has_virtual_card();
    if (shot->virtual_card) shot->card_inputs = line_->card_->digital_inputs();
}

bool PanelSession::has_virtual_card() const { return line_ != nullptr && line_->card_ != nullptr; }

std::string PanelSession::card_command(const std::string& line) {
    if (line_ == nullptr || line_->card_commands_ == nullptr) return {};
    CommandState& card_commands = *line_->card_commands_;
    std::string reply = run_command(card_commands, line);
    // The card's own hint points at its tool's --help, which the panel's user is not running.
    const std::string tool_hint = " (see --help)";
    if (const std::size_t at = reply.find(tool_hint); at != std::string::npos) {
        reply.replace(at, tool_hint.size(), ". " + std::string(kCardCommandNames));
    }
    for (const std::string& due : run_due_commands(card_commands)) reply += "; " + due;
    return reply;
}

void PanelSession::toggle_card_input(unsigned index_0_to_15) {
    if (!has_virtual_card() || index_0_to_15 >= 16) return;
    VirtualCard& card = *line_->card_;
    const std::array<uint8_t, 2> inputs = card.digital_inputs();
    const bool on = (inputs[index_0_to_15 / 8] & (1U << (index_0_to_15 % 8))) == 0;
    card.set_input(index_0_to_15 + 1, !on);
}

void PanelSession::close_line() {
    if (line_ == nullptr) return;
    Line& line = *line_;
    line.monitor_.reset();
    line.card_commands_.reset();
    line.card_.reset();
    if (line.card_log_ != nullptr) std::fclose(line.card_log_);
    line.card_log_ = nullptr;
    if (!line.private_ports_.empty()) ::rmdir(line.private_ports_.c_str());
    line_.reset();
}

}  // namespace vek::panel
