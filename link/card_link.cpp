#include "link/card_link.h"

#include <algorithm>

#include "support/clock.h"

namespace vek {

namespace {

// A drain gives up after this many frame times: a real port empties its queue in one.
constexpr uint64_t kDrainBoundFrames = 4;
// Room for the scheduler on top of the wire time, and the shortest sleep between queries.
constexpr uint64_t kDrainSlackUs = 2000;
constexpr uint64_t kDrainPollMinUs = 100;

OutputFrame frame_of(const CardOutputs& outputs) {
    return build_output_frame(outputs.digital[0], outputs.digital[1], outputs.analog[0], outputs.analog[1]);
}

}  // namespace

// Under the send lock: writes the frame once the line is free, and returns when it will have
// left the wire; a write that failed puts nothing on it.
uint64_t CardLink::write_when_line_free(const OutputFrame& frame) {
    uint64_t now = monotonic_us();
    if (now < line_free_at_) sleep_us(line_free_at_ - now);  // one frame's wire time at most
    now = monotonic_us();
    last_written_ = port_.write_bytes(frame.data(), frame.size()) == PortResult::ok;
    if (!last_written_) return now;
    trace_.frame("tx", frame.data(), frame.size());
    line_free_at_ = now + wire_time_us(frame.size());
    return line_free_at_;
}

// The queue count alone is not enough: a UART reports 0 while its last byte is still in the
// shift register, and a pseudo-terminal always reports 0. So the wire time is waited out first
// (which is what keeps a probe of a silent port from sending 100 frames at once), and the count
// is asked only then: no queue can be empty sooner, and asking on the way costs CPU every cycle.
void CardLink::wait_until_queue_empty(uint64_t on_wire_until) {
    const uint64_t frame_us = wire_time_us(std::tuple_size<OutputFrame>::value);
    const uint64_t give_up_at = on_wire_until + (kDrainBoundFrames - 1) * frame_us + kDrainSlackUs;
    for (;;) {
        QueueCounts counts{};
        if (port_.read_queue_status(counts) != PortResult::ok) return;  // port gone: nothing will drain
        const uint64_t now = monotonic_us();
        if (counts.out_queue == 0 || now >= give_up_at) return;
        sleep_us(std::min(std::max(wire_time_us(counts.out_queue), kDrainPollMinUs), give_up_at - now));
    }
}

bool CardLink::send_output_frame(const CardOutputs& outputs) {
    const OutputFrame frame = frame_of(outputs);
    std::lock_guard<std::mutex> guard(send_lock_);
    const uint64_t on_wire_until = write_when_line_free(frame);
    const uint64_t now = monotonic_us();
    if (now < on_wire_until) sleep_us(on_wire_until - now);
    wait_until_queue_empty(on_wire_until);
    return last_written_;
}

uint64_t CardLink::start_output_frame(const CardOutputs& outputs) {
    const OutputFrame frame = frame_of(outputs);
    std::lock_guard<std::mutex> guard(send_lock_);
    return write_when_line_free(frame);
}

void CardLink::confirm_output_sent(uint64_t on_wire_until) { wait_until_queue_empty(on_wire_until); }

PortResult CardLink::wait_for_input_frame(uint64_t bound_us, const PortWake& wake) {
    return port_.wait_for_bytes(static_cast<uint32_t>(std::tuple_size<InputFrame>::value), bound_us, wake);
}

namespace {

// Bytes skipped while hunting for a frame's start, kept for the trace only while it is on: the
// first few are shown, and all are counted.
struct StrayBytes {
    static constexpr std::size_t kShown = 24;
    uint8_t shown[kShown];
    std::size_t count = 0;

    void add(uint8_t byte) {
        if (count < kShown) shown[count] = byte;
        ++count;
    }
    void tell(Trace& trace) const {
        if (count == 0) return;
        if (count > kShown) trace.line("%zu stray bytes, the first %zu follow", count, kShown);
        trace.bytes("stray bytes", shown, count < kShown ? count : kShown);
    }
};

}  // namespace

// A candidate is looked at whole before any of it is taken: one that fails its checks gives up
// its start byte alone, and the hunt takes up again at the byte after it. So a stray 0x12 in front
// of an answer, or inside a corrupt one, never costs the answer behind it.
ReceivedInputs CardLink::receive_input_frame() {
    ReceivedInputs received{FrameResult::not_ready, {}};
    Trace* const trace = trace_.on() ? &trace_ : nullptr;
    StrayBytes stray;
    InputFrame frame{};
    for (;;) {
        uint32_t queued = 0;
        // A read that brings nothing ends the hunt: the count may go on reporting bytes that no
        // read can take (a port failing its reads while its status query still answers).
        if (port_.input_queued(queued) != PortResult::ok || queued < frame.size() ||
            port_.peek_bytes(frame.data(), frame.size()) != PortResult::ok) {
            if (trace != nullptr) stray.tell(*trace);
            return received;
        }
        if (frame[0] == kInputStart) break;
        port_.drop_bytes(1);
        if (trace != nullptr) stray.add(frame[0]);
    }
    if (trace != nullptr) stray.tell(*trace);

    // Nothing is decoded before the frame has passed its checks.
    received.result = check_input_frame(frame);
    if (received.result != FrameResult::ok) {
        port_.drop_bytes(1);
        if (trace != nullptr) {
            if (received.result == FrameResult::bad_end) {
                trace->bytes("bad end byte", frame.data(), 8);
            } else {
                trace->bytes("bad checksum", frame.data(), frame.size());
            }
        }
        return received;
    }
    port_.drop_bytes(frame.size());
    if (trace != nullptr) trace->frame("rx", frame.data(), frame.size());

    received.inputs = {{frame[1], frame[2]},
                       {volts_from_raw(static_cast<uint16_t>(frame[3] | frame[4] << 8)),
                        volts_from_raw(static_cast<uint16_t>(frame[5] | frame[6] << 8))}};
    return received;
}

}  // namespace vek
