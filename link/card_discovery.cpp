#include "link/card_discovery.h"

namespace vek {

Probe probe_port(CardLink& link, uint32_t n, const CardOutputs& outputs) {
    SerialPort& port = link.port();
    if (port.open_port(n) != PortResult::ok) return {ProbeResult::no_answer, {}};
    if (port.rts_state() != RtsState::asserted) port.assert_rts();
    port.assert_dtr();

    for (uint32_t attempt = 0; attempt < kProbeAttempts; ++attempt) {
        link.send_output_frame(outputs);
        // After a corrupt answer read again at once: the next frame may already be queued.
        ReceivedInputs answer = link.receive_input_frame();
        while (answer.result == FRAME_BAD_END || answer.result == FRAME_BAD_SUM) answer = link.receive_input_frame();
        if (answer.result == FRAME_OK) return {ProbeResult::answered, answer.inputs};
        if (port.port_lost()) break;  // unplugged mid-probe: the remaining attempts cannot succeed
    }
    return {ProbeResult::no_answer, {}};
}

Probe find_card(CardLink& link, const CardOutputs& outputs) {
    for (uint32_t n = kFirstPort; n <= kLastPort; ++n) {
        const Probe probe = probe_port(link, n, outputs);
        if (probe.result == ProbeResult::answered) return probe;
    }
    show_no_card_message();
    return {ProbeResult::no_answer, {}};
}

}  // namespace vek
