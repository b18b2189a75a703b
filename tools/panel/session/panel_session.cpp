#include "panel/session/panel_session.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "panel/line/line_clock.h"
#include "panel/driver/trace_keys.h"
#include "panel/line/frame_meaning.h"

namespace vek::panel {

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;
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

bool is_folder(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::string folder_of(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

// What the line carried, as the tap's view and readings show it: the outputs of the newest valid
// frame to the card, the inputs and volts of its newest valid answer.
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

}  // namespace

bool parse_port_number(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < 1 || value > 255) return false;
    *port = static_cast<unsigned>(value);
    return true;
}

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

int PanelSession::open_trace(const PanelOptions& options, std::string* error) {
    settings_ = options.settings;
    if (!is_folder(folder_of(settings_))) {
        *error = "the settings file " + settings_ + " is in a folder that does not exist (" + folder_of(settings_) +
                 "). Make the folder, or name another file with --settings.";
        return kExitSetup;
    }
    if (!make_work_folder(&work_folder_, error)) return kExitSetup;
    reload_settings();
    const vek::LinkSettings link = vek::load_link_settings(settings_.c_str(), 0);
    // The user's own trace is the driver's; the panel follows it rather than naming another.
    own_trace_ = link.trace_path[0] == '\0';
    trace_path_ = own_trace_ ? (std::filesystem::path(work_folder_) / "line.trace").string()
                             : std::string(link.trace_path);
    driver_trace_ = std::make_unique<TraceFollow>(trace_path_);
    if (!own_trace_) driver_trace_->skip_existing();
    return kExitOk;
}

void PanelSession::reload_settings() {
    delay_ms_ = vek::load_settings(settings_.c_str(), 0);
    port_key_ = vek::load_link_settings(settings_.c_str(), 0).port;
    if (driver_trace_ != nullptr) driver_trace_->set_driver_delay_ms(delay_ms_);
}

bool PanelSession::start_driver() {
    if (!own_trace_) return host_->start() == 0;
    // Without a line of its own, the panel learns of every frame from the trace.
    LineCounts counts;
    const LentTraceKeys lent(settings_, trace_path_, !line_counts(&counts));
    return host_->start() == 0;
}

std::string PanelSession::no_card_message() const {
    // What the scan saw is in the trace: a port that answered only with corrupt frames is a card
    // on the wrong speed or a noisy line, not a dead card.
    const DriverTrace& seen = driver_trace_->state();
    if (!seen.corrupt_ports.empty()) {
        std::string ports;
        for (unsigned n : seen.corrupt_ports) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(n);
        return "CARD ANSWERS CORRUPT (" + std::to_string(seen.scan_bad_sums) + " bad checksums, " +
               std::to_string(seen.scan_bad_ends) + " bad end bytes) on " + ports +
               ": a card is there, but no answer was whole. Check that the card runs at 115200 baud 8N1, "
               "and the cable for noise (length, shielding, ground).";
    }
    if (port_key_ != 0) {
        LineCounts counts;
        return "no card answered on COM" + std::to_string(port_key_) + ", the port named by port=" +
               std::to_string(port_key_) + " in " + settings_ + " (the driver probes that port alone" +
               (line_counts(&counts) ? "; the panel offers the card as COM1: set port=1 or remove the key)" : ")") +
               ". Check the card's power and cable, and that nothing else is using the port.";
    }
    return no_card_error();
}

int PanelSession::open(const PanelOptions& options, std::string* error) {
    int status = open_records(options, error);
    if (status != kExitOk) return status;
    if (!options.tap.empty()) return open_tap(options, error);
    status = open_line(options, error);
    if (status == kExitOk) status = open_trace(options, error);
    if (status != kExitOk) return status;

    std::string load_error;
    if (!load_driver_library(options.driver, &library_, &load_error)) {
        *error = "cannot load the driver: " + load_error + ". " + missing_driver_hint();
        return kExitSetup;
    }
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
        driver_trace_->poll();
        if (driver_trace_->state().start_failed) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PanelSession::tick() {
    if (driver_trace_ != nullptr) driver_trace_->poll();
    // The tap reads what the line carried; the driver's inputs are read by the host's cycle.
    const bool reading = tap_ || (host_ != nullptr && host_->started());
    if (!reading) {
        write_records(false);
        return;
    }
    if (host_ != nullptr) host_->exchange();
    if (driver_trace_ != nullptr) driver_trace_->poll();
    LineCounts counts;
    const uint64_t frames = line_counts(&counts)         ? counts.frames_to_card
                            : driver_trace_ != nullptr ? driver_trace_->state().counts.frames_to_card
                                                       : 0;
    rate_samples_.emplace_back(monitor_now_us(), frames);
    while (rate_samples_.size() > 2 && rate_samples_.back().first - rate_samples_[1].first >= kRateWindowUs) {
        rate_samples_.pop_front();
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
    describe_card(&shot);
    shot.tap = tap_;
    shot.delay_ms = delay_ms_;
    shot.settings = settings_;
    shot.port_key = port_key_;
    shot.trace_path = trace_path_;
    shot.own_trace = own_trace_;
    if (driver_trace_ != nullptr) shot.trace = driver_trace_->state();
    if (line_counts(&shot.line)) {
        shot.monitored = true;
        shot.own_line = true;
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
        if (tap_) show_line_image(&shot);
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
    } else if ((shot.started || tap_) && shot.since_frame_ms > kQuietDriverMs) {
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

void PanelSession::stop() {
    if (host_ == nullptr || !host_->started()) return;
    host_->stop();
    LineCounts counts;
    if (!line_counts(&counts)) return;
    // Settled once nothing has crossed for a while; bounded, as a dead line never settles.
    uint64_t seen = counts.frames_to_card;
    for (int quiet_ms = 0, waited_ms = 0; quiet_ms < kSettleQuietMs && waited_ms < kSettleBoundMs; waited_ms += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        line_counts(&counts);
        const uint64_t now = counts.frames_to_card;
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
    close_line();
    trace_.reset();
    csv_.reset();
    driver_trace_.reset();
    if (!work_folder_.empty()) {
        // The driver's trace has been closed by its stop; it and its rotated copy go with the folder.
        std::error_code ignored;
        std::filesystem::remove_all(work_folder_, ignored);
        work_folder_.clear();
    }
}

}  // namespace vek::panel
