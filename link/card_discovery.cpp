#include "link/card_discovery.h"

#include <bitset>

namespace vek {

namespace {

// Ends the scan's helper for opens however the scan returns.
struct ScanEnd {
    SerialPort& port;
    ~ScanEnd() { port.end_scan(); }
};

// A probe that also says whether the port was busy, for find_card's second pass.
Probe probe_once(CardLink& link, uint32_t n, const CardOutputs& outputs, bool& busy) {
    SerialPort& port = link.port();
    const PortResult opened = port.open_port(n);
    busy = opened == PortResult::busy;
    if (opened != PortResult::ok) return {ProbeResult::no_answer, {}};
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

}  // namespace

Probe probe_port(CardLink& link, uint32_t n, const CardOutputs& outputs) {
    const ScanEnd scan_end{link.port()};
    bool busy = false;
    return probe_once(link, n, outputs, busy);
}

// A port refused as busy is tried once more after the others: on Windows its last user may still
// be letting go of it (a handle closed a moment ago, our own from a stop just before), and by the
// end of the scan it is free.
Probe find_card(CardLink& link, const CardOutputs& outputs) {
    const ScanEnd scan_end{link.port()};
    std::bitset<kLastPort + 1> busy_ports;
    for (uint32_t n = kFirstPort; n <= kLastPort; ++n) {
        bool busy = false;
        const Probe probe = probe_once(link, n, outputs, busy);
        if (probe.result == ProbeResult::answered) return probe;
        busy_ports[n] = busy;
    }
    for (uint32_t n = kFirstPort; n <= kLastPort; ++n) {
        if (!busy_ports[n]) continue;
        bool busy = false;
        const Probe probe = probe_once(link, n, outputs, busy);
        if (probe.result == ProbeResult::answered) return probe;
    }
    show_no_card_message();
    return {ProbeResult::no_answer, {}};
}

}  // namespace vek
