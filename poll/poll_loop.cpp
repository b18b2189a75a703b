#include "poll/poll_loop.h"

#include <algorithm>

#include "link/card_link.h"
#include "support/clock.h"
#include "poll/port_reconnect.h"
#include "poll/process_image.h"

namespace vek {

namespace {

// How long a cycle waits for an answer, counted from before its send.
constexpr uint64_t kAnswerWindowUs = 200000;

// At most a full input queue of frames is taken behind a cycle's answer.
constexpr int kQueuedAnswersTaken = 4096 / 9;

// The word of the host's table that the poll thread clears as it starts.
constexpr uint32_t kPollStartWord = 42;

bool stop_requested(const Card& card, const StopSignal& stop) {
    return card.stop_request.load() != 0 || stop.raised();
}

// The host reads word 42 as "polling has begun"; its record may be gone by the time we run.
void clear_start_word(const DriverContext& driver) {
    HostRecord* host = driver.host_record.load();
    if (host != nullptr && host->words != nullptr) host->words[kPollStartWord] = 0;
}

// Answers queued behind the one just taken: the card also answers reset's frames and discovery's
// extra probes, and a late answer arrives during the next cycle. Left queued, each would put the
// inputs a cycle further behind for good, so they are all taken now and the newest one stands.
// The bound is a full input queue of frames; a card cannot send faster than this empties it.
void take_queued_answers(Card& card) {
    for (int frames = 0; frames < kQueuedAnswersTaken; ++frames) {
        const ReceivedInputs answer = card.link.receive_input_frame();
        if (answer.result == FrameResult::not_ready) return;
        if (answer.result == FrameResult::ok) store_inputs(card.image, answer.inputs);
    }
}

// Takes a valid answer if one is queued, and publishes it with any queued behind it.
bool take_answer(Card& card) {
    const ReceivedInputs answer = card.link.receive_input_frame();
    if (answer.result != FrameResult::ok) return false;
    store_inputs(card.image, answer.inputs);
    take_queued_answers(card);
    return true;
}

// Waits until `deadline` for the answer to the frame just sent, and publishes it the moment it is
// in: true when it came. The wait on the port ends as soon as a frame's worth of bytes is in, at
// the deadline, or at a stop.
bool await_answer(Card& card, StopSignal& stop, uint64_t deadline) {
    for (;;) {
        const uint64_t now = monotonic_us();
        if (now >= deadline || stop.raised()) return take_answer(card);  // one last look
        const PortResult port_wait = card.link.wait_for_input_frame(deadline - now, stop.port_wake());
        if (port_wait == PortResult::ok && take_answer(card)) return true;
        if (port_wait == PortResult::ok || port_wait == PortResult::nothing_yet) continue;
        // A port that is closed, gone or failing answers nothing before the deadline: one pause on
        // the stop signal for the rest of it, not one a millisecond (which woke the thread
        // hundreds of times a second, for as long as the port stayed lost).
        stop.wait_us(deadline - now);
        return false;
    }
}

// One exchange: true when it took a valid answer. The answer is taken as it arrives, so the host
// reads it a delay sooner; the cycle's period stays what it was: the frame, then the delay, or
// the answer window when no answer comes within it. One that comes later is taken next cycle.
bool run_cycle(Card& card, StopSignal& stop) {
    // Whatever is queued now answers an earlier frame (discovery's extra probes, a reset's, one
    // that came late): taken before the send, so that the answer waited for is this frame's, or
    // every later cycle would publish the answer before.
    take_queued_answers(card);
    const uint64_t started = monotonic_us();
    // The delay counts from when the frame has left the wire, and is read afresh each cycle, so a
    // new delay from the dialog applies from the next one.
    const uint64_t on_wire_until = card.link.start_output_frame(load_outputs(card.image));
    const uint64_t delay_over = on_wire_until + uint64_t{card.delay_source.load()->load()} * 1000U;
    // No answer can be complete before an exchange's wire time: one sleep until then, rather than
    // a wake for its first byte and another for the rest.
    const uint64_t answer_complete = started + kExchangeWireUs;
    const uint64_t sent = monotonic_us();
    if (sent < answer_complete && stop.wait_us(answer_complete - sent)) return false;
    // With a delay past the window the answer is waited for all the delay long, as the one look
    // after it used to take whatever had come.
    const bool answered = await_answer(card, stop, std::max(delay_over, started + kAnswerWindowUs));
    card.link.confirm_output_sent(on_wire_until);
    const uint64_t now = monotonic_us();
    if (answered && now < delay_over) stop.wait_us(delay_over - now);
    return answered;
}

// What the trace has been told of the line, so that each change is told once. Kept only while
// the trace is on.
struct LineWatch {
    bool silent = false;
    uint64_t last_answer_us = 0;
};

// After each cycle, with the trace on: the card falling silent and answering again (with how
// long it was silent). The port found gone is told by its reconnect.
void watch_line(Card& card, bool answered, LineWatch& watch) {
    Trace& trace = card.link.trace();
    const uint64_t now = monotonic_us();
    if (answered) {
        if (watch.silent) {
            const unsigned long long ms = (now - watch.last_answer_us) / 1000U;
            trace.line("card answers again after %llu ms silent", ms);
        }
        watch.silent = false;
        watch.last_answer_us = now;
        return;
    }
    if (!watch.silent) {
        watch.silent = true;
        trace.line("card silent: no answer within %llu ms", static_cast<unsigned long long>(kAnswerWindowUs / 1000U));
    }
}

// Waits until `deadline` for a valid answer, whatever the stop signal says; false when none came
// or the port is gone.
bool await_answer_to_last_frame(Card& card, uint64_t deadline) {
    for (;;) {
        const uint64_t now = monotonic_us();
        if (now >= deadline) return take_answer(card);
        const PortResult port_wait = card.link.wait_for_input_frame(deadline - now);
        if (port_wait == PortResult::ok && take_answer(card)) return true;
        if (port_wait != PortResult::ok && port_wait != PortResult::nothing_yet) return false;
    }
}

// The card is left with every output off. The card's answer to the frame, read within the answer
// window, proves it took it, and gives an adapter that reports its queue empty early time to send
// it before the port is closed. A stop during a reconnect finds the port closed: the frame goes
// nowhere and stays owed, for the process's exit to send.
void send_final_all_off(Card& card) {
    switch_outputs_off(card.image);
    take_queued_answers(card);  // those answer earlier frames
    const uint64_t sent_at = monotonic_us();
    if (!card.link.send_output_frame(load_outputs(card.image))) {
        card.link.trace().line("all-off frame not sent: the port is closed or gone");
        return;
    }
    card.all_off_owed.store(false);
    if (await_answer_to_last_frame(card, sent_at + kAnswerWindowUs)) {
        card.link.trace().line("all-off frame sent, confirmed by the card's answer");
    } else {
        card.link.trace().line("all-off frame sent, not confirmed: no answer within %llu ms",
                               static_cast<unsigned long long>(kAnswerWindowUs / 1000U));
    }
}

}  // namespace

void poll_loop(DriverContext& driver, Card& card, StopSignal& stop) {
    // Where the system's waits end only on its clock tick (up to 15.6 ms), a 50 ms delay would
    // become 62.5 ms: the tick is made fine while this thread polls, and put back when it ends.
    const FineTiming timing = begin_fine_timing();
    clear_start_word(driver);
    // The trace is opened before this thread starts and closed after it ends, so it stays as it
    // is now for the whole loop; with it off, the loop pays one test of a flag a cycle.
    const bool tracing = card.link.trace().on();
    LineWatch watch;
    watch.last_answer_us = monotonic_us();
    bool answered_since_open = true;  // discovery's answer counts
    while (!stop_requested(card, stop)) {
        // A cycle without an answer is not reported: the inputs keep what was last published.
        const bool answered = run_cycle(card, stop);
        if (answered) {
            card.cycle_count.fetch_add(1);
            answered_since_open = true;
        }
        if (tracing && !stop_requested(card, stop)) watch_line(card, answered, watch);
        // The host's outputs written meanwhile are in the image, and go out in the first frame
        // after the port is back; the inputs keep their last values until the card answers.
        // The lost port's number is taken once, with the loss itself: the reconnect goes after
        // that port alone, whatever another start opens meanwhile.
        const uint32_t lost = answered ? 0 : card.link.port().lost_port();
        if (lost != 0 && !stop_requested(card, stop)) {
            reopen_lost_port(card, stop, lost,
                             answered_since_open ? FirstReopen::soon : FirstReopen::after_a_second);
            answered_since_open = false;
        }
    }
    send_final_all_off(card);
    end_fine_timing(timing);
    card.stop_request.store(0);
}

void let_go_of_line(Card& card) {
    card.link.port().close_port();
    // The stop that gave up on this thread left the trace to it; it is closed before the thread
    // stops counting, after which the host's thread may open it anew.
    if (card.trace.on()) {
        card.trace.line("poll thread ended after it was abandoned; the port is closed");
        card.trace.close();
    }
    card.abandoned_polls.fetch_sub(1);
}

}  // namespace vek
