// The card's thread: it hunts the driver's bytes for output frames, records them, and sends each
// answer from a queue of bytes that are due at absolute times, so that delays, split answers
// and wire pacing never stop it from reading what the driver sends meanwhile.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "card_clock.h"
#include "card_frames.h"
#include "card_shared.h"

namespace {

// Waits shorter than this are slept out exactly instead of in poll(), whose timeout is in whole
// milliseconds; the card stops reading for at most this long.
constexpr int64_t kFineWaitNs = 2000000;
constexpr int kIdleWaitMs = 1000;
// A real card answers from a small transmit buffer: while this many answers still wait to go
// out, a new frame is recorded but not answered. Without the bound a slow (split, late) answer
// to each of a probe's 100 frames would queue minutes of stale answers behind each other.
constexpr std::size_t kMaxQueuedAnswers = 8;

struct Chunk {
    int64_t due_ns;
    std::vector<uint8_t> bytes;
    bool ends_answer;
};

struct Line {
    CardShared& card;
    int master;
    std::vector<uint8_t> rx;
    std::vector<int64_t> rx_at;  // when each byte in rx arrived
    std::deque<Chunk> tx;
    bool tx_blocked = false;  // the driver's end is full: wait until it can take more
    bool master_dead = false;
    uint32_t garbage_seed = 0x2545F491;
};

uint8_t garbage_byte(Line& line) {
    line.garbage_seed = line.garbage_seed * 1664525u + 1013904223u;
    const auto byte = static_cast<uint8_t>(line.garbage_seed >> 24);
    // Never a start byte: garbage must not be able to pass for the front of an answer.
    return byte == kInputStart ? uint8_t{0x21} : byte;
}

// The card's settings as they were when a frame came in.
struct Answer {
    CardFault fault;
    bool wire_time;
    std::array<uint8_t, 9> frame;
};

void queue_answer(Line& line, int64_t complete_ns, Answer answer) {
    const CardFault& fault = answer.fault;
    const bool wire_time = answer.wire_time;
    std::array<uint8_t, 9>& frame = answer.frame;
    if (fault.silent) return;
    const auto queued = std::count_if(line.tx.begin(), line.tx.end(), [](const Chunk& c) { return c.ends_answer; });
    if (static_cast<std::size_t>(queued) >= kMaxQueuedAnswers) return;
    if (fault.bad_sum) frame[8] = static_cast<uint8_t>(frame[8] + 1);
    if (fault.bad_end) frame[7] = 0x00;

    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < fault.garbage; ++i) bytes.push_back(garbage_byte(line));
    if (fault.stray_start) bytes.push_back(kInputStart);
    bytes.insert(bytes.end(), frame.begin(), frame.end());

    // Answers queue behind each other, as they would on one wire.
    int64_t start = complete_ns + int64_t{fault.delay_ms} * 1000000;
    if (!line.tx.empty()) start = std::max(start, line.tx.back().due_ns);
    const int64_t gap = std::max(int64_t{fault.split_ms} * 1000000, wire_time ? kByteNs : 0);
    if (gap == 0) {
        line.tx.push_back({start, bytes, true});
        return;
    }
    // On the wire a byte is there only once its last bit is: the first one too.
    const int64_t first = start + (wire_time ? kByteNs : 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        line.tx.push_back({first + static_cast<int64_t>(i) * gap, {bytes[i]}, i + 1 == bytes.size()});
    }
}

// Records the frame and returns the answer it gets, both under one lock: a caller woken by the
// new count who then changes a setting must not change the answer to this frame.
Answer record(Line& line, const uint8_t* bytes, int64_t complete_ns, bool valid) {
    ReceivedFrame frame{};
    frame.at_ms = static_cast<double>(complete_ns - line.card.started_ns) / 1e6;
    frame.at_monotonic_ns = complete_ns;
    std::copy(bytes, bytes + kOutputFrameSize, frame.bytes.begin());
    frame.valid = valid;
    Answer answer{};
    {
        std::lock_guard<std::mutex> lock(line.card.mutex);
        const CardShared& card = line.card;
        answer = {card.fault, card.wire_time,
                  card_input_frame(card.inputs[0], card.inputs[1], card.analog[0], card.analog[1])};
        if (line.card.log.size() == kFrameLogLimit) line.card.log.pop_front();
        line.card.log.push_back(frame);
        ++(valid ? line.card.valid_count : line.card.invalid_count);
        if (!valid) ++line.card.garbage_count;  // the candidate's start byte, dropped
    }
    line.card.frames_changed.notify_all();
    if (line.card.on_frame) line.card.on_frame(frame);
    return answer;
}

