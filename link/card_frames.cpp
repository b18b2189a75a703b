#include "link/card_frames.h"

#include <algorithm>
#include <mutex>

#include "link/clock.h"
#include "link/serial_port.h"
#include "poll/process_image.h"

namespace {

// A drain gives up after this many frame times: a real port empties its queue in one.
constexpr uint64_t kDrainBoundFrames = 4;
// Room for the scheduler on top of the wire time, and the shortest sleep between queries.
constexpr uint64_t kDrainSlackUs = 2000;
constexpr uint64_t kDrainPollMinUs = 100;

// One sender at a time, and no frame written while the one before is still on the wire.
struct Sending {
    std::mutex lock;
    uint64_t line_free_at = 0;  // monotonic_us when the last frame written has left the wire
};

Sending& sending() {
    static Sending state;
    return state;
}

// Under the send lock: writes the frame once the line is free, and returns when it will have
// left the wire; a write that failed puts nothing on it.
uint64_t write_when_line_free(Sending& s, const OutputFrame& frame) {
    uint64_t now = monotonic_us();
    if (now < s.line_free_at) sleep_us(s.line_free_at - now);  // one frame's wire time at most
    now = monotonic_us();
    if (!write_bytes(frame.data(), frame.size())) return now;
    s.line_free_at = now + wire_time_us(frame.size());
    return s.line_free_at;
}

OutputFrame frame_from_image() {
    ProcessImage& image = process_image();
    return build_output_frame(load(image.digital_out[0]), load(image.digital_out[1]), load(image.analog_out[0]),
                              load(image.analog_out[1]));
}

// The queue count alone is not enough: a UART reports 0 while its last byte is still in the
// shift register, and a pseudo-terminal always reports 0. So the wire time is waited out first
// (which is what keeps a probe of a silent port from sending 100 frames at once), and the count
// is asked only then: no queue can be empty sooner, and asking on the way costs CPU every cycle.
void wait_until_queue_empty(uint64_t on_wire_until) {
    const uint64_t frame_us = wire_time_us(std::tuple_size<OutputFrame>::value);
    const uint64_t give_up_at = on_wire_until + (kDrainBoundFrames - 1) * frame_us + kDrainSlackUs;
    for (;;) {
        QueueCounts counts{};
        if (!read_queue_status(&counts)) return;  // port gone: nothing will drain
        const uint64_t now = monotonic_us();
        if (counts.out_queue == 0 || now >= give_up_at) return;
        sleep_us(std::min(std::max(wire_time_us(counts.out_queue), kDrainPollMinUs), give_up_at - now));
    }
}

uint8_t checksum_for(uint32_t sum_of_other_bytes) { return static_cast<uint8_t>(0x01U - sum_of_other_bytes); }

}  // namespace

OutputFrame build_output_frame(uint8_t digital_out_0, uint8_t digital_out_1, uint8_t analog_out_0,
                               uint8_t analog_out_1) {
    OutputFrame frame{kOutputStart, digital_out_0, digital_out_1, analog_out_0, analog_out_1, kOutputEnd, 0};
    uint32_t sum = 0;
    for (std::size_t i = 0; i < 6; ++i) sum += frame[i];
    frame[6] = checksum_for(sum);
    return frame;
}

int32_t check_input_frame(const InputFrame& frame) {
    if (frame[7] != kInputEnd) return FRAME_BAD_END;
    uint32_t sum = kInputStart;
    for (std::size_t i = 1; i <= 6; ++i) sum += frame[i];
    sum += frame[8];
    return (sum & 0xFFU) == 0xEEU ? FRAME_OK : FRAME_BAD_SUM;
}

float volts_from_raw(uint16_t raw) { return static_cast<float>(static_cast<double>(raw) * 5.0 / 1023.0); }

int32_t send_output_frame() {
    const OutputFrame frame = frame_from_image();
    Sending& s = sending();
    std::lock_guard<std::mutex> guard(s.lock);
    const uint64_t on_wire_until = write_when_line_free(s, frame);
    const uint64_t now = monotonic_us();
    if (now < on_wire_until) sleep_us(on_wire_until - now);
    wait_until_queue_empty(on_wire_until);
    return 0;
}

uint64_t start_output_frame() {
    const OutputFrame frame = frame_from_image();
    Sending& s = sending();
    std::lock_guard<std::mutex> guard(s.lock);
    return write_when_line_free(s, frame);
}

void confirm_output_sent(uint64_t on_wire_until) { wait_until_queue_empty(on_wire_until); }

int32_t wait_for_input_frame(uint64_t bound_us) {
    return wait_for_bytes(static_cast<uint32_t>(std::tuple_size<InputFrame>::value), bound_us);
}

int32_t receive_input_frame() {
    for (;;) {
        if (input_queued() < 9) return FRAME_NOT_READY;
        if (read_byte() == kInputStart) break;
    }

    // Read the rest into a frame of our own: nothing reaches the image before it has passed its
    // checks. A byte that fails to come reads as 0xFF, and the checks then refuse the frame.
    InputFrame frame{kInputStart};
    for (std::size_t i = 1; i < frame.size(); ++i) {
        const int32_t byte = read_byte();
        frame[i] = static_cast<uint8_t>(byte < 0 ? 0xFF : byte);
        if (i == 7 && byte != kInputEnd) return FRAME_BAD_END;  // the checksum byte stays queued
    }
    const int32_t verdict = check_input_frame(frame);
    if (verdict != FRAME_OK) return verdict;

    store_inputs({{frame[1], frame[2]},
                  {volts_from_raw(static_cast<uint16_t>(frame[3] | frame[4] << 8)),
                   volts_from_raw(static_cast<uint16_t>(frame[5] | frame[6] << 8))}});
    return FRAME_OK;
}
