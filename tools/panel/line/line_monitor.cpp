#include "panel/line/line_monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "card_pty.h"
#include "port_link.h"
#include "panel/line/frame_watch.h"
#include "panel/line/line_clock.h"
#include "panel/line/line_record.h"

namespace vek::panel {

namespace {

// A side that takes nothing for this long is not reading; its bytes are dropped, as a line would.
constexpr int kWriteWaitMs = 100;
// How often a lost card's device is tried again.
constexpr int kReopenEveryMs = 500;
// The relay's poll wakes at least this often, so a stop is never missed for long.
constexpr int kPollBoundMs = 200;
// On closing, the driver's end counts as finished once it has sent nothing for this long.
constexpr int kQuietMs = 20;
// Events kept for the records: some minutes of a 20 Hz line, should the panel's thread stall.
constexpr std::size_t kEventBound = 16384;

}  // namespace

struct LineMonitor::State {
    std::function<std::string()> device_path;
    std::string link;
    std::string linked;      // what the link was last pointed at by this monitor
    bool link_taken = false; // another program has the link's name now: it is never touched again
    int device = -1;
    CardPty driver_end;
    int wake = -1;
    std::thread relay;

    mutable std::mutex lock;
    LineTally tally;
    LineCounts& counts = tally.counts();
    bool stopping = false;

    FrameWatch to_card = output_frame_watch();
    FrameWatch from_card = input_frame_watch();
    uint64_t stray_earlier = 0;  // stray bytes counted on earlier connections
    uint64_t stray_to_card_earlier = 0;
    // All the stray bytes each way when the counters were last reset.
    uint64_t stray_at_reset = 0;
    uint64_t stray_to_card_at_reset = 0;

    // Runs of stray bytes, open until a frame starts or the events are taken: bytes that
    // trickle in one read at a time still make one line.
    LineEvent stray_to_card_run;
    LineEvent stray_from_card_run;
    bool recording = false;
    std::deque<LineEvent> events;
    uint64_t events_dropped = 0;

    DeviceOpen connect();
    void disconnect();
    // Points the link at target while it is still as the monitor left it; else leaves it alone.
    bool point_link(const std::string& target, std::string* error);
    void run();
    bool stop_requested() const {
        std::lock_guard<std::mutex> guard(lock);
        return stopping;
    }
    void wait_ms(int ms) const {
        pollfd fd{wake, POLLIN, 0};
        ::poll(&fd, 1, ms);
    }
    uint64_t write_all(int fd, const uint8_t* data, std::size_t size) const;
    // Under the lock.
    void record(LineEvent event);
    void record_stray(LineEvent* run, bool to_card, uint8_t byte, int64_t wall);
    void end_stray(LineEvent* run);
    void watch_to_card(const uint8_t* data, std::size_t size);
    void watch_from_card(const uint8_t* data, std::size_t size);
    // One read and its relay; false when the side's device is gone.
    bool relay_once(int from, int to, bool towards_card);
    void relay_rest();
};

bool LineMonitor::State::point_link(const std::string& target, std::string* error) {
    if (link_taken) return false;
    const LinkOutcome outcome = publish_link(link, target, linked, error);
    if (outcome == LinkOutcome::published) {
        linked = target;
        return true;
    }
    // Only a link that is no longer ours is given up for good; a failed rename is tried again.
    if (!linked.empty() && outcome == LinkOutcome::refused) {
        std::lock_guard<std::mutex> guard(lock);
        link_taken = true;
        counts.link_taken = true;
    }
    return false;
}

DeviceOpen LineMonitor::State::connect() {
    if (link_taken) return {};
    DeviceOpen opened = open_card_device(device_path());
    if (opened.fd < 0) return opened;
    std::string error;
    CardPty made;
    if (!open_card_pty(&made, &error) || !point_link(made.device, &error)) {
        close_card_pty(&made);
        ::close(opened.fd);
        DeviceOpen failed;
        failed.failure = DeviceFailure::other;
        failed.reason = error;
        return failed;
    }
    device = opened.fd;
    driver_end = made;
    // Under the lock: a reset of the counters reads the watches from another thread.
    std::lock_guard<std::mutex> guard(lock);
    // A new line: half a frame from the old one must not join the first bytes of the new.
    stray_earlier += from_card.stray_bytes();
    stray_to_card_earlier += to_card.stray_bytes();
    to_card = output_frame_watch();
    from_card = input_frame_watch();
    counts.card_connected = true;
    tally.new_line();
    LineEvent back;
    back.kind = LineEvent::Kind::line_back;
    back.wall_us = wall_now_us();
    record(back);
    return opened;
}

// The card is gone: the driver's end is hung up too, as a pulled cable would show it.
void LineMonitor::State::disconnect() {
    if (device >= 0) {
        ::ioctl(device, TIOCNXCL);  // a device held open elsewhere keeps the flag past this close
        ::close(device);
    }
    device = -1;
    // Left at the old /dev/pts/N, the port would name whatever terminal the system gives that
    // number next, and the driver, which reopens its port once a second, would reach it. Moved
    // while the pseudo-terminal still holds the number.
    std::string error;
    if (!linked.empty()) point_link(unplugged_target(link), &error);
    close_card_pty(&driver_end);
    std::lock_guard<std::mutex> guard(lock);
    if (counts.card_connected) {
        LineEvent lost;
        lost.kind = LineEvent::Kind::line_lost;
        lost.wall_us = wall_now_us();
        record(lost);
    }
    counts.card_connected = false;
}

void LineMonitor::State::record(LineEvent event) {
    if (!recording) return;
    if (events.size() >= kEventBound) {
        ++events_dropped;
        return;
    }
    events.push_back(event);
}

void LineMonitor::State::record_stray(LineEvent* run, bool towards_card, uint8_t byte, int64_t wall) {
    if (run->size == 0) {
        run->kind = LineEvent::Kind::stray;
        run->to_card = towards_card;
        run->wall_us = wall;
    }
    if (run->size < LineEvent::kShownBytes) run->bytes[run->size] = byte;
    ++run->size;
}

void LineMonitor::State::end_stray(LineEvent* run) {
    if (run->size > 0) record(*run);
    run->size = 0;
}

namespace {

LineEvent frame_event(LineEvent::Kind kind, bool to_card, int64_t wall, const std::vector<uint8_t>& frame) {
    LineEvent event;
    event.kind = kind;
    event.to_card = to_card;
    event.wall_us = wall;
    event.size = static_cast<uint32_t>(std::min(frame.size(), LineEvent::kShownBytes));
    std::copy(frame.begin(), frame.begin() + event.size, event.bytes.begin());
    return event;
}

}  // namespace

uint64_t LineMonitor::State::write_all(int fd, const uint8_t* data, std::size_t size) const {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) {
            pollfd out{fd, POLLOUT, 0};
            if (::poll(&out, 1, kWriteWaitMs) > 0) continue;
        }
        return size;
    }
    return 0;
}

