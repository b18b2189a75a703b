// The hunt for the card's input frame, fed arbitrary byte streams through the real serial layer
// over an in-memory line. The stream arrives in chunks (a length byte, then that many bytes), and
// after each chunk the driver takes frames until it reports that fewer than 9 bytes are queued,
// as the poll thread would. Every call is checked against the hunt's rule, written out here on
// its own: skip bytes up to a start byte while 9 or more are queued; the 9 bytes from there are
// the answer when end byte and checksum are right (all 9 taken), or else refused (bad_end or
// bad_sum), and the hunt takes up again one byte after the refused start. So:
// - only a frame with its start byte, end byte and checksum right is reported with inputs, and
//   they are exactly that frame's; a corrupt frame, or a call that finds none, reports none;
// - no byte that can start a frame is skipped, and a refused candidate gives up only its start;
// - once the stream is in, a well-formed answer is delivered behind it, whatever came before,
//   and it must be found, unless a frame taken just before overlaps it (it is then not whole);
// - no read is made of a byte that is not queued.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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

// Where the hunt stands in the stream, by the rule above, and the last frame it took.
struct Hunt {
    std::size_t at = 0;
    std::size_t last_taken = SIZE_MAX;  // where the last frame taken began
};

// One call of the hunt, checked against the rule.
FrameResult checked_receive(CardLink& link, const MemoryLine& line, Hunt& hunt) {
    const std::vector<uint8_t>& s = line.stream();
    const ReceivedInputs received = link.receive_input_frame();
    const FrameResult result = received.result;
    const Inputs after = inputs_of(received.inputs);
    require(line.reads_past_queue() == 0, "read a byte past the queue", hunt.at);

    while (hunt.at + 9 <= s.size() && s[hunt.at] != 0x12) ++hunt.at;
    if (hunt.at + 9 > s.size()) {
        require(result == FrameResult::not_ready, "a result with fewer than 9 bytes from the next start", hunt.at);
        require(after == kNoInputs, "inputs without a frame", hunt.at);
        return result;
    }
    const uint8_t* candidate = &s[hunt.at];
    if (is_valid_frame(candidate)) {
        require(result == FrameResult::ok, "a valid frame not taken", hunt.at);
        require(after == inputs_of(candidate), "the inputs are not the frame's", hunt.at);
        hunt.last_taken = hunt.at;
        hunt.at += 9;
        return result;
    }
    const FrameResult refused = candidate[7] != 0x13 ? FrameResult::bad_end : FrameResult::bad_sum;
    require(result == refused, "a corrupt frame not refused as such", hunt.at);
    require(after == kNoInputs, "inputs from a corrupt frame", hunt.at);
    ++hunt.at;
    return result;
}

// Takes frames until the hunt reports fewer than 9 bytes queued; every call but the last moves
// the hunt on by at least one byte, so this ends.
void take_all(CardLink& link, const MemoryLine& line, Hunt& hunt) {
    for (std::size_t calls = 0; checked_receive(link, line, hunt) != FrameResult::not_ready; ++calls) {
        require(calls <= line.stream().size(), "the hunt makes no progress", hunt.at);
    }
}

// A well-formed answer whose inputs come from the fuzzer's first bytes.
std::vector<uint8_t> answer_from(const uint8_t* data, std::size_t size) {
    std::vector<uint8_t> frame{0x12, 0, 0, 0, 0, 0, 0, 0x13, 0};
    for (std::size_t i = 0; i < 6 && i < size; ++i) frame[i + 1] = data[i];
    unsigned sum = 0;
    for (std::size_t i = 0; i < 8; ++i) sum += frame[i];
    frame[8] = static_cast<uint8_t>(0x01U - sum);
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto owned = std::make_unique<MemoryLine>();
    MemoryLine& line = *owned;
    Trace off(kSilentNotices);  // never opened: the hunt is traced only when it is on
    CardLink link(std::move(owned), off);
    if (link.port().open_port(kFirstPort) != PortResult::ok) std::abort();
    Hunt hunt;
    for (std::size_t at = 0; at < size;) {
        const std::size_t chunk = std::min<std::size_t>(data[at], size - at - 1);
        line.deliver(data + at + 1, chunk);
        at += 1 + chunk;
        take_all(link, line, hunt);
    }
    const std::size_t answer_at = line.stream().size();
    const std::vector<uint8_t> answer = answer_from(data, size);
    line.deliver(answer.data(), answer.size());
    take_all(link, line, hunt);
    const bool overlapped = hunt.last_taken < answer_at && hunt.last_taken + 9 > answer_at;
    require(hunt.last_taken == answer_at || overlapped, "a well-formed answer behind the stream was not found",
            answer_at);
    link.port().close_port();
    return 0;
}
