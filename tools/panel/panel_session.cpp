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

#include "config/settings.h"
#include "trace_keys.h"

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;
// The driver looks for COM1 to COM127.
constexpr int kLastPort = 127;
// A frame older than this without an answer was missed: the driver's window, and some slack.
constexpr int64_t kMissedAfterUs = kAnswerWindowUs + 50000;
// Corrupt answers this recent, with no valid one since, make a corrupt card; a driver that hears
// only corrupt answers waits out its window on each, so they come every 250 ms or so.
constexpr int64_t kCorruptRecentUs = 600000;
// A late answer this recent makes a late card.
constexpr int64_t kLateRecentUs = 1000000;
// One of the driver's cycles is its delay and an exchange, which takes under 2 ms at 115200
// baud; inputs older than two cycles, with this much slack per cycle, are old.
constexpr double kExchangeSlackMs = 10.0;
// A driver that has sent nothing for this long has lost its port (or runs a very long delay).
constexpr double kQuietDriverMs = 2000.0;
// How long a failed start's last trace lines may take to reach the file.
constexpr int kTraceSettleMs = 2000;
// Between two scans while waiting for a card to be powered.
constexpr int kWaitCardPauseMs = 1000;
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

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

const char* line_state_name(LineState state) {
    switch (state) {
    case LineState::unknown: return "unknown";
    case LineState::line_lost: return "line-lost";
    case LineState::reconnecting: return "reconnecting";
    case LineState::no_frames: return "no-frames";
    case LineState::corrupt: return "corrupt";
    case LineState::late: return "late";
    case LineState::silent: return "silent";
    case LineState::answering: return "answering";
    }
    return "unknown";
}

bool is_card_command(const std::string& word) {
    for (const char* name : {"input", "inputs", "analog", "volts", "silent", "bad-sum", "bad-end", "garbage", "split",
                             "delay", "wire-time", "faults", "unplug", "replug", "status", "frames", "after"}) {
        if (word == name) return true;
    }
    return false;
}

PanelSession::~PanelSession() { close(); }

int PanelSession::open_line(const PanelOptions& options, std::string* error) {
    if (!options.ports.empty() && !is_folder(options.ports)) {
        *error = "the ports folder " + options.ports +
                 " does not exist. Make it and link the card's device as com<n> in it "
                 "(ln -s /dev/ttyUSB0 " + options.ports + "/com1), or name the device with --device.";
        return kExitSetup;
    }
    // The panel's own folder: its ports for the driver and the trace it follows.
    char folder[] = "/tmp/vek-panel-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        *error = std::string("cannot make a working folder in /tmp: ") + std::strerror(errno);
        return kExitSetup;
    }
    private_ports_ = folder;
    if (!options.ports.empty()) {
        ports_ = options.ports;
        return kExitOk;
    }
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
    const DeviceOpen opened = monitor_->start();
    if (opened.fd < 0) {
        *error = explain_device_failure(card != nullptr ? card->device_path() : card_device, opened);
        monitor_.reset();
        return kExitSetup;
    }
    return kExitOk;
}

int PanelSession::open_trace(const PanelOptions& options, std::string* error) {
    settings_ = options.settings;
    if (!is_folder(folder_of(settings_))) {
        *error = "the settings file " + settings_ + " is in a folder that does not exist (" + folder_of(settings_) +
                 "). Make the folder, or name another file with --settings.";
        return kExitSetup;
    }
    reload_settings();
    const vek::LinkSettings link = vek::load_link_settings(settings_.c_str(), 0);
    // The user's own trace is the driver's; the panel follows it rather than naming another.
    own_trace_ = link.trace_path[0] == '\0';
    trace_path_ = own_trace_ ? private_ports_ + "/line.trace" : std::string(link.trace_path);
    trace_ = std::make_unique<TraceFollow>(trace_path_);
    if (!own_trace_) trace_->skip_existing();
    return kExitOk;
}

void PanelSession::reload_settings() {
    delay_ms_ = vek::load_settings(settings_.c_str(), 0);
    port_key_ = vek::load_link_settings(settings_.c_str(), 0).port;
    if (trace_ != nullptr) trace_->set_driver_delay_ms(delay_ms_);
}