void LineMonitor::State::watch_to_card(const uint8_t* data, std::size_t size) {
    const int64_t now = monitor_now_us();
    const int64_t wall = wall_now_us();
    LineEvent& stray = stray_to_card_run;
    std::lock_guard<std::mutex> guard(lock);
    for (std::size_t i = 0; i < size; ++i) {
        const Watched seen = to_card.feed(data[i]);
        if (seen == Watched::stray) {
            record_stray(&stray, true, data[i], wall);
            continue;
        }
        end_stray(&stray);
        if (seen == Watched::valid) {
            tally.frame(now, to_card.last_valid().data());
            record(frame_event(LineEvent::Kind::frame, true, wall, to_card.last_valid()));
        } else if (seen != Watched::nothing) {
            ++counts.bad_frames_to_card;
            record(frame_event(LineEvent::Kind::bad_frame, true, wall, to_card.last_invalid()));
        }
    }
    counts.stray_to_card = stray_to_card_earlier + to_card.stray_bytes() - stray_to_card_at_reset;
}

void LineMonitor::State::watch_from_card(const uint8_t* data, std::size_t size) {
    const int64_t now = monitor_now_us();
    const int64_t wall = wall_now_us();
    LineEvent& stray = stray_from_card_run;
    std::lock_guard<std::mutex> guard(lock);
    for (std::size_t i = 0; i < size; ++i) {
        const Watched seen = from_card.feed(data[i]);
        if (seen == Watched::stray) {
            record_stray(&stray, false, data[i], wall);
            continue;
        }
        end_stray(&stray);
        if (seen == Watched::valid) {
            const std::vector<uint8_t>& frame = from_card.last_valid();
            LineEvent event = frame_event(LineEvent::Kind::frame, false, wall, frame);
            event.answer_us = tally.answer(now, frame.data());
            record(event);
        } else if (seen == Watched::bad_sum || seen == Watched::bad_end) {
            if (seen == Watched::bad_sum) {
                tally.bad_sum(now);
            } else {
                tally.bad_end(now);
            }
            const std::vector<uint8_t>& bad = from_card.last_invalid();
            counts.last_bad_answer = {};
            std::copy_n(bad.begin(), std::min(bad.size(), counts.last_bad_answer.size()), counts.last_bad_answer.begin());
            counts.has_bad_answer = true;
            record(frame_event(LineEvent::Kind::bad_frame, false, wall, from_card.last_invalid()));
        }
    }
    counts.stray_bytes = stray_earlier + from_card.stray_bytes() - stray_at_reset;
}

