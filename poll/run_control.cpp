#include "poll/run_control.h"

#include <algorithm>

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

// Ends the instance's poll thread, if it has one. False when the thread did not acknowledge in
// time and had to be abandoned: it closes the port itself once it is done.
bool end_poll_thread(DriverContext& driver, DriverInstance& instance) {
    PollThread* thread = instance.poll_thread;
    if (thread == nullptr) return true;
    instance.poll_thread = nullptr;

    const uint64_t asked_at = monotonic_us();
    instance.stop_request.store(1);
    signal_stop(*thread);
    for (;;) {
        sleep_us(kStopCheckUs);
        if (instance.stop_request.load() == 0 || poll_loop_finished(*thread)) break;
        if (monotonic_us() - asked_at > kStopBoundUs) {
            // Counted before the thread can see itself abandoned, which is when it uncounts itself.
            driver.abandoned_polls.fetch_add(1);
            if (abandon_poll_thread(thread)) return false;
            driver.abandoned_polls.fetch_sub(1);  // it finished just now after all, and is released
            return true;
        }
    }
    release_poll_thread(thread);
    return true;
}

// True once no abandoned poll thread holds the line, waiting a bounded time for the last one.
bool line_released(const DriverContext& driver) {
    const uint64_t asked_at = monotonic_us();
    while (driver.abandoned_polls.load() != 0) {
        if (monotonic_us() - asked_at > kLineReleaseBoundUs) return false;
        sleep_us(kLineReleaseCheckUs);
    }
    return true;
}

bool any_instance_polling(const DriverContext& driver) {
    if (driver.abandoned_polls.load() != 0) return true;
    for (const DriverInstance& instance : driver.instances.records) {
        if (instance.poll_thread != nullptr) return true;
    }
    return false;
}

// Opens the trace a start's settings name, unless it is already open for an instance that polls:
// open() must not run while a poll thread may write to the trace. The settings' note goes first,
// then the start line.
void begin_trace(DriverContext& driver, const DriverInstance& instance, const StartOptions& options) {
    Trace& trace = driver.trace;
    if (!trace.on() && !any_instance_polling(driver)) trace.open(options.trace_path, options.trace_frames);
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

// The trace is closed once no thread can write to it any more: no instance polls, and no
// abandoned thread is still finishing.
void end_trace_if_idle(DriverContext& driver) {
    if (driver.trace.on() && !any_instance_polling(driver)) driver.trace.close();
}

// Delays past this are kept (the host may mean them) but told at each start: a typo such as
// delay=-50, which the platform reads as 4294967246 ms, would otherwise stop the I/O unseen.
constexpr uint32_t kLongDelayMs = 60000;

void tell_long_delay(DriverContext& driver, const DriverInstance& instance) {
    const uint32_t delay_ms = instance.delay_ms.load();
    if (delay_ms <= kLongDelayMs) return;
    const unsigned number = static_cast<unsigned>(instance.number);
    const unsigned long long ms = delay_ms;
    report_line(driver.notices, "driver %u: poll delay %llu ms is over a minute; kept as set (delay=-50 reads as 4294967246)",
                number, ms);
    driver.trace.line("driver %u: poll delay %llu ms is over a minute; kept as set", number, ms);
}

// A port key that names no port fails the start, which says why, rather than scan: the key was
// set to keep the devices on the other ports from being sent probe frames.
StartResult refuse_unusable_port(DriverContext& driver, DriverInstance& instance, const StartOptions& options) {
    const char* why = options.settings_note != nullptr ? options.settings_note : "the port setting is unusable";
    report_line(driver.notices, "start refused: %s", why);
    driver.trace.line("start failed: driver %u, the port setting is unusable; no port tried",
                      static_cast<unsigned>(instance.number));
    end_trace_if_idle(driver);
    instance.running = 0;
    return StartResult::port_unusable;
}

}  // namespace

