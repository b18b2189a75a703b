#include "poll/port_reconnect.h"

#include "support/clock.h"

namespace vek {

namespace {

// A USB adapter that drops off the bus for a moment is often back within a fraction of a second;
// one that stays away is looked for once a second, which costs next to nothing meanwhile.
constexpr uint64_t kFirstReopenUs = 100000;
constexpr uint64_t kReopenEveryUs = 1000000;

// The attempts are one scan of one port: on Windows the thread that makes the opens serves them
// all (it idles 2 s between requests, longer than the pause), and ends with the reconnect rather
// than being made and ended every second, which cost more than the failing open itself.
struct ReconnectEnd {
    SerialPort& port;
    ~ReconnectEnd() { port.end_scan(); }
};

}  // namespace

bool reopen_lost_port(Card& card, StopSignal& stop, uint32_t n, FirstReopen first) {
    SerialPort& port = card.link.port();
    Trace& trace = card.link.trace();
    if (port.lost_port() != n || port.open_port_number() != n) return false;  // closed or replaced since
    if (trace.on()) {
        char why[200];
        port.describe_loss(why, sizeof why);
        trace.line("COM%u lost: %s", static_cast<unsigned>(n), why);
    }
    // The old handle goes at once: the system brings a replugged adapter back under its name only
    // once nothing holds the one that went away. A port opened since is not ours to close.
    if (!port.close_lost_port(n)) return false;
    const uint64_t lost_at = monotonic_us();
    const ReconnectEnd reconnect_end{port};
    uint64_t pause_us = first == FirstReopen::soon ? kFirstReopenUs : kReopenEveryUs;
    for (unsigned attempt = 1;; ++attempt) {
        if (stop.wait_us(pause_us) || card.stop_request.load() != 0) return false;
        pause_us = kReopenEveryUs;
        const PortResult opened = port.open_port(n);
        if (opened != PortResult::ok) continue;
        port.assert_rts();
        port.assert_dtr();
        if (trace.on()) {
            const unsigned long long ms = (monotonic_us() - lost_at) / 1000U;
            trace.line("COM%u reopened after %llu ms, attempt %u", static_cast<unsigned>(n), ms, attempt);
        }
        return true;
    }
}

}  // namespace vek
