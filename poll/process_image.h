// The image of the card: what it last reported and what it is to be sent. The poll thread and
// the host's thread share it, and each side sees the other's changes whole. The four output
// bytes live in one 32-bit atomic, stored once per host write and loaded once per frame, so a
// frame carries one write of the host's, never half of two (outputs written as an interlock,
// one of two on, would otherwise reach the card both on or both off). The inputs are stored and
// taken four at a time under a lock (store_inputs, load_inputs), so the host never receives half
// of one answer and half of the next.
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
    // As sent, one byte each from the lowest: outputs 1-8 and 9-16 (bit k = output k + 1 of the
    // group, 1 = on), analog outputs 1 and 2 (0 to 255). Only through store_outputs/load_outputs.
    std::atomic<uint32_t> outputs;
    std::mutex inputs_lock;              // held for the four stores or loads of the inputs, nothing more
};

static_assert(std::atomic<uint8_t>::is_always_lock_free && std::atomic<float>::is_always_lock_free &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the image is shared without locks");

// Relaxed is enough: each field stands alone and nothing else is published through it.
inline uint8_t load(const std::atomic<uint8_t>& field) { return field.load(std::memory_order_relaxed); }
inline float load(const std::atomic<float>& field) { return field.load(std::memory_order_relaxed); }
inline void store(std::atomic<uint8_t>& field, uint8_t value) { field.store(value, std::memory_order_relaxed); }
inline void store(std::atomic<float>& field, float value) { field.store(value, std::memory_order_relaxed); }

// The inputs are published and read whole: a reader sees one answer's inputs, never a mix of two.
void store_inputs(ProcessImage& image, const CardInputs& inputs);
CardInputs load_inputs(ProcessImage& image);

// The outputs as they are now, for a frame: one load of all four.
CardOutputs load_outputs(const ProcessImage& image);

// All four outputs in one store.
void store_outputs(ProcessImage& image, const CardOutputs& outputs);

// Every output off, digital and analog, in one store.
void switch_outputs_off(ProcessImage& image);

// The image at the start of polling: every input off (the card's inputs are active low), analog
// inputs at 0 V, every output off.
void reset_process_image(ProcessImage& image);

}  // namespace vek
