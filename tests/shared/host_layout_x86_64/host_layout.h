// The host's shared record for the 64-bit test build of the Win32 code, laid out from the
// driver's own header: the host is 32-bit, so only the i686 build can be held to its byte offsets.
// Bytes the driver does not own carry a pattern that must survive every call.
#pragma once

#include <cstdint>
#include <cstring>

#include "abi/host_interface.h"

using SetInput = SetInputFn;

struct RawHost {
    unsigned char output_states[512] = {};  // the host's tables, all off until set
    uint16_t words[512] = {};
    float reals[512] = {};

    RawHost() {
        std::memset(&record_, 0xA5, sizeof record_);
        record_.input_base = 0;
        record_.output_states = output_states;
        record_.words = words;
        record_.reals = reals;
        record_.set_input = nullptr;
    }
    // What DriverEntry is given, and its bytes, to check that the driver never writes them.
    void* record() { return &record_; }
    const unsigned char* record_bytes() const { return reinterpret_cast<const unsigned char*>(&record_); }
    static constexpr std::size_t kRecordSize = sizeof(HostRecord);

    void set_input_base(int32_t base) { record_.input_base = base; }
    void set_input_callback(SetInput fn) { record_.set_input = fn; }

private:
    HostRecord record_;
};
