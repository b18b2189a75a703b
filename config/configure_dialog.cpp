#include "config/configure_dialog.h"

#include "config/settings.h"

namespace vek {

void accept_delay(const char* config_path, DriverInstance& instance, uint32_t delay_ms) {
    // One 32-bit store: a running poll thread uses the new delay from its next cycle.
    instance.delay_ms.store(delay_ms);
    save_settings(config_path, instance.number, delay_ms);
}

}  // namespace vek
