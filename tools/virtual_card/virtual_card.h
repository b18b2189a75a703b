// A simulated Vek card on a pseudo-terminal: it answers each valid 7-byte output frame with a
// 9-byte input frame, records what it receives, and injects line faults on request. The link
// tests, the panel and the Wine tests all stand on it. It shares no code with the driver, so a
// mistake in the driver's frame code cannot hide behind the same mistake here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct CardFault {
    bool silent = false;           // receive and record, never answer
    bool bad_sum = false;          // answer with a checksum off by one
    bool bad_end = false;          // answer with 0x00 in place of the 0x13 end byte
    uint32_t garbage = 0;          // this many bytes (never 0x12) sent before each answer
    bool stray_start = false;      // a lone 0x12 sent just before each answer (after any garbage)
    uint32_t split_ms = 0;         // send each answer byte on its own, this many ms apart
    uint32_t delay_ms = 0;         // wait this long before answering
};

// One output frame as the card received it.
struct ReceivedFrame {
    double at_ms;                  // since the card started, monotonic clock
    int64_t at_monotonic_ns;       // the same moment on CLOCK_MONOTONIC, to compare with other clocks
    std::array<uint8_t, 7> bytes;
    bool valid;                    // start, end byte and checksum all right
};

class VirtualCard {
public:
    struct Options {
        std::string link_path;     // symbolic link made to the driver's end (e.g. ports/com3); empty: none
        bool wire_time = false;    // pace both directions at 115200 baud, 10 bits a byte
        // Where unplug points the link, e.g. a folder or a missing file: a name that cannot be
        // opened as a port. Empty: the link's own name with ".unplugged", a file nobody makes.
        // Left at the old /dev/pts/N, it would name the terminal the system gives that number
        // next, which a driver reopening the port would then reach.
        std::string unplugged_target = "";
        // Called on the card's thread for every frame it records, outside the card's lock. It
        // must not unplug, replug or destroy the card: those wait for that thread. Its initializer
        // lets callers keep writing Options{link, wire_time} without a missing-field warning.
        std::function<void(const ReceivedFrame&)> on_frame = nullptr;
    };

    explicit VirtualCard(Options options);
    ~VirtualCard();                // stops the thread, closes the pty, removes the link
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    // Creates the pseudo-terminal (raw, so nothing is echoed), publishes the link and starts
    // answering. False with a reason in *error when that fails.
    bool start(std::string* error);
    std::string device_path() const;      // the driver's end, /dev/pts/N; empty while unplugged

    // Inputs as the card sends them: bit k of a byte is input k + 1, active low (0 = on).
    void set_digital_inputs(uint8_t inputs_1_to_8, uint8_t inputs_9_to_16);
    void set_input(unsigned input_1_to_16, bool on);
    void set_analog_raw(unsigned channel_1_or_2, uint16_t raw);   // 0..1023 is 0..5 V; larger values are sent as they are
    // All four at once: no answer carries half of the change.
    void set_all_inputs(uint8_t inputs_1_to_8, uint8_t inputs_9_to_16, uint16_t analog_1, uint16_t analog_2);
    std::array<uint8_t, 2> digital_inputs() const;
    uint16_t analog_raw(unsigned channel_1_or_2) const;

    void set_fault(const CardFault& fault);
    CardFault fault() const;
    void set_wire_time(bool on);
    bool wire_time() const;

    // Unplug closes the card's end: the driver's end reports a hang-up. Replug makes a new
    // pseudo-terminal and points the link at it.
    void unplug();
    bool replug(std::string* error);
    bool plugged() const;

    // The log keeps the latest 2^20 frames, valid or not; the counters keep counting past that.
    std::vector<ReceivedFrame> frames() const;
    bool last_frame(ReceivedFrame* frame) const;  // false while the log is empty
    std::size_t frame_count() const;             // valid frames received so far
    std::size_t invalid_frame_count() const;     // complete candidates with a start byte that were not valid
    std::size_t garbage_byte_count() const;      // received bytes that were not part of a valid frame
    std::size_t answer_count() const;            // input frames sent
    bool wait_for_frames(std::size_t count, int timeout_ms) const;   // until frame_count() >= count
    void clear_frames();                         // empties the log and sets every count above back to 0

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The 9-byte input frame for these inputs, with its end byte and checksum.
std::array<uint8_t, 9> card_input_frame(uint8_t in0, uint8_t in1, uint16_t analog1, uint16_t analog2);
