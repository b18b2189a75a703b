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
    return {{load(image.digital_out[0]), load(image.digital_out[1])}, {load(image.analog_out[0]), load(image.analog_out[1])}};
}

void switch_outputs_off(ProcessImage& image) {
    store(image.digital_out[0], 0);
    store(image.digital_out[1], 0);
    store(image.analog_out[0], 0);
    store(image.analog_out[1], 0);
}

void reset_process_image(ProcessImage& image) {
    store_inputs(image, {{0xFF, 0xFF}, {0.0F, 0.0F}});
    switch_outputs_off(image);
}

}  // namespace vek
