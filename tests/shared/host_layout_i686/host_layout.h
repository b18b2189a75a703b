// The host's shared record as the 32-bit host lays it out, as raw bytes: input_base at 0,
// output_states at 4, words at 20, reals at 32 and set_input at 52. Bytes the driver does not own
// carry a pattern that must survive every call. Only the i686 build can hold the driver to these
// offsets; the 64-bit test build lays the record out from the driver's own header instead.
#pragma once

#include <cstdint>
#include <cstring>

using SetInput = void(__cdecl*)(int32_t, int32_t);

struct RawHost {
    unsigned char output_states[512] = {};  // the host's tables, all off until set
    uint16_t words[512] = {};
    float reals[512] = {};

    RawHost() {
        std::memset(record_, 0xA5, sizeof record_);
        set_input_base(0);
        put(4, output_states);
        put(20, words);
        put(32, reals);
        set_input_callback(nullptr);
    }
    // What DriverEntry is given, and its bytes, to check that the driver never writes them.
    void* record() { return record_; }
    const unsigned char* record_bytes() const { return record_; }
    static constexpr std::size_t kRecordSize = 64;

    void set_input_base(int32_t base) { std::memcpy(record_ + 0, &base, 4); }
    void set_input_callback(SetInput fn) { put(52, reinterpret_cast<void*>(fn)); }

private:
    void put(std::size_t offset, void* pointer) {
        static_assert(sizeof pointer == 4, "the raw host layout is the 32-bit one");
        std::memcpy(record_ + offset, &pointer, 4);
    }
    alignas(4) unsigned char record_[kRecordSize];
};
