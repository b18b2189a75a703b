// Everything the driver's polling keeps from load to unload, in one object: the instance table,
// the cards (each its line, its image and its poll thread), the host's last record, the trace,
// and how to tell the user things. The module has one, inside the host layer's context reached
// only by DriverEntry; every layer below is handed it by reference, and a test makes its own.
//
// Cards: each port an instance names is a card of its own, with its own link (port, read-ahead,
// sender), image, poll thread, reconnect and all-off at stop. A second instance naming the same
// port joins that card; an instance without a port joins the card that another instance without
// one already polls, or else scans, skipping the ports other cards hold. A card has one poll
// thread however many instances share it, at the delay of the instance that started it, and
// sends its all-off frame when its last instance stops. The first card lives inside the context,
// as the one card always did; the others are made the first time a host needs them, so a host
// with one card allocates nothing more than before. At most one card per instance.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "abi/host_interface.h"
#include "link/card_link.h"
#include "poll/instance_table.h"
#include "poll/process_image.h"
#include "support/notices.h"
#include "support/trace.h"

namespace vek {

struct PollThread;  // the platform's thread record (poll_thread.h)

constexpr uint32_t kCardCapacity = kInstanceCapacity;

// One card: its trace, its line, its image and its poll thread. The instances on it are counted
// in `users`, which only the host's thread changes.
struct Card {
    Card(std::unique_ptr<SerialBackend> backend, const Notices& told) : trace(told), link(std::move(backend), trace) {}
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // The card's trace for the field, open from the start that began polling it, when its
    // settings name one, until the card's last instance stops. Declared before the link, which
    // points at it, so that it outlives the link.
    Trace trace;
    CardLink link;
    ProcessImage image{};
    PollThread* poll_thread = nullptr;   // null when the card is not polled
    std::atomic<uint32_t> stop_request{0};  // set by stop, cleared by the poll thread when done
    std::atomic<uint32_t> cycle_count{0};   // answered poll cycles since the last reset
    // The delay the poll thread reads each cycle: the starting instance's own (so the dialog's
    // change applies at once), or the card's copy once that instance has left a shared card.
    std::atomic<const std::atomic<uint32_t>*> delay_source{&own_delay};
    std::atomic<uint32_t> own_delay{0};
    uint32_t users = 0;       // instances polling it
    uint32_t port = 0;        // the port it polls (or an abandoned thread still holds); 0: none
    bool scanned = false;     // found by a scan: an instance without a port joins it
    // Poll threads that stop gave up on and that have not finished yet. Such a thread may hold the
    // port's lock for as long as a system call under it takes, so until it is done nothing waits
    // on the card's line: a start on it waits or refuses, stop and reset leave the port alone.
    // The card's trace is then the thread's: it closes it as it lets go, and the host's thread
    // leaves it alone meanwhile.
    std::atomic<uint32_t> abandoned_polls{0};
    // From the start of a poll thread until a final all-off frame has gone out: while set, the
    // process's exit sends one (a stop it interrupted may already have told the thread to end).
    std::atomic<bool> all_off_owed{false};
};

struct DriverContext {
    using BackendMaker = std::unique_ptr<SerialBackend> (*)();

    // `backend` serves the first card; `make_backend` makes one for each further card.
    DriverContext(std::unique_ptr<SerialBackend> backend, const Notices& told,
                  BackendMaker make_backend = make_platform_backend)
        : notices(told), first_card(std::move(backend), told), make_backend_(make_backend) {
        reset_instance_table(instances);
    }
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;

    // Card i when it has been made, else null.
    Card* card_if_made(uint32_t i) {
        if (i == 0) return &first_card;
        return i < kCardCapacity ? more_cards_[i - 1].get() : nullptr;
    }
    // Card i, made now if need be; null when there is no memory for it.
    Card* make_card(uint32_t i) {
        Card* card = card_if_made(i);
        if (card != nullptr || i == 0 || i >= kCardCapacity) return card;
        std::unique_ptr<SerialBackend> backend = make_backend_();
        if (backend == nullptr) return nullptr;
        more_cards_[i - 1].reset(new (std::nothrow) Card(std::move(backend), notices));
        return more_cards_[i - 1].get();
    }

    const Notices notices;                          // installed by the host layer
    std::atomic<HostRecord*> host_record{nullptr};  // stored by every call; a poll thread reads it too
    InstanceTable instances{};
    Card first_card;

private:
    BackendMaker make_backend_;
    std::unique_ptr<Card> more_cards_[kCardCapacity - 1];
};

}  // namespace vek
