#include "panel/driver/panel_host.h"

#include <utility>

namespace vek::panel {

namespace {

// The bit of a host output byte that holds its state.
constexpr uint8_t kOutputOn = 0x40;
// Where the driver keeps driver number 0's analog values in the host's tables.
constexpr std::size_t kAnalogEntry = 200;

// set_input carries no context: it writes into the one panel host of the process.
std::array<bool, 16>* g_inputs = nullptr;

void VEK_CDECL record_input(int32_t index, int32_t value) {
    // The driver is under test here: an index outside driver 0's sixteen is ignored, not followed.
    if (g_inputs == nullptr || index < 0 || index >= 16) return;
    (*g_inputs)[static_cast<std::size_t>(index)] = value != 0;
}

}  // namespace

PanelHost::PanelHost(DriverEntryFn entry, std::string settings_path)
    : entry_(entry), settings_path_(std::move(settings_path)) {
    record_.input_base = 0;
    record_.output_states = output_states_.data();
    record_.words = words_.data();
    record_.reals = reals_.data();
    record_.set_input = record_input;
    g_inputs = &image_.inputs;
}

PanelHost::~PanelHost() {
    if (started_) stop();
    if (created_) remove();
    g_inputs = nullptr;
}

int32_t PanelHost::call(uint32_t command) {
    return entry_(0, command, &record_, &driver_record_, settings_path_.c_str());
}

int32_t PanelHost::create() {
    const int32_t result = call(DRV_CREATE);
    created_ = result == 0;
    return result;
}

int32_t PanelHost::start() {
    const int32_t result = call(DRV_START);
    started_ = result == 0;
    return result;
}

int32_t PanelHost::stop() {
    started_ = false;
    return call(DRV_STOP);
}

int32_t PanelHost::reset_outputs() {
    // The driver switches its outputs off; the panel's switches follow, or the next write would
    // switch them straight back on.
    all_outputs_off();
    return call(DRV_RESET_OUTPUTS);
}

int32_t PanelHost::configure() { return call(DRV_CONFIGURE); }

int32_t PanelHost::remove() {
    created_ = false;
    return call(DRV_DELETE);
}

void PanelHost::set_output(unsigned index_0_to_15, bool on) {
    if (index_0_to_15 < 16) image_.outputs[index_0_to_15] = on;
}

void PanelHost::set_analog_out(unsigned channel_0_or_1, uint8_t value) {
    if (channel_0_or_1 < 2) image_.analog_out[channel_0_or_1] = value;
}

void PanelHost::all_outputs_off() {
    image_.outputs.fill(false);
    image_.analog_out.fill(0);
}

void PanelHost::exchange() {
    for (std::size_t i = 0; i < 16; ++i) output_states_[i] = image_.outputs[i] ? kOutputOn : 0;
    words_[kAnalogEntry] = image_.analog_out[0];
    words_[kAnalogEntry + 1] = image_.analog_out[1];
    call(DRV_WRITE_OUTPUTS);
    call(DRV_READ_INPUTS);
    image_.volts[0] = reals_[kAnalogEntry];
    image_.volts[1] = reals_[kAnalogEntry + 1];
}

}  // namespace vek::panel
