#include "panel/session/panel_options.h"

namespace vek::panel {

bool offers_virtual_card(const PanelOptions&) { return false; }

std::string virtual_card_hint() { return "the Windows panel has none; run the Linux panel to play a card"; }

std::string options_refused(const PanelOptions& options) {
    const char* what = !options.device.empty()     ? "--device"
                       : !options.ports.empty()    ? "--ports"
                       : !options.card_log.empty() ? "--card-log"
                       : !options.wire_time        ? "--no-wire-time"
                       : !options.tap.empty()      ? "--tap"
                       : !options.trace.empty()    ? "--trace"
                                                   : nullptr;
    if (what == nullptr) return {};
    return std::string(what) +
           " is not available on Windows: the panel has no virtual card or line monitor here; the driver scans "
           "COM1 to COM127 for the card, or probes the port --port N names";
}

}  // namespace vek::panel
