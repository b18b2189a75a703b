// The table of driver instances. The host names an instance only by the slot the
// driver wrote into its HostDriverRecord.
#pragma once

#include <atomic>
#include <cstdint>

#include "abi/host_interface.h"

namespace vek {

constexpr uint32_t kNoCard = UINT32_MAX;

// One instance. delay_ms is read by the poll thread of the card it started, so it is an atomic;
// every other field belongs to the host's calling thread.
struct DriverInstance {
    uint32_t number;                 // driver number, rewritten by every call on the instance
    int32_t running;                 // 1 after a successful start; stop leaves it alone
    std::atomic<uint32_t> delay_ms;  // poll delay, default 50
    uint32_t card;                   // the card whose image it exchanges with; kept after a stop
    uint32_t polling_card;           // the card it is one of the users of; kNoCard when not polling
};

constexpr uint32_t kInstanceCapacity = 32;

// Records 0 to count - 1 are in use. Records past the count keep what an earlier delete left
// there (a stale copy), and the host may still reach them by slot.
struct InstanceTable {
    uint32_t record_size;
    uint32_t capacity;
    uint32_t number_offset;
    uint32_t count;
    DriverInstance records[kInstanceCapacity];
};

// Load-time set-up: the geometry, a count of 0 and every record all zero.
void reset_instance_table(InstanceTable& table);

// The instance at the host record's slot, or null when the record is missing or its slot lies
// outside the table. A slot past the count but inside the table is still a record.
DriverInstance* instance_at(InstanceTable& table, const HostDriverRecord* host_driver_record);

// DRV_CREATE and DRV_ATTACH: the record at slot = count, with the slot written into the host's
// record and the driver number set; its delay is what the slot held (0 if never used, or what a
// delete left behind) until the caller sets it. Null when the table is full or the host record is
// missing.
DriverInstance* add_instance(InstanceTable& table, uint32_t number, HostDriverRecord* host_driver_record);

// True when slot holds an instance: one of records 0 to count - 1.
bool slot_in_use(const InstanceTable& table, uint32_t slot);

// DRV_DELETE of the record at slot: shifts the records above it down by one and leaves the last
// one behind as a stale copy. Host records of moved instances keep their old slots. Poll threads
// do not move: each stays with the record it runs on, which its instance's host record still names.
// False, and nothing changed, for a slot not in use: a second delete through the same host record
// must not free the slot of another instance, which the next create would then overwrite.
bool delete_instance(InstanceTable& table, uint32_t slot);

}  // namespace vek
