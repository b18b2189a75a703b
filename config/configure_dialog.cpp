#include "config/configure_dialog.h"

#include "host/settings.h"

void accept_delay(DriverInstance& instance, uint32_t delay_ms) {
    // One 32-bit store: a running poll thread uses the new delay from its next cycle.
    instance.delay_ms.store(delay_ms);
    save_settings(instance.number, delay_ms);
}