bool PanelSession::start_driver() {
    if (!own_trace_) return host_->start() == 0;
    // Without a line of its own, the panel learns of every frame from the trace.
    const LentTraceKeys lent(settings_, trace_path_, monitor_ == nullptr);
    return host_->start() == 0;
}

std::string PanelSession::no_card_message() const {
    // What the scan saw is in the trace: a port that answered only with corrupt frames is a card
    // on the wrong speed or a noisy line, not a dead card.
    const DriverTrace& seen = trace_->state();
    if (!seen.corrupt_ports.empty()) {
        std::string ports;
        for (unsigned n : seen.corrupt_ports) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(n);
        return "CARD ANSWERS CORRUPT (" + std::to_string(seen.scan_bad_sums) + " bad checksums, " +
               std::to_string(seen.scan_bad_ends) + " bad end bytes) on " + ports +
               ": a card is there, but no answer was whole. Check that the card runs at 115200 baud 8N1, "
               "and the cable for noise (length, shielding, ground).";
    }
    std::string where;
    if (port_key_ != 0) {
        where = "COM" + std::to_string(port_key_) + ", the port named by port=" + std::to_string(port_key_) + " in " +
                settings_ + " (the driver probes that port alone";
        where += monitor_ != nullptr ? "; the panel offers the card as COM1: set port=1 or remove the key)" : ")";
    } else if (card_ != nullptr) {
        where = "the virtual card (COM1)";
    } else if (!device_.empty()) {
        where = device_ + " (offered to the driver as COM1)";
    } else {
        where = "COM1 to COM127 in " + ports_;
    }
    std::string advice = ". Check the card's power and cable, and that nothing else is using the port.";
    if (card_ == nullptr && device_.empty()) {
        advice = ". Check that a com<n> link there leads to the card, the card's power and cable, and that nothing "
                 "else is using the port.";
    }
    return "no card answered on " + where + advice;
}

int PanelSession::open(const PanelOptions& options, std::string* error) {
    int status = open_line(options, error);
    if (status == kExitOk) status = open_trace(options, error);
    if (status != kExitOk) return status;

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
    // A card that is not powered yet: the scan is tried again until the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.wait_card_s);
    while (!start_driver()) {
        if (std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitCardPauseMs) >= deadline) {
            settle_trace();
            *error = no_card_message();
            if (options.wait_card_s > 0) *error += " (looked for " + std::to_string(options.wait_card_s) + " s)";
            return kExitNotStarted;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitCardPauseMs));
    }
    find_port();
    tick();
    return kExitOk;
}

