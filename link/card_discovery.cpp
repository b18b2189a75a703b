#include "link/card_discovery.h"

#include "support/clock.h"

namespace vek {

namespace {

// Ends the scan's helper for opens however the scan returns.
struct ScanEnd {
    SerialPort& port;
    ~ScanEnd() { port.end_scan(); }
};

// How a probe ended, for the trace.
enum class ProbeOutcome { absent, busy, silent, corrupt_only, lost, found };

const char* outcome_text(ProbeOutcome outcome) {
    switch (outcome) {
        case ProbeOutcome::absent: return "absent or refused its line settings";
        case ProbeOutcome::busy: return "busy";
        case ProbeOutcome::silent: return "silent";
        case ProbeOutcome::corrupt_only: return "only corrupt answers";
        case ProbeOutcome::lost: return "lost during the probe";
        case ProbeOutcome::found: return "found";
    }
    return "?";
}

Probe run_probe(CardLink& link, uint32_t n, const CardOutputs& outputs, ProbeOutcome& outcome) {
    SerialPort& port = link.port();
    const PortResult opened = port.open_port(n);
    if (opened != PortResult::ok) {
        outcome = opened == PortResult::busy ? ProbeOutcome::busy : ProbeOutcome::absent;
        return {ProbeResult::no_answer, {}};
    }
    if (port.rts_state() != RtsState::asserted) port.assert_rts();
    port.assert_dtr();

    outcome = ProbeOutcome::silent;
    for (uint32_t attempt = 0; attempt < kProbeAttempts; ++attempt) {
        link.send_output_frame(outputs);
        // After a corrupt answer read again at once: the next frame may already be queued.
        ReceivedInputs answer = link.receive_input_frame();
        while (answer.result == FrameResult::bad_end || answer.result == FrameResult::bad_sum) {
            outcome = ProbeOutcome::corrupt_only;
            answer = link.receive_input_frame();
        }
        if (answer.result == FrameResult::ok) {
            outcome = ProbeOutcome::found;
            return {ProbeResult::answered, answer.inputs};
        }
        if (port.port_lost()) {  // unplugged mid-probe: the remaining attempts cannot succeed
            outcome = ProbeOutcome::lost;
            break;
        }
    }
    return {ProbeResult::no_answer, {}};
}

// A probe that also says whether the port was busy, for find_card's second pass, and tells the
// trace how it ended and how long it took.
Probe probe_once(CardLink& link, uint32_t n, const CardOutputs& outputs, bool& busy) {
    Trace* const trace = link.trace().on() ? &link.trace() : nullptr;
    const uint64_t began = trace != nullptr ? monotonic_us() : 0;
    ProbeOutcome outcome = ProbeOutcome::absent;
    const Probe probe = run_probe(link, n, outputs, outcome);
    busy = outcome == ProbeOutcome::busy;
    if (trace != nullptr) {
        const unsigned long long ms = (monotonic_us() - began) / 1000U;
        trace->line("COM%u %s after %llu ms", static_cast<unsigned>(n), outcome_text(outcome), ms);
    }
    return probe;
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
Probe find_card(CardLink& link, const CardOutputs& outputs, uint32_t named_port, const PortSet& held) {
    if (named_port != 0) {
        return probe_port(link, named_port, outputs);
    }
    const ScanEnd scan_end{link.port()};
    std::bitset<kLastPort + 1> busy_ports;
    for (uint32_t n = kFirstPort; n <= kLastPort; ++n) {
        if (held[n]) continue;  // another card's: a probe would cut into its polling
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
    return {ProbeResult::no_answer, {}};
}

}  // namespace vek
