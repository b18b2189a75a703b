// Bytes taken from the system's input queue and not yet handed out. A read from the system is a
// round trip (under Wine, 0.1-0.2 ms), so one read takes all that is queued, a whole answer, and
// the frame layer is then served a byte at a time from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vek {

class ReadAhead {
public:
    static constexpr std::size_t kCapacity = 64;

    std::size_t held() const { return size_ - at_; }
    void clear() { at_ = size_ = 0; }
    uint8_t take() { return bytes_[at_++]; }
    // The byte `offset` places past the next one, left held; offset < held().
    uint8_t at(std::size_t offset) const { return bytes_[at_ + offset]; }
    void drop(std::size_t count) { at_ += count < held() ? count : held(); }

    // Moves what is held to the front, so that a read can append behind it; returns where.
    uint8_t* room() {
        std::memmove(bytes_, bytes_ + at_, held());
        size_ -= at_;
        at_ = 0;
        return bytes_ + size_;
    }
    std::size_t room_size() const { return kCapacity - size_; }
    // After a read of `got` bytes into room().
    void appended(std::size_t got) { size_ += got; }

private:
    uint8_t bytes_[kCapacity] = {};
    std::size_t at_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vek