StartResult start(DriverContext& driver, DriverInstance& instance, const StartOptions& options) {
    // A second thread would poll on, out of stop's reach: the running one ends first.
    if (instance.poll_thread != nullptr) stop(driver, instance);
    begin_trace(driver, instance, options);
    tell_long_delay(driver, instance);
    if (options.port_unusable) return refuse_unusable_port(driver, instance, options);
    // A thread stop gave up on may still be inside a system call on the port, with its lock held:
    // a scan would wait on that lock for as long, so start refuses, and says why.
    if (!line_released(driver)) {
        report_line(driver.notices,
                    "start refused: a poll thread that did not stop within %llu s still holds the serial line",
                    kStopBoundS);
        driver.trace.line("start failed: an abandoned poll thread still holds the line");
        end_trace_if_idle(driver);
        instance.running = 0;
        return StartResult::line_held;
    }

    // Each probe of a silent port waits for its answer: on the tick, 100 probes would take 1.6 s.
    const FineTiming timing = begin_fine_timing();
    const ProbeResult found = find_card(driver.link, load_outputs(driver.image), options.port).result;
    end_fine_timing(timing);
    if (found != ProbeResult::answered) {
        // The scan leaves the last port that opened open; on Windows its watch thread would run
        // on, with no poll thread holding the module, into an unload.
        driver.link.port().close_port();
        driver.trace.line("start failed: no card answered");
        end_trace_if_idle(driver);
        driver.notices.no_card();
        instance.running = 0;
        return StartResult::no_card;
    }
    reset_process_image(driver.image);
    // Cleared here, before the thread exists, so that a stop right after start is never lost.
    instance.stop_request.store(0);
    instance.cycle_count.store(0);
    PollThread* thread = launch_poll_thread(driver, instance);
    if (thread == nullptr) {
        driver.trace.line("start failed: no poll thread");
        end_trace_if_idle(driver);
        return StartResult::no_thread;
    }
    instance.poll_thread = thread;
    instance.running = 1;
    return StartResult::polling;
}

void stop(DriverContext& driver, DriverInstance& instance) {
    const bool was_polling = instance.poll_thread != nullptr;
    // While an abandoned thread holds the line, closing the port would wait on its lock; the
    // thread closes the port itself when it is done.
    const bool ended = end_poll_thread(driver, instance);
    if (ended && driver.abandoned_polls.load() == 0) driver.link.port().close_port();
    if (was_polling && ended) {
        driver.trace.line("stop: driver %u, delay %u ms", static_cast<unsigned>(instance.number),
                          static_cast<unsigned>(instance.delay_ms.load()));
    } else if (was_polling) {
        driver.trace.line("stop: driver %u, delay %u ms, its poll thread abandoned after %llu s",
                          static_cast<unsigned>(instance.number), static_cast<unsigned>(instance.delay_ms.load()),
                          kStopBoundS);
    }
    end_trace_if_idle(driver);
}

void reset_outputs(DriverContext& driver, DriverInstance& instance) {
    switch_outputs_off(driver.image);
    // A send would wait on the abandoned thread's lock; that thread was asked to stop, and sends
    // the all-off frame itself once its system call returns.
    if (driver.abandoned_polls.load() != 0) return;
    driver.link.send_output_frame(load_outputs(driver.image));
    // The card's time to answer, as in a cycle; a delay of hours must not hold the host's thread.
    sleep_us(std::min<uint64_t>(instance.delay_ms.load(), kResetBoundUs / 1000U) * 1000U);

    instance.cycle_count.store(0);
    const uint64_t counted_from = monotonic_us();
    while (instance.cycle_count.load() < kResetCycles) {
        if (monotonic_us() - counted_from >= kResetBoundUs) break;
        sleep_us(kResetCheckUs);
    }
}

void send_all_off_at_unload(DriverContext& driver) {
    if (!any_instance_polling(driver)) return;
    switch_outputs_off(driver.image);
    const OutputFrame all_off = build_output_frame(0, 0, 0, 0);
    driver.link.port().write_bytes_unguarded(all_off.data(), all_off.size());
}

}  // namespace vek
