// The card's lifetime: plugging in (pty, link, thread), unplugging, and the settings and log its
// callers read and change while it runs.
#include "virtual_card.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "card_clock.h"
#include "card_pty.h"
#include "link_claim.h"
#include "port_link.h"
#include "card_shared.h"

struct VirtualCard::State {
    Options options;
    CardShared shared;

    // Plugging and unplugging are serialised; the thread only reads the fds while it runs, and
    // they are closed only after it has been joined.
    std::mutex plug_mutex;
    bool started = false;
    int wake_fd = -1;
    CardPty pty;
    std::thread worker;
    std::string linked_device;  // what the link was last pointed at
    LinkClaim claim;            // held from start to the end, plugged or not
    std::string device;         // guarded by shared.mutex: callers read it from any thread
};

namespace {

bool plug_in(VirtualCard::Options& options, CardShared& shared, int wake_fd, CardPty* pty, std::thread* worker,
             std::string* linked_device, std::string* error) {
    if (!open_card_pty(pty, error)) return false;
    if (!options.link_path.empty()) {
        if (publish_link(options.link_path, pty->device, *linked_device, error) != LinkOutcome::published) {
            close_card_pty(pty);
            return false;
        }
        *linked_device = pty->device;
    }
    *worker = std::thread(run_card_line, std::ref(shared), pty->master, wake_fd);
    return true;
}

}  // namespace

VirtualCard::VirtualCard(Options options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
    state_->shared.on_frame = state_->options.on_frame;
    state_->shared.wire_time = state_->options.wire_time;
    state_->shared.loopback = state_->options.loopback;
}

VirtualCard::~VirtualCard() {
    unplug();
    std::lock_guard<std::mutex> plug(state_->plug_mutex);
    if (!state_->linked_device.empty()) remove_link_if_ours(state_->options.link_path, state_->linked_device);
    if (state_->wake_fd >= 0) ::close(state_->wake_fd);
}

bool VirtualCard::start(std::string* error) {
    std::lock_guard<std::mutex> plug(state_->plug_mutex);
    if (state_->started) {
        if (error != nullptr) *error = "the card is already started";
        return false;
    }
    if (state_->wake_fd < 0) state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wake_fd < 0) {
        if (error != nullptr) *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    state_->shared.started_ns = monotonic_ns();
    if (!state_->options.link_path.empty() && !state_->claim.take(state_->options.link_path, error)) return false;
    if (!plug_in(state_->options, state_->shared, state_->wake_fd, &state_->pty, &state_->worker,
                 &state_->linked_device, error)) {
        return false;
    }
    state_->started = true;
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->device = state_->pty.device;
    return true;
}

std::string VirtualCard::device_path() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->device;
}

void VirtualCard::set_digital_inputs(uint8_t inputs_1_to_8, uint8_t inputs_9_to_16) {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.inputs[0] = inputs_1_to_8;
    state_->shared.inputs[1] = inputs_9_to_16;
}

void VirtualCard::set_input(unsigned input_1_to_16, bool on) {
    if (input_1_to_16 < 1 || input_1_to_16 > 16) return;
    const unsigned index = input_1_to_16 - 1;
    const auto bit = static_cast<uint8_t>(1u << (index % 8));
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    uint8_t& byte = state_->shared.inputs[index / 8];
    byte = on ? static_cast<uint8_t>(byte & ~bit) : static_cast<uint8_t>(byte | bit);
}

void VirtualCard::set_analog_raw(unsigned channel_1_or_2, uint16_t raw) {
    if (channel_1_or_2 < 1 || channel_1_or_2 > 2) return;
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.analog[channel_1_or_2 - 1] = raw;
}

void VirtualCard::set_all_inputs(uint8_t inputs_1_to_8, uint8_t inputs_9_to_16, uint16_t analog_1, uint16_t analog_2) {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.inputs[0] = inputs_1_to_8;
    state_->shared.inputs[1] = inputs_9_to_16;
    state_->shared.analog[0] = analog_1;
    state_->shared.analog[1] = analog_2;
}

