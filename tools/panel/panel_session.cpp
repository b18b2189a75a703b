#include "panel_session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <set>
#include <thread>

#include "tap.h"

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;
// The driver looks for COM1 to COM127.
constexpr int kLastPort = 127;
// The driver waits 200 ms for an answer; a frame older than this without one was missed.
constexpr int64_t kAnswerWindowUs = 250000;
// After a stop, the line counts as settled when no frame has crossed it for this long.
constexpr int kSettleQuietMs = 50;
constexpr int kSettleBoundMs = 1000;

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

PanelSession::~PanelSession() { close(); }

int PanelSession::open_line(const PanelOptions& options, std::string* error) {
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
    if (trace_ != nullptr) monitor_->record_events();
    const DeviceOpen opened = monitor_->start();
    if (opened.fd < 0) {
        *error = explain_device_failure(card != nullptr ? card->device_path() : card_device, opened);
        monitor_.reset();
        return kExitSetup;
    }
    return kExitOk;
}

int PanelSession::open(const PanelOptions& options, std::string* error) {
    const int records = open_records(options, error);
    if (records != kExitOk) return records;
    if (!options.tap.empty()) return open_tap(options, error);
    const int line = open_line(options, error);
    if (line != kExitOk) return line;

    std::string load_error;
    if (!load_driver_library(options.driver, &library_, &load_error)) {
        *error = "cannot load the driver: " + load_error + ". Build it (./scripts/build.sh linux) or name it with --driver.";
        return kExitSetup;
    }
    // The driver finds COMn in this folder, as it would find it in a Wine prefix's dosdevices.
    ::setenv("VEK_PORTS_DIR", ports_.c_str(), 1);
    host_ = std::make_unique<PanelHost>(library_.entry, options.settings);
    if (host_->create() != 0) {
        *error = "the driver refused to create instance 0";
        return kExitSetup;
    }
    if (host_->start() != 0) {
        *error = "no card answered on COM1 to COM127 in " + ports_ +
                 (device_.empty() && card_ == nullptr ? std::string(". Check that a com<n> link there leads to the card")
                                                      : std::string(". Check the card's power and cable")) +
                 ", and that nothing else is using the port.";
        return kExitNotStarted;
    }
    find_port();
    tick();
    return kExitOk;
}

// The driver says not which port it kept; the one whose device this process has open is it.
void PanelSession::find_port() {
    port_.clear();
    port_device_.clear();
    const std::set<std::string> files = open_files();
    for (int n = 1; n <= kLastPort; ++n) {
        const std::string link = ports_ + "/com" + std::to_string(n);
        const std::string target = real_path(link);
        if (!target.empty() && files.count(target) != 0) {
            port_ = "COM" + std::to_string(n);
            port_device_ = !device_.empty() ? device_ : card_ != nullptr ? "virtual card" : target;
            return;
        }
    }
}

void PanelSession::tick() {
    // The tap reads what the line carried; the driver's inputs are read by the host's cycle.
    const bool reading = tap_ || (host_ != nullptr && host_->started());
    if (!reading) {
        write_records(false);
        return;
    }
    if (host_ != nullptr) host_->exchange();
    if (monitor_ != nullptr) {
        rate_samples_.emplace_back(monitor_now_us(), monitor_->counts().frames_to_card);
        while (rate_samples_.size() > 2 && rate_samples_.back().first - rate_samples_[1].first >= kRateWindowUs) {
            rate_samples_.pop_front();
        }
    }
    write_records(true);
}

PanelSnapshot PanelSession::snapshot() const {
    PanelSnapshot shot;
    if (host_ != nullptr) {
        shot.image = host_->image();
        shot.started = host_->started();
    }
    shot.port = port_;
    shot.device = port_device_;
    shot.virtual_card = card_ != nullptr;
    shot.tap = tap_;
    if (card_ != nullptr) shot.card_inputs = card_->digital_inputs();
    if (monitor_ != nullptr) {
        shot.monitored = true;
        shot.line = monitor_->counts();
        const int64_t now = monitor_now_us();
        shot.answering = shot.line.card_connected && shot.line.last_answer_us >= 0 &&
                         (shot.line.unanswered_since_us < 0 || now - shot.line.unanswered_since_us < kAnswerWindowUs);
        if (shot.line.last_frame_us >= 0) shot.since_frame_ms = static_cast<double>(now - shot.line.last_frame_us) / 1000.0;
        if (shot.line.last_answer_us >= 0) {
            shot.since_answer_ms = static_cast<double>(now - shot.line.last_answer_us) / 1000.0;
        }
        if (tap_) show_line_image(&shot);
        if (rate_samples_.size() >= 2) {
            const auto& first = rate_samples_.front();
            const auto& last = rate_samples_.back();
            const int64_t span = last.first - first.first;
            if (span > 0) shot.poll_hz = static_cast<double>(last.second - first.second) * 1e6 / static_cast<double>(span);
        }
    }
    return shot;
}

bool PanelSession::restart() {
    if (host_ == nullptr) return false;
    host_->stop();
    rate_samples_.clear();
    const bool started = host_->start() == 0;
    find_port();
    return started;
}

std::string PanelSession::card_command(const std::string& line) {
    if (card_commands_ == nullptr) return {};
    std::string reply = run_command(*card_commands_, line);
    for (const std::string& due : run_due_commands(*card_commands_)) reply += "; " + due;
    return reply;
}

void PanelSession::toggle_card_input(unsigned index_0_to_15) {
    if (card_ == nullptr || index_0_to_15 >= 16) return;
    const std::array<uint8_t, 2> inputs = card_->digital_inputs();
    const bool on = (inputs[index_0_to_15 / 8] & (1U << (index_0_to_15 % 8))) == 0;
    card_->set_input(index_0_to_15 + 1, !on);
}

void PanelSession::stop() {
    if (host_ == nullptr || !host_->started()) return;
    host_->stop();
    if (monitor_ == nullptr) return;
    // Settled once nothing has crossed for a while; bounded, as a dead line never settles.
    uint64_t seen = monitor_->counts().frames_to_card;
    for (int quiet_ms = 0, waited_ms = 0; quiet_ms < kSettleQuietMs && waited_ms < kSettleBoundMs; waited_ms += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint64_t now = monitor_->counts().frames_to_card;
        quiet_ms = now == seen ? quiet_ms + 5 : 0;
        seen = now;
    }
    write_records(false);
}

void PanelSession::close() {
    // The instance first: its stop sends the all-off frame through the line, which must still
    // be there to carry it.
    // The library stays loaded: a poll thread that outlived its stop's bound still runs in it.
    host_.reset();
    write_records(false);
    monitor_.reset();
    trace_.reset();
    csv_.reset();
    card_commands_.reset();
    card_.reset();
    if (card_log_ != nullptr) std::fclose(card_log_);
    card_log_ = nullptr;
    if (!private_ports_.empty()) ::rmdir(private_ports_.c_str());
    private_ports_.clear();
}
