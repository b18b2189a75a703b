#include "panel_session.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "frame_meaning.h"

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;
// The driver waits 200 ms for an answer; a frame older than this without one was missed.
constexpr int64_t kAnswerWindowUs = 250000;
// After a stop, the line counts as settled when no frame has crossed it for this long.
constexpr int kSettleQuietMs = 50;
constexpr int kSettleBoundMs = 1000;

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

// Declared beside the monitor, which stamps the line's events with it; defined here, as the
// session measures with it on every platform.
int64_t monitor_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool parse_port_number(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < 1 || value > 255) return false;
    *port = static_cast<unsigned>(value);
    return true;
}

PanelSession::~PanelSession() { close(); }

int PanelSession::open(const PanelOptions& options, std::string* error) {
    const int records = open_records(options, error);
    if (records != kExitOk) return records;
    if (!options.tap.empty()) return open_tap(options, error);
    const int line = open_line(options, error);
    if (line != kExitOk) return line;

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
    if (host_->start() != 0) {
        *error = no_card_error();
        return kExitNotStarted;
    }
    find_port();
    tick();
    return kExitOk;
}

void PanelSession::tick() {
    // The tap reads what the line carried; the driver's inputs are read by the host's cycle.
    const bool reading = tap_ || (host_ != nullptr && host_->started());
    if (!reading) {
        write_records(false);
        return;
    }
    if (host_ != nullptr) host_->exchange();
    LineCounts counts;
    if (line_counts(&counts)) {
        rate_samples_.emplace_back(monitor_now_us(), counts.frames_to_card);
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
    describe_card(&shot);
    shot.tap = tap_;
    if (line_counts(&shot.line)) {
        shot.monitored = true;
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
}
