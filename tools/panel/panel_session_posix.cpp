// The panel's line on POSIX: the virtual card inside the panel or a serial device, offered to
// the driver as COM1 through the line monitor, or a ports folder the driver scans as it is.
#include "panel_session.h"

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
#include "virtual_card.h"

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

struct PanelSession::Line {
    std::unique_ptr<VirtualCard> card;
    std::unique_ptr<CommandState> card_commands;
    FILE* card_log = nullptr;
    std::unique_ptr<LineMonitor> monitor;
    std::string private_ports;     // made by the panel, removed on close
    std::string ports;             // the folder the driver scans
    std::string device;
};

void PanelSession::LineDeleter::operator()(Line* line) const { delete line; }

std::string options_refused(const PanelOptions& options) {
    if (options.port != 0) {
        return "--port names a Windows COM port; here name the card's device with --device, or a ports folder with --ports";
    }
    return {};
}

const char* unmonitored_line_note() {
    return "Poll rate and answers are measured only on the panel's own line (--device or the virtual card)";
}

int PanelSession::open_line(const PanelOptions& options, std::string* error) {
    line_.reset(new Line);
    Line& line = *line_;
    if (!options.ports.empty()) {
        if (!is_folder(options.ports)) {
            *error = "the ports folder " + options.ports +
                     " does not exist. Make it and link the card's device as com<n> in it "
                     "(ln -s /dev/ttyUSB0 " + options.ports + "/com1), or name the device with --device.";
            return kExitSetup;
        }
        line.ports = options.ports;
    } else {
        char folder[] = "/tmp/vek-panel-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            *error = std::string("cannot make a ports folder in /tmp: ") + std::strerror(errno);
            return kExitSetup;
        }
        line.private_ports = folder;
        line.ports = folder;

        std::string card_device = options.device;
        if (card_device.empty()) {
            VirtualCard::Options card_options{"", options.wire_time};
            if (!options.card_log.empty()) {
                line.card_log = std::fopen(options.card_log.c_str(), "ae");
                if (line.card_log == nullptr) {
                    *error = "cannot open the card log " + options.card_log + ": " + std::strerror(errno);
                    return kExitSetup;
                }
                FILE* log = line.card_log;
                card_options.on_frame = [log](const ReceivedFrame& frame) {
                    std::fprintf(log, "%.3f", frame.at_ms);
                    for (uint8_t byte : frame.bytes) std::fprintf(log, " %02X", byte);
                    std::fprintf(log, " %s\n", frame.valid ? "valid" : "invalid");
                    std::fflush(log);
                };
            }
            line.card = std::make_unique<VirtualCard>(card_options);
            std::string card_error;
            if (!line.card->start(&card_error)) {
                *error = "cannot start the virtual card: " + card_error;
                return kExitSetup;
            }
            line.card_commands = std::make_unique<CommandState>(CommandState{*line.card, "(virtual card)", {}, false});
        }
        line.device = card_device;
        VirtualCard* card = line.card.get();
        line.monitor = std::make_unique<LineMonitor>(
            [card, card_device] { return card != nullptr ? card->device_path() : card_device; }, line.ports + "/com1");
        const DeviceOpen opened = line.monitor->start();
        if (opened.fd < 0) {
            *error = explain_device_failure(card != nullptr ? card->device_path() : card_device, opened);
            line.monitor.reset();
            return kExitSetup;
        }
    }
    // The driver finds COMn in this folder, as it would find it in a Wine prefix's dosdevices.
    ::setenv("VEK_PORTS_DIR", line.ports.c_str(), 1);
    return kExitOk;
}

std::string PanelSession::no_card_error() const {
    return "no card answered on COM1 to COM127 in " + line_->ports +
           (line_->device.empty() && line_->card == nullptr ? std::string(". Check that a com<n> link there leads to the card")
                                                            : std::string(". Check the card's power and cable")) +
           ", and that nothing else is using the port.";
}

// The driver says not which port it kept; the one whose device this process has open is it.
void PanelSession::find_port() {
    port_.clear();
    port_device_.clear();
    const std::set<std::string> files = open_files();
    for (int n = 1; n <= kLastPort; ++n) {
        const std::string link = line_->ports + "/com" + std::to_string(n);
        const std::string target = real_path(link);
        if (!target.empty() && files.count(target) != 0) {
            port_ = "COM" + std::to_string(n);
            port_device_ = !line_->device.empty() ? line_->device : line_->card != nullptr ? "virtual card" : target;
            return;
        }
    }
}

bool PanelSession::line_counts(LineCounts* counts) const {
    if (line_ == nullptr || line_->monitor == nullptr) return false;
    *counts = line_->monitor->counts();
    return true;
}

void PanelSession::describe_card(PanelSnapshot* shot) const {
    shot->virtual_card = has_virtual_card();
    if (shot->virtual_card) shot->card_inputs = line_->card->digital_inputs();
}

bool PanelSession::has_virtual_card() const { return line_ != nullptr && line_->card != nullptr; }

std::string PanelSession::card_command(const std::string& line) {
    if (line_ == nullptr || line_->card_commands == nullptr) return {};
    std::string reply = run_command(*line_->card_commands, line);
    for (const std::string& due : run_due_commands(*line_->card_commands)) reply += "; " + due;
    return reply;
}

void PanelSession::toggle_card_input(unsigned index_0_to_15) {
    if (!has_virtual_card() || index_0_to_15 >= 16) return;
    const std::array<uint8_t, 2> inputs = line_->card->digital_inputs();
    const bool on = (inputs[index_0_to_15 / 8] & (1U << (index_0_to_15 % 8))) == 0;
    line_->card->set_input(index_0_to_15 + 1, !on);
}

void PanelSession::close_line() {
    if (line_ == nullptr) return;
    line_->monitor.reset();
    line_->card_commands.reset();
    line_->card.reset();
    if (line_->card_log != nullptr) std::fclose(line_->card_log);
    line_->card_log = nullptr;
    if (!line_->private_ports.empty()) ::rmdir(line_->private_ports.c_str());
    line_.reset();
}
