// What each key does in the live view: switch an output or the virtual card's input, step or
// type an analog value, call the driver (reset, the delay dialog, restart), or a prompt's typing.
#pragma once

#include "panel/session/panel_session.h"
#include "panel/view/view_state.h"

namespace vek::panel {

// False when the key asks to quit.
bool handle_key(PanelSession& session, ViewState& view, int key);

}  // namespace vek::panel
