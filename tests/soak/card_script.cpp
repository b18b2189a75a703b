#include "tests/soak/card_script.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <thread>

namespace {

// How long fresh inputs may take to reach the host after a fault ends: a restart, a scan and a
// few cycles, or the driver's reconnect (a second apart), with room for a slow shared machine and
// the sanitizers.
constexpr auto kRecoveryBound = std::chrono::seconds(20);

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

void soak_log(const SoakShared& shared, const char* format, ...) {
    if (!shared.verbose) return;
    char line[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const double at = std::chrono::duration<double>(SoakClock::now() - shared.started).count();
    std::fprintf(stderr, "%9.3f %s\n", at, line);
}

const char* fault_name(int kind) {
    static const char* const names[kFaultKinds] = {"garbage", "bad-sum",   "bad-end", "stray-start",
                                                   "split",   "delay",     "silent",  "unplug"};
    return names[kind];
}

CardScript::CardScript(VirtualCard& card, SoakShared& shared, uint64_t seed) : card_(card), shared_(shared), rng_(seed) {
    for (int kind = 0; kind < kFaultKinds; ++kind) first_round_.push_back(kind);
    std::shuffle(first_round_.begin(), first_round_.end(), rng_);
}

// Each kind once, in the seed's order, then any at random.
int CardScript::next_kind() {
    if (first_round_.empty()) return pick(0, kFaultKinds - 1);
    const int kind = first_round_.back();
    first_round_.pop_back();
    return kind;
}

uint32_t CardScript::new_state(bool corrupt_only) {
    while (!usable_sequence(next_sequence_)) ++next_sequence_;
    const uint32_t sequence = next_sequence_++;
    // Published before the card has it: the host may read it as soon as one answer is out.
    if (!corrupt_only) shared_.newest_clean.store(sequence);
    ++(corrupt_only ? counts_.corrupt_only_states : counts_.states_sent);
    const CardState s = encode_state(sequence, corrupt_only);
    card_.set_all_inputs(s.inputs_1_to_8, s.inputs_9_to_16, s.analog_1, s.analog_2);
    return sequence;
}

void CardScript::change_states_for(std::chrono::milliseconds span, bool corrupt_only) {
    const auto until = SoakClock::now() + span;
    while (SoakClock::now() < until && !shared_.stopping.load()) {
        new_state(corrupt_only);
        pause_ms(pick(2, 30));
    }
}

bool CardScript::host_catches_up(uint32_t sequence) {
    const auto until = SoakClock::now() + kRecoveryBound;
    while (shared_.host_newest.load() < sequence) {
        if (shared_.stopping.load() || SoakClock::now() > until) return false;
        pause_ms(2);
    }
    return true;
}

void CardScript::episode() {
    // The first round keeps each fault short, so that a short run gets through every kind.
    const bool first_round = !first_round_.empty();
    std::vector<int> kinds{next_kind()};
    // Line faults also come in pairs: garbage before split answers, late split answers...
    if (kinds[0] != kUnplug && pick(0, 2) == 0) {
        const int second = std::vector<int>{kGarbage, kSplit, kDelay, kStrayStart}[static_cast<std::size_t>(pick(0, 3))];
        if (second != kinds[0]) kinds.push_back(second);
    }
    CardFault fault;
    for (const int kind : kinds) {
        ++counts_.injected[kind];
        switch (kind) {
            case kGarbage: fault.garbage = static_cast<uint32_t>(pick(1, 40)); break;
            case kBadSum: fault.bad_sum = true; break;
            case kBadEnd: fault.bad_end = true; break;
            case kStrayStart: fault.stray_start = true; break;
            case kSplit: fault.split_ms = static_cast<uint32_t>(pick(1, 4)); break;
            case kDelay: fault.delay_ms = static_cast<uint32_t>(pick(20, 400)); break;
            case kSilent: fault.silent = true; break;
            default: break;
        }
    }
    const auto span = std::chrono::milliseconds(pick(100, first_round ? 500 : 1500));
    std::string names;
    for (const int kind : kinds) names += std::string(" ") + fault_name(kind);
    soak_log(shared_, "card: fault%s (garbage %u, split %u ms, delay %u ms)", names.c_str(), fault.garbage,
             fault.split_ms, fault.delay_ms);

    const bool unplug = kinds[0] == kUnplug;
    uint64_t starts_before = 0;
    if (unplug) {
        {
            std::lock_guard<std::mutex> no_restart_under_way(shared_.sessions);
            shared_.hold_restarts.store(true);
        }
        starts_before = shared_.start_calls.load();
        std::lock_guard<std::mutex> unplugged(shared_.plugged);
        card_.unplug();
        change_states_for(std::chrono::milliseconds(pick(100, 800)), false);
        std::string error;
        if (!card_.replug(&error)) counts_.failures.push_back("replug failed: " + error);
        // The host does nothing about it: the driver's poll thread reopens the port by itself.
    } else if (fault.bad_sum || fault.bad_end) {
        // The fault is on before the first state that only corrupt frames carry, and that state is
        // gone before the fault is off: the card never sends it in a well-formed frame.
        card_.set_fault(fault);
        change_states_for(span, true);
        new_state(false);
        card_.set_fault({});
    } else {
        card_.set_fault(fault);
        change_states_for(span, false);
        // Garbage, a stray start byte, split or late answers leave every answer well formed: the
        // host must get them while the fault is still on, not only once it is over.
        if (!fault.silent) {
            const uint32_t during = new_state(false);
            if (!host_catches_up(during) && !shared_.stopping.load())
                counts_.failures.push_back("inputs did not reach the host while the card sent" + names);
        }
        card_.set_fault({});
    }

    const uint32_t fresh = new_state(false);
    soak_log(shared_, "card: fault over, state %u", fresh);
    if (host_catches_up(fresh)) {
        soak_log(shared_, "card: the host has state %u", fresh);
        if (unplug && shared_.start_calls.load() != starts_before) {
            counts_.failures.push_back("the host started the driver again during an unplug");
        } else {
            for (const int kind : kinds) ++counts_.survived[kind];
        }
    } else if (!shared_.stopping.load()) {
        counts_.failures.push_back("fresh inputs did not reach the host after" + names);
    }
    shared_.hold_restarts.store(false);
}

void CardScript::run(SoakClock::time_point until) {
    while (SoakClock::now() < until && !shared_.stopping.load()) {
        change_states_for(std::chrono::milliseconds(pick(100, 600)), false);
        episode();
    }
    shared_.script_done.store(true);
}
