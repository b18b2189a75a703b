#include "dialog/configure_dialog.h"

#include "config/settings.h"

namespace vek {

void accept_delay(const DialogRequest& request, uint32_t delay_ms) {
    // One 32-bit store: a running poll thread uses the new delay from its next cycle.
    request.delay_ms->store(delay_ms);
    save_settings(request.config_path, request.number, delay_ms);
}

}  // namespace vek
