#include "poll/process_image.h"

namespace vek {

void store_inputs(ProcessImage& image, const CardInputs& inputs) {
    std::lock_guard<std::mutex> guard(image.inputs_lock);
    store(image.digital_in[0], inputs.digital[0]);
    store(image.digital_in[1], inputs.digital[1]);
    store(image.analog_in[0], inputs.analog[0]);
    store(image.analog_in[1], inputs.analog[1]);
}

CardInputs load_inputs(ProcessImage& image) {
    std::lock_guard<std::mutex> guard(image.inputs_lock);
    return {{load(image.digital_in[0]), load(image.digital_in[1])}, {load(image.analog_in[0]), load(image.analog_in[1])}};
}

CardOutputs load_outputs(const ProcessImage& image) {
    const uint32_t packed = image.outputs.load(std::memory_order_relaxed);
    const auto byte = [packed](unsigned k) { return static_cast<uint8_t>(packed >> (8 * k) & 0xFFU); };
    return {{byte(0), byte(1)}, {byte(2), byte(3)}};
}

void store_outputs(ProcessImage& image, const CardOutputs& outputs) {
    const uint32_t packed = uint32_t{outputs.digital[0]} | uint32_t{outputs.digital[1]} << 8 |
                            uint32_t{outputs.analog[0]} << 16 | uint32_t{outputs.analog[1]} << 24;
    image.outputs.store(packed, std::memory_order_relaxed);
}

void switch_outputs_off(ProcessImage& image) { image.outputs.store(0, std::memory_order_relaxed); }

void reset_process_image(ProcessImage& image) {
    store_inputs(image, {{0xFF, 0xFF}, {0.0F, 0.0F}});
    switch_outputs_off(image);
}

}  // namespace vek
