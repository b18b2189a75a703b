#include "panel/line/frame_meaning.h"

#include <cstdio>

namespace vek::panel {

namespace {

// Both frames' checksums bring the 8-bit sum of the whole frame to this.
constexpr uint8_t kFrameSum = 0x01;

std::string on_list(const std::array<bool, 16>& on, const char* what) {
    std::string out = what;
    bool any = false;
    for (std::size_t i = 0; i < on.size(); ++i) {
        if (!on[i]) continue;
        out += " " + std::to_string(i + 1);
        any = true;
    }
    return out + (any ? " on" : " all off");
}

}  // namespace

SeenOutputs outputs_of_frame(const uint8_t* frame) {
    SeenOutputs seen;
    for (std::size_t i = 0; i < 16; ++i) seen.outputs[i] = (frame[1 + i / 8] & (1U << (i % 8))) != 0;
    seen.analog_out = {frame[3], frame[4]};
    return seen;
}

SeenInputs inputs_of_frame(const uint8_t* frame) {
    SeenInputs seen;
    for (std::size_t i = 0; i < 16; ++i) seen.inputs[i] = (frame[1 + i / 8] & (1U << (i % 8))) == 0;
    for (std::size_t ch = 0; ch < 2; ++ch) {
        seen.raw[ch] = static_cast<uint16_t>(frame[3 + 2 * ch] | (frame[4 + 2 * ch] << 8));
        seen.volts[ch] = seen.raw[ch] * 5.0 / 1023.0;
    }
    return seen;
}

std::string output_frame_meaning(const uint8_t* frame) {
    const SeenOutputs seen = outputs_of_frame(frame);
    return on_list(seen.outputs, "outputs") + ", analog out " + std::to_string(seen.analog_out[0]) + " " +
           std::to_string(seen.analog_out[1]);
}

std::string input_frame_meaning(const uint8_t* frame) {
    const SeenInputs seen = inputs_of_frame(frame);
    char analog[64];
    std::snprintf(analog, sizeof analog, ", analog in %.3f V %.3f V", seen.volts[0], seen.volts[1]);
    return on_list(seen.inputs, "inputs") + analog;
}

std::string frame_fault(const uint8_t* frame, std::size_t size) {
    const uint8_t end = frame[0] == 0x12 ? 0x13 : 0x03;
    char text[64];
    if (frame[size - 2] != end) {
        std::snprintf(text, sizeof text, "bad end byte %02X, not %02X", frame[size - 2], end);
        return text;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += frame[i];
    std::snprintf(text, sizeof text, "bad checksum: the bytes sum to %02X, not %02X", sum & 0xFFU, kFrameSum);
    return text;
}

}  // namespace vek::panel
