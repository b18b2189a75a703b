// The card's side of the soak: a virtual card whose inputs change all the time and which, on a
// seeded schedule, injects one fault after another (garbage, corrupt checksums and end bytes,
// split and late answers, a stray start byte, silence, unplug and replug), each followed by a check
// that fresh inputs reach the host again; after an unplug, with no start of the host's in between.
// Every kind comes once, in an order the seed shuffles, before any comes at random: a short run
// with any seed tries them all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/soak/soak_states.h"
#include "tools/virtual_card/virtual_card.h"

using SoakClock = std::chrono::steady_clock;

// What the card's script and the host's thread share.
struct SoakShared {
    std::atomic<bool> stopping{false};        // the run is over: every wait ends
    std::atomic<bool> script_done{false};     // the card's last fault is over and its recovery checked
    std::atomic<uint32_t> newest_clean{0};    // newest sequence set while the card's answers are well formed
    std::atomic<uint32_t> host_newest{0};     // newest sequence the host has read
    std::mutex plugged;                       // held by the script while the card is unplugged
    // A pulled card must come back through the driver alone: from its unplug until fresh inputs
    // are back the host starts no restart of its own. The host holds `sessions` from deciding
    // on a restart until it polls again; the script takes it to raise `hold_restarts`, so that
    // no restart is under way when it pulls the card.
    std::mutex sessions;
    std::atomic<bool> hold_restarts{false};
    std::atomic<uint64_t> start_calls{0};     // DRV_START calls the host has made
    std::atomic<uint64_t> frames_valid{0};    // output frames the card received, well formed and not
    std::atomic<uint64_t> frames_malformed{0};
    std::atomic<uint64_t> frames_torn{0};     // well formed, but no output state the host wrote
    bool verbose = false;                     // tell each fault and restart on standard error
    SoakClock::time_point started = SoakClock::now();
};

// One line on standard error, with the time since the start, when the run is verbose.
void soak_log(const SoakShared& shared, const char* format, ...) __attribute__((format(printf, 2, 3)));

enum FaultKind { kGarbage, kBadSum, kBadEnd, kStrayStart, kSplit, kDelay, kSilent, kUnplug, kFaultKinds };
const char* fault_name(int kind);

struct FaultCounts {
    uint64_t injected[kFaultKinds] = {};
    uint64_t survived[kFaultKinds] = {};
    uint64_t states_sent = 0;          // states set while the answers were well formed
    uint64_t corrupt_only_states = 0;  // states set only while every answer was corrupt
    std::vector<std::string> failures;
};

class CardScript {
public:
    CardScript(VirtualCard& card, SoakShared& shared, uint64_t seed);

    // The card's first state, before the host starts.
    void first_state() { new_state(false); }
    // Changes the inputs and injects faults until `until`, or until the run is stopping, then
    // sets script_done. The card is plugged in when it returns.
    void run(SoakClock::time_point until);
    const FaultCounts& counts() const { return counts_; }

private:
    uint32_t new_state(bool corrupt_only);
    void change_states_for(std::chrono::milliseconds span, bool corrupt_only);
    int next_kind();
    void episode();
    bool host_catches_up(uint32_t sequence);
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

    VirtualCard& card_;
    SoakShared& shared_;
    std::mt19937_64 rng_;
    uint32_t next_sequence_ = 1;
    std::vector<int> first_round_;  // the kinds not yet injected, the next one last
    FaultCounts counts_;
};
