// What the card's frames carry, read by the panel itself from the bytes seen on the line, for the
// tap's view and the records: the panel must not lean on the driver it is watching.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vek::panel {

struct SeenOutputs {
    std::array<bool, 16> outputs{};      // true = on
    std::array<uint8_t, 2> analog_out{};
};

struct SeenInputs {
    std::array<bool, 16> inputs{};       // true = on (the card sends them active low)
    std::array<uint16_t, 2> raw{};       // 0..1023 is 0..5 V
    std::array<double, 2> volts{};
};

// A 7-byte output frame and a 9-byte input frame; the checks are the caller's.
SeenOutputs outputs_of_frame(const uint8_t* frame);
SeenInputs inputs_of_frame(const uint8_t* frame);

// "outputs 3 16 on, analog out 0 128"
std::string output_frame_meaning(const uint8_t* frame);
// "inputs 5 on, analog in 3.299 V 0.000 V"
std::string input_frame_meaning(const uint8_t* frame);
// What is wrong with a frame that is not valid: "bad end byte 00, not 13", "bad checksum: ...".
std::string frame_fault(const uint8_t* frame, std::size_t size);

}  // namespace vek::panel