bool LineMonitor::State::relay_once(int from, int to, bool towards_card) {
    uint8_t buffer[512];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) return false;
    const auto size = static_cast<std::size_t>(got);
    if (towards_card) {
        watch_to_card(buffer, size);
    } else {
        watch_from_card(buffer, size);
    }
    const uint64_t dropped = write_all(to, buffer, size);
    if (dropped > 0) {
        std::lock_guard<std::mutex> guard(lock);
        counts.dropped_bytes += dropped;
    }
    return true;
}

// The driver's last frame (the all-off frame of its stop) may still be on its way to the card
// when the panel closes: whatever the driver wrote is carried over until its end has been quiet
// for a while, and the device is given time to send it.
void LineMonitor::State::relay_rest() {
    if (device < 0) return;
    for (;;) {
        pollfd fd{driver_end.master, POLLIN, 0};
        if (::poll(&fd, 1, kQuietMs) <= 0 || (fd.revents & POLLIN) == 0) break;
        if (!relay_once(driver_end.master, device, true)) break;
    }
    for (int waited = 0; waited < kWriteWaitMs; ++waited) {
        int queued = 0;
        if (::ioctl(device, TIOCOUTQ, &queued) != 0 || queued == 0) break;
        ::usleep(1000);
    }
}

void LineMonitor::State::run() {
    while (!stop_requested()) {
        if (device < 0) {
            wait_ms(kReopenEveryMs);
            if (!stop_requested()) connect();
            continue;
        }
        pollfd fds[3] = {{driver_end.master, POLLIN, 0}, {device, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 3, kPollBoundMs) < 0 && errno != EINTR) break;
        bool card_gone = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                         (fds[1].revents & POLLIN) == 0;
        // The driver's end never hangs up: the monitor holds it open itself.
        if ((fds[0].revents & POLLIN) != 0) relay_once(driver_end.master, device, true);
        if ((fds[1].revents & POLLIN) != 0 && !relay_once(device, driver_end.master, false)) card_gone = true;
        if (card_gone) disconnect();
    }
}

LineMonitor::LineMonitor(std::function<std::string()> device_path, std::string link)
    : state_(std::make_unique<State>()) {
    state_->device_path = std::move(device_path);
    state_->link = std::move(link);
}

LineMonitor::~LineMonitor() {
    if (state_->relay.joinable()) {
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->stopping = true;
        }
        const uint64_t one = 1;
        if (::write(state_->wake, &one, sizeof one) < 0) {
            // The relay still sees the flag within its poll bound.
        }
        state_->relay.join();
        state_->relay_rest();
    }
    state_->disconnect();
    if (!state_->link_taken) remove_link_if_ours(state_->link, state_->linked);
    if (state_->wake >= 0) ::close(state_->wake);
}

DeviceOpen LineMonitor::start() {
    state_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wake < 0) {
        DeviceOpen failed;
        failed.failure = DeviceFailure::other;
        failed.reason = "eventfd failed";
        return failed;
    }
    DeviceOpen opened = state_->connect();
    if (opened.fd < 0) return opened;
    state_->relay = std::thread([state = state_.get()] { state->run(); });
    return opened;
}

void LineMonitor::record_events() { state_->recording = true; }

std::vector<LineEvent> LineMonitor::take_events(uint64_t* dropped) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->end_stray(&state_->stray_to_card_run);
    state_->end_stray(&state_->stray_from_card_run);
    std::vector<LineEvent> taken(state_->events.begin(), state_->events.end());
    state_->events.clear();
    *dropped = state_->events_dropped;
    state_->events_dropped = 0;
    return taken;
}

void LineMonitor::reset_counts() {
    std::lock_guard<std::mutex> guard(state_->lock);
    State& s = *state_;
    s.stray_at_reset = s.stray_earlier + s.from_card.stray_bytes();
    s.stray_to_card_at_reset = s.stray_to_card_earlier + s.to_card.stray_bytes();
    s.tally.reset_counts();
}

LineCounts LineMonitor::counts() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->counts;
}

}  // namespace vek::panel
