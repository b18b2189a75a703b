#include "poll/process_image.h"

ProcessImage& process_image() {
    static ProcessImage image{};  // constant-initialised: ready before any DriverEntry call
    return image;
}

void switch_outputs_off() {
    ProcessImage& image = process_image();
    store(image.digital_out[0], 0);
    store(image.digital_out[1], 0);
    store(image.analog_out[0], 0);
    store(image.analog_out[1], 0);
}

void reset_process_image() {
    ProcessImage& image = process_image();
    store(image.digital_in[0], 0xFF);
    store(image.digital_in[1], 0xFF);
    store(image.analog_in[0], 0.0F);
    store(image.analog_in[1], 0.0F);
    switch_outputs_off();
}
