// The live view's frame: the title, the line's state, the inputs and outputs, the analog values,
// the line's counts, the message or prompt and the keys, drawn from one snapshot.
#pragma once

#include "panel/session/snapshot.h"
#include "panel/view/view_state.h"

namespace vek::panel {

void draw(const PanelSnapshot& shot, const ViewState& view);

}  // namespace vek::panel