// A failed start's trace lines are written by the trace's own thread: wait, bounded, for them.
void PanelSession::settle_trace() {
    for (int waited = 0; waited < kTraceSettleMs; waited += 20) {
        trace_->poll();
        if (trace_->state().start_failed) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
    if (trace_ != nullptr) trace_->poll();
    if (host_ == nullptr || !host_->started()) return;
    host_->exchange();
    if (trace_ != nullptr) trace_->poll();
    const uint64_t frames = monitor_ != nullptr ? monitor_->counts().frames_to_card
                                                : trace_ != nullptr ? trace_->state().counts.frames_to_card : 0;
    rate_samples_.emplace_back(monitor_now_us(), frames);
    while (rate_samples_.size() > 2 && rate_samples_.back().first - rate_samples_[1].first >= kRateWindowUs) {
        rate_samples_.pop_front();
    }
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
    shot.delay_ms = delay_ms_;
    shot.settings = settings_;
    shot.port_key = port_key_;
    shot.trace_path = trace_path_;
    shot.own_trace = own_trace_;
    if (trace_ != nullptr) shot.trace = trace_->state();
    if (card_ != nullptr) shot.card_inputs = card_->digital_inputs();
    if (monitor_ != nullptr) {
        shot.monitored = true;
        shot.own_line = true;
        shot.line = monitor_->counts();
    } else if (shot.trace.frames) {
        shot.monitored = true;
        shot.line = shot.trace.counts;
        shot.line.card_connected = true;
    }
    const int64_t now = monitor_now_us();
    if (shot.monitored) {
        if (shot.line.last_frame_us >= 0) shot.since_frame_ms = static_cast<double>(now - shot.line.last_frame_us) / 1000.0;
        if (shot.line.last_answer_us >= 0) {
            shot.since_answer_ms = static_cast<double>(now - shot.line.last_answer_us) / 1000.0;
        }
        if (rate_samples_.size() >= 2) {
            const auto& first = rate_samples_.front();
            const auto& last = rate_samples_.back();
            const int64_t span = last.first - first.first;
            if (span > 0) shot.poll_hz = static_cast<double>(last.second - first.second) * 1e6 / static_cast<double>(span);
        }
    }
    const LineCounts& line = shot.monitored ? shot.line : shot.trace.counts;
    const bool corrupt = line.last_bad_us >= 0 && line.last_bad_us > line.last_answer_us &&
                         now - line.last_bad_us < kCorruptRecentUs;
    const bool missed = line.unanswered_since_us >= 0 && now - line.unanswered_since_us >= kMissedAfterUs;
    const bool late = line.last_late_us >= 0 && now - line.last_late_us < kLateRecentUs;
    if (shot.own_line && !shot.line.card_connected) {
        shot.state = LineState::line_lost;
    } else if (shot.trace.lost) {
        shot.state = LineState::reconnecting;
    } else if (shot.started && shot.since_frame_ms > kQuietDriverMs) {
        shot.state = LineState::no_frames;
    } else if (corrupt) {
        shot.state = LineState::corrupt;
    } else if (shot.monitored) {
        // A late card leaves frames unanswered within the window too: late says more than silent.
        shot.state = late                                     ? LineState::late
                     : shot.line.last_answer_us < 0 || missed ? LineState::silent
                                                              : LineState::answering;
    } else if (shot.trace.writing && shot.started) {
        // The user's own trace without its frames tells only of silence and corruption.
        shot.state = shot.trace.silent ? LineState::silent : LineState::answering;
    }
    shot.answering = shot.state == LineState::answering;
    if (shot.since_answer_ms >= 0) {
        shot.inputs_age_ms = shot.since_answer_ms;
        shot.inputs_stale = shot.inputs_age_ms > 2.0 * (static_cast<double>(delay_ms_) + kExchangeSlackMs);
    }
    return shot;
}

bool PanelSession::restart(std::string* error) {
    if (host_ == nullptr) return false;
    host_->stop();
    rate_samples_.clear();
    // The user may have named a port or a trace since.
    reload_settings();
    const bool started = start_driver();
    if (!started) {
        settle_trace();
        if (error != nullptr) *error = no_card_message();
    }
    find_port();
    return started;
}

std::string PanelSession::card_command(const std::string& line) {
    if (card_commands_ == nullptr) return {};
    std::string reply = run_command(*card_commands_, line);
    // The card's own hint points at its tool's --help, which the panel's user is not running.
    const std::string tool_hint = " (see --help)";
    if (const std::size_t at = reply.find(tool_hint); at != std::string::npos) {
        reply.replace(at, tool_hint.size(), ". " + std::string(kCardCommandNames));
    }
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
}

void PanelSession::close() {
    // The instance first: its stop sends the all-off frame through the line, which must still
    // be there to carry it.
    // The library stays loaded: a poll thread that outlived its stop's bound still runs in it.
    host_.reset();
    monitor_.reset();
    card_commands_.reset();
    card_.reset();
    if (card_log_ != nullptr) std::fclose(card_log_);
    card_log_ = nullptr;
    trace_.reset();
    if (!private_ports_.empty()) {
        // The driver's trace has been closed by its stop; it and its rotated copy go with the folder.
        for (const char* name : {"/line.trace", "/line.trace.1"}) ::unlink((private_ports_ + name).c_str());
        ::rmdir(private_ports_.c_str());
    }
    private_ports_.clear();
}
