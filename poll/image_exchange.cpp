#include "poll/image_exchange.h"

#include <cstddef>

namespace vek {

namespace {

constexpr std::size_t kChannelsPerCard = 16;
constexpr std::size_t kFirstAnalogEntry = 200;  // in reals (inputs) and words (outputs)
constexpr uint8_t kOutputOnBit = 0x40;

// The host's table entries of driver number n: 16 digital channels, 2 analog ones.
std::size_t first_digital(uint32_t number) { return kChannelsPerCard * number; }
std::size_t first_analog(uint32_t number) { return kFirstAnalogEntry + std::size_t{2} * number; }

// Output i of the group is on when bit 0x40 of its host byte is set.
uint8_t output_group(const uint8_t* states) {
    uint8_t group = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if ((states[i] & kOutputOnBit) != 0) group = static_cast<uint8_t>(group | 1U << i);
    }
    return group;
}

}  // namespace

void read_inputs(ProcessImage& image, const DriverInstance& instance, const HostRecord& host) {
    if (instance.running == 0) return;
    // Taken once: the poll thread may publish a new answer while the host is being called.
    const CardInputs inputs = load_inputs(image);

    if (host.set_input != nullptr) {
        // Index arithmetic as the host's 32-bit ints do it, without signed overflow.
        const uint32_t first = static_cast<uint32_t>(host.input_base) + static_cast<uint32_t>(first_digital(instance.number));
        for (uint32_t i = 0; i < kChannelsPerCard; ++i) {
            const uint8_t group = inputs.digital[i / 8];
            const int32_t on = (group >> (i % 8) & 1U) == 0 ? 1 : 0;  // active low
            host.set_input(static_cast<int32_t>(first + i), on);
        }
    }
    if (host.reals != nullptr) {
        const std::size_t at = first_analog(instance.number);
        host.reals[at] = inputs.analog[0];
        host.reals[at + 1] = inputs.analog[1];
    }
}

void write_outputs(ProcessImage& image, const DriverInstance& instance, const HostRecord& host) {
    if (instance.running == 0) return;

    // All four are built here and stored at once, so a frame carries this write whole. A table
    // the host lacks keeps what the image holds; only this thread writes outputs while polling.
    CardOutputs outputs = load_outputs(image);
    if (host.output_states != nullptr) {
        const uint8_t* states = host.output_states + first_digital(instance.number);
        outputs.digital[0] = output_group(states);
        outputs.digital[1] = output_group(states + 8);
    }
    if (host.words != nullptr) {
        const std::size_t at = first_analog(instance.number);
        outputs.analog[0] = static_cast<uint8_t>(host.words[at] & 0xFFU);
        outputs.analog[1] = static_cast<uint8_t>(host.words[at + 1] & 0xFFU);
    }
    store_outputs(image, outputs);
}

}  // namespace vek