void hunt(Line& line, bool wire_time) {
    std::size_t at = 0;
    for (;;) {
        const HuntStep step = hunt_step(line.rx.data() + at, line.rx.size() - at);
        if (step.kind == HuntStep::kNeedMore) break;
        // A frame is complete when its last byte would have arrived, counted from its first.
        const int64_t complete = line.rx_at[at] + (wire_time ? kByteNs * int64_t{kOutputFrameSize} : 0);
        if (step.kind == HuntStep::kGarbage) {
            std::lock_guard<std::mutex> lock(line.card.mutex);
            line.card.garbage_count += step.consumed;
        } else {
            const bool valid = step.kind == HuntStep::kValid;
            const Answer answer = record(line, line.rx.data() + at, complete, valid);
            if (valid) queue_answer(line, complete, answer);
        }
        at += step.consumed;
    }
    line.rx.erase(line.rx.begin(), line.rx.begin() + static_cast<std::ptrdiff_t>(at));
    line.rx_at.erase(line.rx_at.begin(), line.rx_at.begin() + static_cast<std::ptrdiff_t>(at));
}

void receive(Line& line) {
    uint8_t buffer[512];
    const ssize_t got = ::read(line.master, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
        // Cannot happen while the card holds its own slave fd; never spin on it if it does.
        line.master_dead = true;
        return;
    }
    const int64_t now = monotonic_ns();
    line.rx.insert(line.rx.end(), buffer, buffer + got);
    line.rx_at.insert(line.rx_at.end(), static_cast<std::size_t>(got), now);
    bool wire_time = false;
    {
        std::lock_guard<std::mutex> lock(line.card.mutex);
        wire_time = line.card.wire_time;
    }
    hunt(line, wire_time);
}

void send_due(Line& line, int64_t now) {
    line.tx_blocked = false;
    while (!line.tx.empty() && line.tx.front().due_ns <= now && !line.master_dead) {
        Chunk& chunk = line.tx.front();
        // Counted before the last bytes go out: whoever has read a whole answer must find it
        // counted. Only a dead line (the card being unplugged) could then lose it.
        if (chunk.ends_answer) {
            std::lock_guard<std::mutex> lock(line.card.mutex);
            ++line.card.answer_count;
            chunk.ends_answer = false;
        }
        const ssize_t put = ::write(line.master, chunk.bytes.data(), chunk.bytes.size());
        if (put < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                line.tx_blocked = true;
            } else {
                line.master_dead = true;
            }
            return;
        }
        chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + put);
        if (!chunk.bytes.empty()) {
            line.tx_blocked = true;
            return;
        }
        line.tx.pop_front();
    }
}

}  // namespace

void run_card_line(CardShared& card, int master_fd, int wake_fd) {
    Line line{card, master_fd, {}, {}, {}};
    for (;;) {
        int64_t now = monotonic_ns();
        send_due(line, now);
        int timeout_ms = kIdleWaitMs;
        if (!line.tx.empty() && !line.tx_blocked && !line.master_dead) {
            const int64_t wait = line.tx.front().due_ns - now;
            if (wait <= kFineWaitNs) {
                // Then a poll that does not wait: a long run of paced bytes still notices the
                // wake fd and the driver's bytes between any two of them.
                sleep_until_ns(line.tx.front().due_ns);
                timeout_ms = 0;
            } else {
                timeout_ms = static_cast<int>(std::min<int64_t>((wait - kFineWaitNs / 2) / 1000000, kIdleWaitMs));
            }
        }
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {master_fd, POLLIN, 0}};
        if (line.tx_blocked) fds[1].events |= POLLOUT;
        const nfds_t count = line.master_dead ? 1 : 2;
        if (::poll(fds, count, timeout_ms) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) receive(line);
    }
}
