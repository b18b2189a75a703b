#include "poll/run_control.h"

#include <algorithm>

#include "link/card_discovery.h"
#include "link/card_frames.h"
#include "link/clock.h"
#include "poll/poll_thread.h"
#include "poll/process_image.h"

namespace vek {

namespace {

// stop looks for the poll thread's acknowledgement this often, and gives up on it after the bound.
constexpr uint64_t kStopCheckUs = 50000;
constexpr uint64_t kStopBoundUs = 5000000;

// reset_outputs waits for this many answered cycles after its all-off frame, checking this often,
// for at most the bound.
constexpr uint32_t kResetCycles = 2;
constexpr uint64_t kResetCheckUs = 10000;
constexpr uint64_t kResetBoundUs = 2000000;

// Ends the instance's poll thread, if it has one. False when the thread did not acknowledge in
// time and had to be abandoned; the port is then left as it is.
bool end_poll_thread(DriverInstance& instance) {
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
            abandon_poll_thread(thread);
            return false;
        }
    }
    release_poll_thread(thread);
    return true;
}

}  // namespace

StartResult start(DriverContext& driver, DriverInstance& instance) {
    // A second thread would poll on, out of stop's reach: the running one ends first.
    if (instance.poll_thread != nullptr) stop(driver, instance);

    // Each probe of a silent port waits for its answer: on the tick, 100 probes would take 1.6 s.
    const FineTiming timing = begin_fine_timing();
    const ProbeResult found = find_card(driver.link, load_outputs(driver.image)).result;
    end_fine_timing(timing);
    if (found != ProbeResult::answered) {
        instance.running = 0;
        return StartResult::no_card;
    }
    reset_process_image(driver.image);
    // Cleared here, before the thread exists, so that a stop right after start is never lost.
    instance.stop_request.store(0);
    instance.cycle_count.store(0);
    PollThread* thread = launch_poll_thread(driver, instance);
    if (thread == nullptr) return StartResult::no_thread;
    instance.poll_thread = thread;
    instance.running = 1;
    return StartResult::polling;
}

void stop(DriverContext& driver, DriverInstance& instance) {
    if (end_poll_thread(instance)) driver.link.port().close_port();
}

void reset_outputs(DriverContext& driver, DriverInstance& instance) {
    switch_outputs_off(driver.image);
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

}  // namespace vek
