// The image of the card: what it last reported and what it is to be sent. The poll thread and
// the host's thread share it: every field is an atomic of its byte or 32-bit float, written
// whole, so a reader sees the old or the new value of each field. An output frame may still be
// built from a mix of old and new fields; that is accepted. The inputs are not: they are stored
// and taken four at a time under a lock (store_inputs, load_inputs), so the host never receives
// half of one answer and half of the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/card_frames.h"

namespace vek {

// All zero when made, so the frames of the first discovery carry every output off.
struct ProcessImage {
    std::atomic<uint8_t> digital_in[2];  // as received: bit k = input k + 1 of the group, active low
    std::atomic<float> analog_in[2];     // volts
    std::atomic<uint8_t> digital_out[2]; // as sent: bit k = output k + 1 of the group, 1 = on
    std::atomic<uint8_t> analog_out[2];  // 0 to 255
    std::mutex inputs_lock;              // held for the four stores or loads of the inputs, nothing more
};

static_assert(std::atomic<uint8_t>::is_always_lock_free && std::atomic<float>::is_always_lock_free,
              "the image is shared without locks");

// Relaxed is enough: each field stands alone and nothing else is published through it.
inline uint8_t load(const std::atomic<uint8_t>& field) { return field.load(std::memory_order_relaxed); }
inline float load(const std::atomic<float>& field) { return field.load(std::memory_order_relaxed); }
inline void store(std::atomic<uint8_t>& field, uint8_t value) { field.store(value, std::memory_order_relaxed); }
inline void store(std::atomic<float>& field, float value) { field.store(value, std::memory_order_relaxed); }

// The inputs are published and read whole: a reader sees one answer's inputs, never a mix of two.
void store_inputs(ProcessImage& image, const CardInputs& inputs);
CardInputs load_inputs(ProcessImage& image);

// The outputs as they are now, one load each, for a frame.
CardOutputs load_outputs(const ProcessImage& image);

// Sets both digital output bytes, then both analog outputs, to 0 (off), one store each.
void switch_outputs_off(ProcessImage& image);

// The image at the start of polling: every input off (the card's inputs are active low), analog
// inputs at 0 V, every output off.
void reset_process_image(ProcessImage& image);

}  // namespace vek
