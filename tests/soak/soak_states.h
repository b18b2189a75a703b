// The input states the soak's card sends. Each carries a sequence number, and check bits spread
// over all four fields of the frame, so that a state torn from two frames, or one made up, does
// not decode; a flag marks the states the card only ever sends in corrupt frames.
#pragma once

#include <cstdint>

struct CardState {
    uint8_t inputs_1_to_8;
    uint8_t inputs_9_to_16;
    uint16_t analog_1;
    uint16_t analog_2;
};

// Sequence numbers run from 1 to this; those whose low 16 bits are all ones are never used, so
// no state looks like the all-off, 0 V image that DRV_START sets.
constexpr uint32_t kLastSequence = (uint32_t{1} << 23) - 1;
bool usable_sequence(uint32_t sequence);

CardState encode_state(uint32_t sequence, bool corrupt_only);

// What the host received from one DRV_READ_INPUTS: bit i set when set_input reported input i + 1
// on, and the two reals.
struct HostView {
    uint16_t on;
    float volts_1;
    float volts_2;
};

enum class ViewKind {
    start_state,   // every input off and 0 V: the image as DRV_START leaves it
    sent,          // a state of the card's, with its sequence number
    corrupt_only,  // a state the card only sent in corrupt frames
    garbled,       // no state of the card's: torn from two frames, or made up
};

struct DecodedView {
    ViewKind kind;
    uint32_t sequence;
};

DecodedView decode_view(const HostView& view);

// The output states the soak's host writes: outputs 8 and 9 an interlock (exactly one of them is
// on, as a motor's forward and reverse contactors), and analog output 2 a check over the other
// three bytes, so that a frame mixing two of the host's writes does not pass for one.
struct OutputState {
    uint8_t outputs_1_to_8;  // bit k = output k + 1, 1 = on
    uint8_t outputs_9_to_16;
    uint8_t analog_1;
    uint8_t analog_2;
};

OutputState encode_outputs(uint32_t random_bits);

// True when the four output bytes of a frame are a state the host wrote, or all off (a start, a
// reset or a stop).
bool written_outputs(const OutputState& state);
