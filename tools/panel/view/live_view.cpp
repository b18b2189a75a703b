#include "panel/view/live_view.h"

#include <chrono>

#include "panel/view/live_draw.h"
#include "panel/view/live_keys.h"
#include "panel/view/screen.h"
#include "panel/view/view_state.h"

namespace vek::panel {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int run_live_view(PanelSession& session, const volatile std::sig_atomic_t* interrupted) {
    if (!screen_open()) return kExitSetup;
    ViewState view;
    view.message = session.line().is_tap() ? "Watching the line: the host drives the card." : "Ready. Switch an output with its key.";
    auto next_cycle = Clock::now();
    bool going = true;
    while (going && *interrupted == 0) {
        const auto now = Clock::now();
        if (now >= next_cycle) {
            session.tick();
            draw(session.snapshot(), view);
            next_cycle = now + std::chrono::milliseconds(kPanelHostCycleMs);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_cycle - Clock::now()).count();
        const int key = screen_key(static_cast<int>(left > 0 ? left : 0));
        if (key == kKeyNone) continue;
        // A resize is redrawn at once; every other key acts and is shown at once too.
        if (key != kKeyResize) going = handle_key(session, view, key);
        session.tick();
        draw(session.snapshot(), view);
    }
    screen_close();
    return kExitOk;
}

}  // namespace vek::panel
