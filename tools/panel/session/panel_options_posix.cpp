#include "panel/session/panel_options.h"

namespace vek::panel {

bool offers_virtual_card(const PanelOptions& options) {
    return options.device.empty() && options.ports.empty() && options.tap.empty();
}

std::string virtual_card_hint() { return "run without --device or --ports"; }

std::string options_refused(const PanelOptions& options) {
    if (options.port != 0) {
        return "--port names a Windows COM port; here name the card's device with --device, or a ports folder with --ports";
    }
    return {};
}

}  // namespace vek::panel
