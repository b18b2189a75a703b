// What passes between the KORVANEX host and the driver on every DriverEntry call: the host's
// records, the command codes and the entry point itself.
// These are the host's names, the export's contract: they stay beside DriverEntry at global scope,
// outside the driver's own namespace.
#pragma once

#include <cstddef>
#include <cstdint>

// Called by the driver once per digital input during DRV_READ_INPUTS, with 1 for on, 0 for off.
using SetInputFn = void(VEK_CDECL*)(int32_t index, int32_t value);

// The host's shared record. The driver reads only the named fields and never writes into it.
// In the host's 32-bit layout the fields sit at fixed byte offsets (checked below); the native
// 64-bit build keeps the same fields in the same order with native pointers, for the project's
// own tests and tools only.
struct HostRecord {
    int32_t input_base;      // host input index of channel 1 of driver number 0
    uint8_t* output_states;  // one byte per host digital output, bit 0x40 is its state
    uint8_t host_private_a[12];
    uint16_t* words;  // word 42: cleared at poll start; 200 + 2n, 201 + 2n: analog outputs
    uint8_t host_private_b[8];
    float* reals;  // 200 + 2n, 201 + 2n: analog inputs in volts
    uint8_t host_private_c[16];
    SetInputFn set_input;
};

// The host's per-instance record: the driver writes slot at create or attach, and reads it back
// on every later call to find the instance.
struct HostDriverRecord {
    uint8_t host_private[260];
    uint32_t slot;
};

constexpr bool kHostLayout = sizeof(void*) == 4;
static_assert(!kHostLayout || offsetof(HostRecord, input_base) == 0, "host layout: input_base");
static_assert(!kHostLayout || offsetof(HostRecord, output_states) == 4, "host layout: output_states");
static_assert(!kHostLayout || offsetof(HostRecord, words) == 20, "host layout: words");
static_assert(!kHostLayout || offsetof(HostRecord, reals) == 32, "host layout: reals");
static_assert(!kHostLayout || offsetof(HostRecord, set_input) == 52, "host layout: set_input");
static_assert(offsetof(HostDriverRecord, slot) == 260, "host layout: slot");

// Command codes. Only these exact 32-bit values are commands; 5 and 6 are accepted and do
// nothing beyond recording the driver number.
constexpr uint32_t DRV_START = 0;
constexpr uint32_t DRV_STOP = 1;
constexpr uint32_t DRV_RESET_OUTPUTS = 2;
constexpr uint32_t DRV_READ_INPUTS = 3;
constexpr uint32_t DRV_WRITE_OUTPUTS = 4;
constexpr uint32_t DRV_ATTACH = 0xFFFB;
constexpr uint32_t DRV_SAVE_SETTINGS = 0xFFFC;
constexpr uint32_t DRV_CONFIGURE = 0xFFFD;
constexpr uint32_t DRV_CREATE = 0xFFFE;
constexpr uint32_t DRV_DELETE = 0xFFFF;

// The one export. Returns 0 or -1, except DRV_CONFIGURE, which returns the dialog's end code.
// Calls must not overlap: the host calls from one thread at a time.
extern "C" int32_t VEK_CDECL DriverEntry(uint32_t number, uint32_t command, HostRecord* host_record,
                                         HostDriverRecord* host_driver_record, const char* config_path);