std::array<uint8_t, 2> VirtualCard::digital_inputs() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return {state_->shared.inputs[0], state_->shared.inputs[1]};
}

uint16_t VirtualCard::analog_raw(unsigned channel_1_or_2) const {
    if (channel_1_or_2 < 1 || channel_1_or_2 > 2) return 0;
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.analog[channel_1_or_2 - 1];
}

void VirtualCard::set_fault(const CardFault& fault) {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.fault = fault;
}

CardFault VirtualCard::fault() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.fault;
}

void VirtualCard::set_wire_time(bool on) {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.wire_time = on;
}

bool VirtualCard::wire_time() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.wire_time;
}

void VirtualCard::set_loopback(bool on) {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.loopback = on;
}

bool VirtualCard::loopback() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.loopback;
}

void VirtualCard::unplug() {
    std::lock_guard<std::mutex> plug(state_->plug_mutex);
    if (!state_->worker.joinable()) return;
    // The thread's every wait watches the wake fd or is shorter than a few milliseconds, so the
    // join below is bounded.
    const uint64_t one = 1;
    if (::write(state_->wake_fd, &one, sizeof one) < 0) {
        // An eventfd write fails only when its counter would overflow: a wake-up is pending anyway.
    }
    state_->worker.join();
    uint64_t drained = 0;
    if (::read(state_->wake_fd, &drained, sizeof drained) < 0) {
        // Nothing was pending; nothing to clear.
    }
    // Left at the old /dev/pts/N, the link would name whatever terminal the system gives that
    // number next, and a driver reopening the port would reach another program. Moved while the
    // pseudo-terminal still holds the number; a link someone else has taken since is left alone,
    // and a replug then refuses it too.
    const std::string& link = state_->options.link_path;
    const std::string away =
        state_->options.unplugged_target.empty() ? unplugged_target(link) : state_->options.unplugged_target;
    if (!link.empty() && publish_link(link, away, state_->linked_device, nullptr) == LinkOutcome::published) {
        state_->linked_device = away;
    }
    close_card_pty(&state_->pty);
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->device.clear();
}

bool VirtualCard::replug(std::string* error) {
    unplug();
    std::lock_guard<std::mutex> plug(state_->plug_mutex);
    if (!state_->started) {
        if (error != nullptr) *error = "the card is not started";
        return false;
    }
    if (state_->worker.joinable()) return true;  // another caller plugged it in meanwhile
    if (!plug_in(state_->options, state_->shared, state_->wake_fd, &state_->pty, &state_->worker,
                 &state_->linked_device, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->device = state_->pty.device;
    return true;
}

bool VirtualCard::plugged() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return !state_->device.empty();
}

std::vector<ReceivedFrame> VirtualCard::frames() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return {state_->shared.log.begin(), state_->shared.log.end()};
}

bool VirtualCard::last_frame(ReceivedFrame* frame) const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    if (state_->shared.log.empty()) return false;
    *frame = state_->shared.log.back();
    return true;
}

std::size_t VirtualCard::frame_count() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.valid_count;
}

std::size_t VirtualCard::invalid_frame_count() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.invalid_count;
}

std::size_t VirtualCard::garbage_byte_count() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.garbage_count;
}

std::size_t VirtualCard::answer_count() const {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    return state_->shared.answer_count;
}

bool VirtualCard::wait_for_frames(std::size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(state_->shared.mutex);
    return state_->shared.frames_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                                  [&] { return state_->shared.valid_count >= count; });
}

void VirtualCard::clear_frames() {
    std::lock_guard<std::mutex> lock(state_->shared.mutex);
    state_->shared.log.clear();
    state_->shared.valid_count = 0;
    state_->shared.invalid_count = 0;
    state_->shared.garbage_count = 0;
    state_->shared.answer_count = 0;
}
