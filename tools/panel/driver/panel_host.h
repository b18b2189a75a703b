// The panel's side of the driver: the host's records and tables, laid out as the host lays them
// out, and the calls the host makes. Driver number 0, instance slot 0, input base 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "panel/driver/driver_library.h"

namespace vek::panel {

// The host's cycle, as the panel plays it: outputs written and inputs read ten times a second.
// The driver polls the card on its own thread, every delay (50 ms by default), whatever the host does.
constexpr int kPanelHostCycleMs = 100;

struct PanelImage {
    std::array<bool, 16> inputs{};      // as the last DRV_READ_INPUTS gave them, true = on
    std::array<float, 2> volts{};
    std::array<bool, 16> outputs{};     // as the panel asks for them
    std::array<uint8_t, 2> analog_out{};
};

class PanelHost {
public:
    PanelHost(DriverEntryFn entry, std::string settings_path);
    ~PanelHost();
    PanelHost(const PanelHost&) = delete;
    PanelHost& operator=(const PanelHost&) = delete;

    // Each returns what DriverEntry returned.
    int32_t create();          // DRV_CREATE: the instance, its delay read from the settings file
    int32_t start();           // DRV_START: discovery and the poll thread
    int32_t stop();            // DRV_STOP: the card is left with every output off
    int32_t reset_outputs();   // DRV_RESET_OUTPUTS
    int32_t configure();       // DRV_CONFIGURE: the delay dialog on the controlling terminal
    int32_t remove();          // DRV_DELETE

    void set_output(unsigned index_0_to_15, bool on);
    void set_analog_out(unsigned channel_0_or_1, uint8_t value);
    void all_outputs_off();

    // DRV_WRITE_OUTPUTS from the panel's outputs, then DRV_READ_INPUTS into its inputs, as a
    // host does on each of its own cycles.
    void exchange();

    const PanelImage& image() const { return image_; }
    bool started() const { return started_; }
    const std::string& settings_path() const { return settings_path_; }

private:
    int32_t call(uint32_t command);

    DriverEntryFn entry_;
    std::string settings_path_;
    HostRecord record_{};
    HostDriverRecord driver_record_{};
    std::array<uint8_t, 16> output_states_{};
    std::array<uint16_t, 256> words_{};
    std::array<float, 256> reals_{};
    PanelImage image_;
    bool created_ = false;
    bool started_ = false;
};

}  // namespace vek::panel
