#include "tests/soak/soak_states.h"

#include <cmath>
#include <cstring>

#include "link/card_frames.h"

namespace {

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352DU;
    x ^= x >> 15;
    x *= 0x846CA68BU;
    x ^= x >> 16;
    return x;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The raw value whose scaled volts are exactly these, if there is one.
bool raw_of(float volts, uint16_t* raw) {
    const double estimate = std::round(static_cast<double>(volts) * 1023.0 / 5.0);
    if (!(estimate >= 0.0 && estimate <= 65535.0)) return false;
    *raw = static_cast<uint16_t>(estimate);
    return same_bits(vek::volts_from_raw(*raw), volts);
}

}  // namespace

bool usable_sequence(uint32_t sequence) {
    return sequence >= 1 && sequence <= kLastSequence && (sequence & 0xFFFFU) != 0xFFFFU;
}

CardState encode_state(uint32_t sequence, bool corrupt_only) {
    const uint32_t check = mix(sequence * 2U + (corrupt_only ? 1U : 0U));
    CardState state{};
    state.inputs_1_to_8 = static_cast<uint8_t>(sequence & 0xFFU);
    state.inputs_9_to_16 = static_cast<uint8_t>(sequence >> 8 & 0xFFU);
    state.analog_1 = static_cast<uint16_t>((sequence >> 16 & 0x7FU) | (corrupt_only ? 0x80U : 0U) | (check & 0xFFU) << 8);
    // The high byte of analog 2 stays below 0x10, so it is never 0x12 or 0x13: fewer places inside a
    // corrupt answer where the hunt, taking up again one byte after its start, meets a frame's bounds.
    state.analog_2 = static_cast<uint16_t>(check >> 8 & 0x0FFFU);
    return state;
}

DecodedView decode_view(const HostView& view) {
    const DecodedView garbled{ViewKind::garbled, 0};
    if (view.on == 0 && same_bits(view.volts_1, 0.0F) && same_bits(view.volts_2, 0.0F)) {
        return {ViewKind::start_state, 0};
    }
    uint16_t raw_1 = 0;
    uint16_t raw_2 = 0;
    if (!raw_of(view.volts_1, &raw_1) || !raw_of(view.volts_2, &raw_2)) return garbled;
    const auto inputs = static_cast<uint16_t>(~view.on);  // the card's inputs are active low
    const uint32_t sequence = (uint32_t{raw_1} & 0x7FU) << 16 | inputs;
    const bool corrupt_only = (raw_1 & 0x80U) != 0;
    const CardState expected = encode_state(sequence, corrupt_only);
    if (!usable_sequence(sequence) || expected.inputs_1_to_8 != (inputs & 0xFFU) ||
        expected.inputs_9_to_16 != inputs >> 8 || expected.analog_1 != raw_1 || expected.analog_2 != raw_2) {
        return garbled;
    }
    return {corrupt_only ? ViewKind::corrupt_only : ViewKind::sent, sequence};
}

namespace {

uint8_t output_check(uint8_t outputs_1_to_8, uint8_t outputs_9_to_16, uint8_t analog_1) {
    return static_cast<uint8_t>(mix(uint32_t{outputs_1_to_8} << 16 | uint32_t{outputs_9_to_16} << 8 | analog_1) & 0xFFU);
}

}  // namespace

OutputState encode_outputs(uint32_t random_bits) {
    const bool eight_on = (random_bits & 1U) != 0;
    OutputState state{};
    state.outputs_1_to_8 = static_cast<uint8_t>((random_bits >> 1 & 0x7FU) | (eight_on ? 0x80U : 0U));
    state.outputs_9_to_16 = static_cast<uint8_t>((random_bits >> 8 & 0xFEU) | (eight_on ? 0U : 1U));
    state.analog_1 = static_cast<uint8_t>(random_bits >> 16);
    state.analog_2 = output_check(state.outputs_1_to_8, state.outputs_9_to_16, state.analog_1);
    return state;
}

bool written_outputs(const OutputState& s) {
    if (s.outputs_1_to_8 == 0 && s.outputs_9_to_16 == 0 && s.analog_1 == 0 && s.analog_2 == 0) return true;
    const bool eight_on = (s.outputs_1_to_8 & 0x80U) != 0;
    const bool nine_on = (s.outputs_9_to_16 & 0x01U) != 0;
    return eight_on != nine_on && s.analog_2 == output_check(s.outputs_1_to_8, s.outputs_9_to_16, s.analog_1);
}
