// The panel's line on POSIX: the virtual card inside the panel or a serial device, offered to
// the driver as COM1 through the line monitor, a ports folder the driver scans as it is, or the
// tap.
#include "panel/session/line_session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "card_commands.h"
#include "card_log.h"
#include "panel/line/line_monitor.h"
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

struct LineSession::Parts {
    int open(const PanelOptions& options, std::string* error);
    int make_ports_folder(std::string* error);
    int start_virtual_card(const PanelOptions& options, std::string* error);
    int start_monitor(const PanelOptions& options, std::string* error);
    ~Parts();

    std::unique_ptr<VirtualCard> card;
    std::unique_ptr<CommandState> card_commands;
    FILE* card_log = nullptr;
    std::unique_ptr<LineMonitor> monitor;
    std::string private_ports;      // made by the panel, removed on close
    std::string ports;              // the folder the driver scans
    std::string device;
};

void LineSession::PartsDeleter::operator()(Parts* parts) const { delete parts; }

LineSession::Parts::~Parts() {
    monitor.reset();
    card_commands.reset();
    card.reset();
    if (card_log != nullptr) std::fclose(card_log);
    if (!private_ports.empty()) ::rmdir(private_ports.c_str());
}

// A USB adapter plugged in after the panel started: its device node appears only then. Waited
// for as a card not powered yet is (--wait-card); whether it opens is told afterwards.
void wait_for_device_node(const std::string& path, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (::access(path.c_str(), F_OK) != 0 && errno == ENOENT && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

int LineSession::Parts::open(const PanelOptions& options, std::string* error) {
    if (!options.ports.empty()) {
        if (!is_folder(options.ports)) {
            *error = "the ports folder " + options.ports +
                     " does not exist. Make it and link the card's device as com<n> in it "
                     "(ln -s /dev/ttyUSB0 " + options.ports + "/com1), or name the device with --device.";
            return kExitSetup;
        }
        ports = options.ports;
        return kExitOk;
    }
    int status = make_ports_folder(error);
    if (status == kExitOk && options.device.empty()) status = start_virtual_card(options, error);
    if (status == kExitOk && !options.device.empty()) wait_for_device_node(options.device, options.wait_card_s);
    if (status == kExitOk) status = start_monitor(options, error);
    return status;
}

// The panel's own folder with one port, COM1, for its line.
int LineSession::Parts::make_ports_folder(std::string* error) {
    char folder[] = "/tmp/vek-panel-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        *error = std::string("cannot make a ports folder in /tmp: ") + std::strerror(errno);
        return kExitSetup;
    }
    private_ports = folder;
    ports = folder;
    return kExitOk;
}

int LineSession::Parts::start_virtual_card(const PanelOptions& options, std::string* error) {
    VirtualCard::Options card_options{"", options.wire_time};
    if (!options.card_log.empty()) {
        std::string log_error;
        card_log = open_card_log(options.card_log, session_header(options, "card log"), &log_error);
        if (card_log == nullptr) {
            *error = "--card-log: " + log_error;
            return kExitSetup;
        }
        card_options.on_frame = [log = card_log](const ReceivedFrame& frame) { log_frame(log, frame); };
    }
    card = std::make_unique<VirtualCard>(card_options);
    std::string card_error;
    if (!card->start(&card_error)) {
        *error = "cannot start the virtual card: " + card_error;
        return kExitSetup;
    }
    card_commands = std::make_unique<CommandState>(CommandState{*card, "(virtual card)", {}, false});
    return kExitOk;
}

// The monitor between the card's device (the virtual card's, asked afresh after a replug, or
// --device) and the driver's COM1.
int LineSession::Parts::start_monitor(const PanelOptions& options, std::string* error) {
    const std::string card_device = options.device;
    device = card_device;
    VirtualCard* const virtual_card = card.get();
    monitor = std::make_unique<LineMonitor>(
        [virtual_card, card_device] { return virtual_card != nullptr ? virtual_card->device_path() : card_device; },
        ports + "/com1");
    monitor->record_events();  // for the trace, and the live view's traffic pane
    const DeviceOpen opened = monitor->start();
    if (opened.fd < 0) {
        *error = explain_device_failure(virtual_card != nullptr ? virtual_card->device_path() : card_device, opened);
        monitor.reset();
        return kExitSetup;
    }
    return kExitOk;
}

int LineSession::open(const PanelOptions& options, std::string* error) {
    parts_.reset(new Parts);
    const int status = parts_->open(options, error);
    // The driver finds COMn in this folder, as it would find it in a Wine prefix's dosdevices.
    if (status == kExitOk) ::setenv("VEK_PORTS_DIR", parts_->ports.c_str(), 1);
    return status;
}

int LineSession::open_tap(const PanelOptions& options, std::string* error) {
    const std::string problem = tap_link_problem(options.link);
    if (!problem.empty()) {
        *error = problem;
        return kExitSetup;
    }
    tap_ = true;
    parts_.reset(new Parts);
    Parts& parts = *parts_;
    parts.device = options.tap;
    const std::string tapped = options.tap;
    parts.monitor = std::make_unique<LineMonitor>([tapped] { return tapped; }, options.link);
    parts.monitor->record_events();  // for the trace, and the live view's traffic pane
    const DeviceOpen opened = parts.monitor->start();
    if (opened.fd < 0) {
        *error = opened.failure == DeviceFailure::other && opened.reason.find(options.link) != std::string::npos
                     ? "cannot make the tap's link: " + opened.reason
                     : explain_device_failure(tapped, opened);
        // The advice names the panel's own option for the device; here the device is the tap's.
        const std::size_t option = error->find("--device");
        if (option != std::string::npos) error->replace(option, 8, "--tap");
        parts.monitor.reset();
        return kExitSetup;
    }
    port_ = options.link;
    device_ = tapped;
    return kExitOk;
}

void LineSession::close() { parts_.reset(); }

bool LineSession::monitored() const { return parts_ != nullptr && parts_->monitor != nullptr; }

bool LineSession::counts(LineCounts* counts) const {
    if (!monitored()) return false;
    *counts = parts_->monitor->counts();
    return true;
}

void LineSession::reset_counts() {
    if (monitored()) parts_->monitor->reset_counts();
}

bool LineSession::take_events(std::vector<LineEvent>* events, uint64_t* dropped) {
    if (!monitored()) return false;
    *events = parts_->monitor->take_events(dropped);
    return true;
}

std::string LineSession::no_card_error() const {
    const Parts& parts = *parts_;
    if (parts.card != nullptr) {
        return "no card answered on the virtual card (COM1). Check the card's power and cable, and that nothing else is "
               "using the port.";
    }
    if (!parts.device.empty()) {
        return "no card answered on " + parts.device +
               " (offered to the driver as COM1). Check the card's power and cable, and that nothing else is using "
               "the port.";
    }
    return "no card answered on COM1 to COM127 in " + parts.ports +
           ". Check that a com<n> link there leads to the card, the card's power and cable, and that nothing else is "
           "using the port.";
}

// The driver says not which port it kept; the one whose device this process has open is it.
void LineSession::find_port(bool /*driver_started*/, unsigned /*traced_port*/) {
    port_.clear();
    device_.clear();
    const Parts& parts = *parts_;
    const std::set<std::string> files = open_files();
    for (int n = 1; n <= kLastPort; ++n) {
        const std::string link = parts.ports + "/com" + std::to_string(n);
        const std::string target = real_path(link);
        if (!target.empty() && files.count(target) != 0) {
            port_ = "COM" + std::to_string(n);
            device_ = !parts.device.empty() ? parts.device : parts.card != nullptr ? "virtual card" : target;
            return;
        }
    }
}

bool LineSession::has_virtual_card() const { return parts_ != nullptr && parts_->card != nullptr; }

std::array<uint8_t, 2> LineSession::card_inputs() const {
    return has_virtual_card() ? parts_->card->digital_inputs() : std::array<uint8_t, 2>{};
}

std::string LineSession::card_command(const std::string& line) {
    if (parts_ == nullptr || parts_->card_commands == nullptr) return {};
    CommandState& card_commands = *parts_->card_commands;
    std::string reply = run_command(card_commands, line);
    // The card's own hint points at its tool's --help, which the panel's user is not running.
    const std::string tool_hint = " (see --help)";
    if (const std::size_t at = reply.find(tool_hint); at != std::string::npos) {
        reply.replace(at, tool_hint.size(), ". " + std::string(kCardCommandNames));
    }
    for (const std::string& due : run_due_commands(card_commands)) reply += "; " + due;
    return reply;
}

void LineSession::toggle_card_input(unsigned index_0_to_15) {
    if (!has_virtual_card() || index_0_to_15 >= 16) return;
    VirtualCard& card = *parts_->card;
    const std::array<uint8_t, 2> inputs = card.digital_inputs();
    const bool on = (inputs[index_0_to_15 / 8] & (1U << (index_0_to_15 % 8))) == 0;
    card.set_input(index_0_to_15 + 1, !on);
}

}  // namespace vek::panel
