#include "poll/run_control.h"

#include <algorithm>
#include <cstdio>

#include "link/card_discovery.h"
#include "link/card_frames.h"
#include "poll/poll_thread.h"
#include "poll/process_image.h"
#include "support/clock.h"

namespace vek {

namespace {

// stop looks for the poll thread's acknowledgement this often, and gives up on it after the bound.
constexpr uint64_t kStopCheckUs = 50000;
constexpr uint64_t kStopBoundUs = 5000000;
constexpr unsigned long long kStopBoundS = kStopBoundUs / 1000000U;  // as the texts give it

// reset_outputs waits for this many answered cycles after its all-off frame, checking this often,
// for at most the bound.
constexpr uint32_t kResetCycles = 2;
constexpr uint64_t kResetCheckUs = 10000;
constexpr uint64_t kResetBoundUs = 2000000;

// start waits this long, checking this often, for an abandoned poll thread to let go of the line:
// as long as stop waits for a thread, so a system call that ends soon after stop gave up on it
// (a USB driver busy for a few seconds) costs one slow start rather than a failed one.
constexpr uint64_t kLineReleaseCheckUs = 50000;
constexpr uint64_t kLineReleaseBoundUs = 5000000;

// Ends the card's poll thread, if it has one. False when the thread did not acknowledge in time
// and had to be abandoned: it closes the port and the trace itself once it is done, so the stop's
// line (`number`, `delay`) goes to the trace before the thread is let go.
bool end_poll_thread(Card& card, unsigned number, unsigned delay) {
    PollThread* thread = card.poll_thread;
    if (thread == nullptr) return true;
    card.poll_thread = nullptr;

    const uint64_t asked_at = monotonic_us();
    card.stop_request.store(1);
    signal_stop(*thread);
    for (;;) {
        sleep_us(kStopCheckUs);
        if (card.stop_request.load() == 0 || poll_loop_finished(*thread)) break;
        if (monotonic_us() - asked_at > kStopBoundUs) {
            card.trace.line("stop: driver %u, delay %u ms, its poll thread abandoned after %llu s", number, delay,
                            kStopBoundS);
            // Counted before the thread can see itself abandoned, which is when it uncounts itself.
            card.abandoned_polls.fetch_add(1);
            if (abandon_poll_thread(thread)) return false;
            card.abandoned_polls.fetch_sub(1);  // it finished just now after all, and is released
            return true;
        }
    }
    release_poll_thread(thread);
    return true;
}

// True once no abandoned poll thread holds the card's line, waiting a bounded time for the last one.
bool line_released(const Card& card) {
    const uint64_t asked_at = monotonic_us();
    while (card.abandoned_polls.load() != 0) {
        if (monotonic_us() - asked_at > kLineReleaseBoundUs) return false;
        sleep_us(kLineReleaseCheckUs);
    }
    return true;
}

bool card_busy(const Card& card) { return card.poll_thread != nullptr || card.abandoned_polls.load() != 0; }

// While a thread stop gave up on is finishing, the card's trace is that thread's to close.
bool trace_is_hosts(const Card& card) { return card.abandoned_polls.load() == 0; }

// "driver 1 COM3": what names the card in a trace file that two cards share.
void label_trace(Card& card, const DriverInstance& instance, uint32_t port) {
    char label[32];
    if (port != 0) {
        std::snprintf(label, sizeof label, "driver %u COM%u", static_cast<unsigned>(instance.number),
                      static_cast<unsigned>(port));
    } else {
        std::snprintf(label, sizeof label, "driver %u", static_cast<unsigned>(instance.number));
    }
    card.trace.set_label(label);
}

// A file another card's trace already writes: the two share its writer.
Trace* trace_on_file(DriverContext& driver, const Card& own, const char* path) {
    for (uint32_t i = 0; i < kCardCapacity; ++i) {
        Card* card = driver.card_if_made(i);
        if (card == nullptr || card == &own || !trace_is_hosts(*card)) continue;
        if (card->trace.writes_to(path)) return &card->trace;
    }
    return nullptr;
}

// Opens the trace a start's settings name on the card it begins to poll, or joins the trace of
// another card that writes the same file; a start that joins a polled card keeps the card's
// trace as it is: open() must not run while a poll thread may write to it. The settings' note
// goes first, then the start line.
void begin_trace(DriverContext& driver, Card& card, const DriverInstance& instance, const StartOptions& options) {
    if (!trace_is_hosts(card)) return;
    Trace& trace = card.trace;
    if (!trace.on() && !card_busy(card)) {
        label_trace(card, instance, options.port);
        Trace* other = trace_on_file(driver, card, options.trace_path);
        if (other != nullptr) {
            trace.share(*other, options.trace_frames);
        } else {
            trace.open(options.trace_path, options.trace_frames);
        }
    }
    if (!trace.on()) return;
    if (options.settings_note != nullptr && options.settings_note[0] != '\0') {
        trace.line("settings: %s", options.settings_note);
    }
    if (options.port_unusable) return;  // the start's refusal follows
    if (options.port != 0) {
        trace.line("start: driver %u, delay %u ms, COM%u named", static_cast<unsigned>(instance.number),
                   static_cast<unsigned>(instance.delay_ms.load()), static_cast<unsigned>(options.port));
    } else {
        trace.line("start: driver %u, delay %u ms, scanning COM%u to COM%u", static_cast<unsigned>(instance.number),
                   static_cast<unsigned>(instance.delay_ms.load()), static_cast<unsigned>(kFirstPort),
                   static_cast<unsigned>(kLastPort));
    }
}

// The trace is closed once no thread can write to it any more: no instance polls the card, and no
// abandoned thread of it is still finishing.
void end_trace_if_idle(Card& card) {
    if (!card_busy(card) && card.trace.on()) card.trace.close();
}

// Delays past this are kept (the host may mean them) but told at each start: a typo such as
// delay=-50, which the platform reads as 4294967246 ms, would otherwise stop the I/O unseen.
constexpr uint32_t kLongDelayMs = 60000;

void tell_long_delay(DriverContext& driver, Card& card, const DriverInstance& instance) {
    const uint32_t delay_ms = instance.delay_ms.load();
    if (delay_ms <= kLongDelayMs) return;
    const unsigned number = static_cast<unsigned>(instance.number);
    const unsigned long long ms = delay_ms;
    report_line(driver.notices, "driver %u: poll delay %llu ms is over a minute; kept as set (delay=-50 reads as 4294967246)",
                number, ms);
    if (trace_is_hosts(card)) card.trace.line("driver %u: poll delay %llu ms is over a minute; kept as set", number, ms);
}

// A port key that names no port fails the start, which says why, rather than scan: the key was
// set to keep the devices on the other ports from being sent probe frames.
StartResult refuse_unusable_port(DriverContext& driver, Card& card, DriverInstance& instance,
                                 const StartOptions& options) {
    const char* why = options.settings_note != nullptr ? options.settings_note : "the port setting is unusable";
    report_line(driver.notices, "start refused: %s", why);
    if (trace_is_hosts(card)) card.trace.line("start failed: driver %u, the port setting is unusable; no port tried",
                    static_cast<unsigned>(instance.number));
    end_trace_if_idle(card);
    instance.running = 0;
    return StartResult::port_unusable;
}

// The card a start joins rather than polls anew: the one on the port it names, or for a start
// without a port the one another start without a port found. Null when there is none.
Card* card_to_join(DriverContext& driver, const StartOptions& options, uint32_t& index) {
    for (index = 0; index < kCardCapacity; ++index) {
        Card* card = driver.card_if_made(index);
        if (card == nullptr || card->users == 0) continue;
        if (options.port != 0 ? card->port == options.port : card->scanned) return card;
    }
    return nullptr;
}

// The card a start polls anew: one no instance uses, preferring one whose abandoned thread still
// holds the named port (it is the one to wait for), else the lowest. kCardCapacity when none.
uint32_t free_card(DriverContext& driver, uint32_t named_port) {
    uint32_t chosen = kCardCapacity;
    for (uint32_t i = 0; i < kCardCapacity; ++i) {
        const Card* card = driver.card_if_made(i);
        if (card != nullptr && (card->users != 0 || card->poll_thread != nullptr)) continue;
        if (card != nullptr && named_port != 0 && card->port == named_port) return i;
        if (chosen == kCardCapacity) chosen = i;
    }
    return chosen;
}

// The ports the other cards hold: polled, or still held by a thread that stop gave up on.
PortSet held_ports(DriverContext& driver, const Card& own) {
    PortSet held;
    for (uint32_t i = 0; i < kCardCapacity; ++i) {
        const Card* card = driver.card_if_made(i);
        if (card == nullptr || card == &own || card->port > kHighestNamedPort) continue;
        if (card_busy(*card)) held[card->port] = true;
    }
    held[0] = false;
    return held;
}

StartResult join_card(DriverInstance& instance, Card& card, uint32_t index) {
    card.users += 1;
    instance.card = index;
    instance.polling_card = index;
    instance.running = 1;
    card.trace.line("start: driver %u joins COM%u, polled at its first instance's delay",
                      static_cast<unsigned>(instance.number), static_cast<unsigned>(card.port));
    return StartResult::polling;
}

StartResult fail_start(Card& card, DriverInstance& instance, StartResult why) {
    end_trace_if_idle(card);
    instance.running = 0;
    return why;
}

// Finds the card on the card's own line, skipping other cards' ports, and starts its poll thread.
StartResult poll_new_card(DriverContext& driver, DriverInstance& instance, Card& card, uint32_t index,
                          const StartOptions& options) {
    // Each probe of a silent port waits for its answer: on the tick, 100 probes would take 1.6 s.
    const FineTiming timing = begin_fine_timing();
    const ProbeResult found =
        find_card(card.link, load_outputs(card.image), options.port, held_ports(driver, card)).result;
    end_fine_timing(timing);
    if (found != ProbeResult::answered) {
        // The scan leaves the last port that opened open: a start that failed holds no port.
        card.link.port().close_port();
        card.trace.line("start failed: no card answered: %s", kNoCardText);
        driver.notices.no_card();
        return fail_start(card, instance, StartResult::no_card);
    }
    reset_process_image(card.image);
    card.port = card.link.port().open_port_number();
    label_trace(card, instance, card.port);
    card.scanned = options.port == 0;
    card.delay_source.store(&instance.delay_ms);
    // Cleared here, before the thread exists, so that a stop right after start is never lost.
    card.stop_request.store(0);
    card.cycle_count.store(0);
    card.all_off_owed.store(true);
    PollThread* thread = launch_poll_thread(driver, card);
    if (thread == nullptr) {
        card.all_off_owed.store(false);
        card.trace.line("start failed: no poll thread");
        end_trace_if_idle(card);
        return StartResult::no_thread;
    }
    card.poll_thread = thread;
    card.users = 1;
    instance.card = index;
    instance.polling_card = index;
    instance.running = 1;
    return StartResult::polling;
}

// A stop of an instance that polls no card: the ports that no instance uses and no abandoned
// thread holds are closed (a port left open by hand or by a scan), the others left alone.
void close_idle_ports(DriverContext& driver) {
    for (uint32_t i = 0; i < kCardCapacity; ++i) {
        Card* card = driver.card_if_made(i);
        if (card != nullptr && card->users == 0 && !card_busy(*card)) card->link.port().close_port();
    }
}

}  // namespace

StartResult start(DriverContext& driver, DriverInstance& instance, const StartOptions& options) {
    // A second thread would poll on, out of stop's reach: the instance leaves its card first.
    if (instance.polling_card != kNoCard) stop(driver, instance);
    uint32_t index = 0;
    Card* joined = options.port_unusable ? nullptr : card_to_join(driver, options, index);
    if (joined == nullptr) index = free_card(driver, options.port);
    Card* card = joined != nullptr ? joined : index < kCardCapacity ? driver.make_card(index) : nullptr;
    if (card == nullptr) {  // only when no memory is left for another card
        report_line(driver.notices, "start refused: no memory for another card");
        instance.running = 0;
        return StartResult::no_thread;
    }
    // A thread stop gave up on may still be inside a system call on the port, with its lock held:
    // a scan would wait on that lock for as long, so start refuses, and says why. Waited for
    // before the trace, which that thread closes as it lets go.
    const bool polls_anew = joined == nullptr && !options.port_unusable;
    if (polls_anew && !line_released(*card)) {
        report_line(driver.notices,
                    "start refused: a poll thread that did not stop within %llu s still holds the serial line",
                    kStopBoundS);
        instance.running = 0;
        return StartResult::line_held;
    }
    begin_trace(driver, *card, instance, options);
    tell_long_delay(driver, *card, instance);
    if (options.port_unusable) return refuse_unusable_port(driver, *card, instance, options);
    if (joined != nullptr) return join_card(instance, *card, index);
    return poll_new_card(driver, instance, *card, index, options);
}

void stop(DriverContext& driver, DriverInstance& instance) {
    Card* card = instance.polling_card != kNoCard ? driver.card_if_made(instance.polling_card) : nullptr;
    instance.polling_card = kNoCard;
    if (card == nullptr) {
        close_idle_ports(driver);
        return;
    }
    const unsigned number = static_cast<unsigned>(instance.number);
    const unsigned delay = static_cast<unsigned>(instance.delay_ms.load());
    card->users -= 1;
    if (card->users != 0) {
        // The card polls on for the others, at the delay it had: the thread no longer reads this
        // instance's, which another start may change.
        if (card->delay_source.load() == &instance.delay_ms) {
            card->own_delay.store(instance.delay_ms.load());
            card->delay_source.store(&card->own_delay);
        }
        card->trace.line("stop: driver %u, delay %u ms, COM%u polled on for %u more", number, delay,
                          static_cast<unsigned>(card->port), static_cast<unsigned>(card->users));
        return;
    }
    // While an abandoned thread holds the line, closing the port would wait on its lock; the
    // thread closes the port itself when it is done.
    const bool ended = end_poll_thread(*card, number, delay);
    if (ended && card->abandoned_polls.load() == 0) {
        card->link.port().close_port();
        card->port = 0;
    }
    card->delay_source.store(&card->own_delay);
    if (ended && trace_is_hosts(*card)) card->trace.line("stop: driver %u, delay %u ms", number, delay);
    end_trace_if_idle(*card);
}

void reset_outputs(DriverContext& driver, DriverInstance& instance) {
    // An instance that polls no card has none to reset.
    Card* found = instance.polling_card != kNoCard ? driver.card_if_made(instance.polling_card) : nullptr;
    if (found == nullptr) return;
    Card& card = *found;
    switch_outputs_off(card.image);
    // A send would wait on the abandoned thread's lock; that thread was asked to stop, and sends
    // the all-off frame itself once its system call returns.
    if (card.abandoned_polls.load() != 0) return;
    card.link.send_output_frame(load_outputs(card.image));
    // The card's time to answer, as in a cycle; a delay of hours must not hold the host's thread.
    sleep_us(std::min<uint64_t>(card.delay_source.load()->load(), kResetBoundUs / 1000U) * 1000U);

    card.cycle_count.store(0);
    const uint64_t counted_from = monotonic_us();
    while (card.cycle_count.load() < kResetCycles) {
        if (monotonic_us() - counted_from >= kResetBoundUs) break;
        sleep_us(kResetCheckUs);
    }
}

void send_all_off_at_unload(DriverContext& driver) {
    const OutputFrame all_off = build_output_frame(0, 0, 0, 0);
    for (uint32_t i = 0; i < kCardCapacity; ++i) {
        Card* card = driver.card_if_made(i);
        if (card == nullptr || !card->all_off_owed.load()) continue;
        switch_outputs_off(card->image);
        if (card->link.port().write_bytes_unguarded(all_off.data(), all_off.size()) == PortResult::ok) {
            card->all_off_owed.store(false);
        }
    }
}

}  // namespace vek
