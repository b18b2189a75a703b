#include "poll/instance_table.h"

#include <cstddef>

namespace vek {

namespace {

void clear_record(DriverInstance& record) {
    record.number = 0;
    record.running = 0;
    record.delay_ms.store(0);
    record.card = kNoCard;
    record.polling_card = kNoCard;
}

// Moves a record's instance, field by field (the atomic cannot be copied as bytes), but not the
// card it polls: the host's record of that instance keeps naming that slot, and a stop through it
// must leave that card, once (a card left twice would lose a user it still has).
void move_instance(DriverInstance& to, const DriverInstance& from) {
    to.number = from.number;
    to.running = from.running;
    to.delay_ms.store(from.delay_ms.load());
    to.card = from.card;
}

}  // namespace

void reset_instance_table(InstanceTable& table) {
    table.record_size = sizeof(DriverInstance);
    table.capacity = kInstanceCapacity;
    table.number_offset = offsetof(DriverInstance, number);
    table.count = 0;
    for (DriverInstance& record : table.records) clear_record(record);
}

DriverInstance* instance_at(InstanceTable& table, const HostDriverRecord* host_driver_record) {
    if (host_driver_record == nullptr) return nullptr;
    // The host may hand back any slot; one outside the table would reach memory that is not ours.
    if (host_driver_record->slot >= table.capacity) return nullptr;
    return &table.records[host_driver_record->slot];
}

DriverInstance* add_instance(InstanceTable& table, uint32_t number, HostDriverRecord* host_driver_record) {
    if (table.count >= table.capacity || host_driver_record == nullptr) return nullptr;
    const uint32_t slot = table.count;
    host_driver_record->slot = slot;
    DriverInstance& record = table.records[slot];
    record.number = number;
    table.count = slot + 1;
    return &record;
}

bool slot_in_use(const InstanceTable& table, uint32_t slot) { return slot < table.count; }

bool delete_instance(InstanceTable& table, uint32_t slot) {
    if (!slot_in_use(table, slot)) return false;
    for (uint32_t j = slot + 1; j < table.count; ++j) move_instance(table.records[j - 1], table.records[j]);
    table.count -= 1;
    return true;
}

}  // namespace vek
