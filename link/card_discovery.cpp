#include "link/card_discovery.h"

#include "link/card_frames.h"
#include "link/serial_port.h"

int32_t probe_port(uint32_t n) {
    if (open_port(n) != 0) return -1;
    if (rts_state() != 1) assert_rts();
    assert_dtr();

    for (uint32_t attempt = 0; attempt < kProbeAttempts; ++attempt) {
        send_output_frame();
        // After a corrupt answer read again at once: the next frame may already be queued.
        int32_t result = receive_input_frame();
        while (result == FRAME_BAD_END || result == FRAME_BAD_SUM) result = receive_input_frame();
        if (result == FRAME_OK) return 0;
        if (port_lost()) return -1;  // unplugged mid-probe: the remaining attempts cannot succeed
    }
    return -1;
}

int32_t find_card() {
    for (uint32_t n = kFirstPort; n <= kLastPort; ++n) {
        if (probe_port(n) == 0) return 0;
    }
    show_no_card_message();
    return -1;
}
