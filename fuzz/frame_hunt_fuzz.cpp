// The hunt for the card's input frame, fed arbitrary byte streams through the real serial layer
// over an in-memory line. The stream arrives in chunks (a length byte, then that many bytes), and
// after each chunk the driver takes frames until it reports that fewer than 9 bytes are queued,
// as the poll thread would. Every call is checked against the bytes it read:
// - only a frame with its start byte, end byte and checksum right is reported with inputs, and
//   they are exactly that frame's;
// - a corrupt frame, or a call that finds no frame, reports no inputs (they stay as made);
// - the hunt skips only bytes that cannot start a frame, and never reads a byte that is not queued.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/memory_line.h"
#include "link/card_link.h"
#include "link/serial_port.h"

namespace {

using namespace vek;

// The hunt tells the user nothing; a trace that is never opened reports nothing either.
void tell_nothing() noexcept {}
void report_nothing(const char*) noexcept {}
constexpr Notices kSilentNotices{tell_nothing, report_nothing};

struct Inputs {
    uint8_t digital[2];
    uint32_t analog_bits[2];  // the floats' bits: a stored value compares exactly
};

bool operator==(const Inputs& a, const Inputs& b) {
    return a.digital[0] == b.digital[0] && a.digital[1] == b.digital[1] && a.analog_bits[0] == b.analog_bits[0] &&
           a.analog_bits[1] == b.analog_bits[1];
}

uint32_t bits_of(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

Inputs inputs_of(const CardInputs& inputs) {
    return {{inputs.digital[0], inputs.digital[1]}, {bits_of(inputs.analog[0]), bits_of(inputs.analog[1])}};
}

// What the frame layer reports when it has no inputs to report.
const Inputs kNoInputs = inputs_of(CardInputs{});

// The frame rule, written out here on its own: start 0x12, end 0x13, all nine bytes sum to 0x01.
bool is_valid_frame(const uint8_t* f) {
    unsigned sum = 0;
    for (int i = 0; i < 9; ++i) sum += f[i];
    return f[0] == 0x12 && f[7] == 0x13 && (sum & 0xFFU) == 0x01U;
}

Inputs inputs_of(const uint8_t* f) {
    return {{f[1], f[2]},
            {bits_of(volts_from_raw(static_cast<uint16_t>(f[3] | f[4] << 8))),
             bits_of(volts_from_raw(static_cast<uint16_t>(f[5] | f[6] << 8))) }};
}

void require(bool holds, const char* what, std::size_t at) {
    if (holds) return;
    std::fprintf(stderr, "frame hunt: %s (stream offset %zu)\n", what, at);
    std::abort();
}

// One call of the hunt, checked against the bytes it consumed.
FrameResult checked_receive(CardLink& link, const MemoryLine& line) {
    const std::vector<uint8_t>& s = line.stream();
    const std::size_t from = line.consumed();
    const ReceivedInputs received = link.receive_input_frame();
    const FrameResult result = received.result;
    const std::size_t to = line.consumed();
    const Inputs after = inputs_of(received.inputs);
    require(line.reads_past_queue() == 0, "read a byte past the queue", to);

    // The bytes taken as the frame, after those skipped: 9, or 8 when the end byte was wrong.
    const std::size_t frame_size = result == FrameResult::bad_end ? 8 : 9;
    switch (result) {
        case FrameResult::not_ready:
            require(s.size() - to < 9, "not ready with a whole frame queued", to);
            require(after == kNoInputs, "inputs without a frame", to);
            break;
        case FrameResult::ok:
            require(to - from >= 9 && is_valid_frame(&s[to - 9]), "accepted bytes that are not a valid frame", to);
            require(after == inputs_of(&s[to - 9]), "the inputs are not the accepted frame's", to);
            break;
        case FrameResult::bad_end:
        case FrameResult::bad_sum:
            require(to - from >= frame_size && s[to - frame_size] == 0x12, "a corrupt frame without its start byte", to);
            require(result == FrameResult::bad_sum ? !is_valid_frame(&s[to - 9]) : s[to - 1] != 0x13,
                    "a good frame reported corrupt", to);
            require(after == kNoInputs, "inputs from a corrupt frame", to);
            break;
        default: require(false, "a result outside the four", to);
    }
    const std::size_t skipped_to = result == FrameResult::not_ready ? to : to - frame_size;
    for (std::size_t i = from; i < skipped_to; ++i) require(s[i] != 0x12, "skipped a start byte", i);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto owned = std::make_unique<MemoryLine>();
    MemoryLine& line = *owned;
    Trace off(kSilentNotices);  // never opened: the hunt is traced only when it is on
    CardLink link(std::move(owned), off);
    if (link.port().open_port(kFirstPort) != PortResult::ok) std::abort();
    for (std::size_t at = 0; at < size;) {
        const std::size_t chunk = std::min<std::size_t>(data[at], size - at - 1);
        line.deliver(data + at + 1, chunk);
        at += 1 + chunk;
        // Every call but the last takes at least one byte, so this ends.
        for (std::size_t calls = 0; checked_receive(link, line) != FrameResult::not_ready; ++calls) {
            require(calls <= line.stream().size(), "the hunt makes no progress", line.consumed());
        }
    }
    link.port().close_port();
    return 0;
}
