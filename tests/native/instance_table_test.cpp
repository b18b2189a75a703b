// Create, attach and delete, driven through DriverEntry as the host drives them. Delays are
// observed through the settings file: DRV_SAVE_SETTINGS writes the addressed record's delay.
#include <gtest/gtest.h>

#include "tests/native/test_support.h"

namespace {

class InstanceTableTest : public DriverTest {
protected:
    // Creates instances with the given numbers, each with delay 10 * (number + 1) on file.
    void create_numbered(std::initializer_list<uint32_t> numbers, std::vector<HostDriverRecord>& records) {
        std::string ini;
        for (uint32_t n : numbers)
            ini += "[korvanex-vek-driver-" + std::to_string(n) + "]\ndelay=" + std::to_string(10 * (n + 1)) + "\n";
        write_file(host.config_path, ini);
        records.resize(numbers.size());
        std::size_t i = 0;
        for (uint32_t n : numbers) ASSERT_EQ(host.call(n, DRV_CREATE, records[i++]), 0);
    }
};

TEST_F(InstanceTableTest, TheThirtyThirdCreateFailsAndChangesNothing) {
    std::vector<HostDriverRecord> records(33);
    for (uint32_t i = 0; i < 32; ++i) {
        ASSERT_EQ(host.call(100 + i, i % 2 ? DRV_ATTACH : DRV_CREATE, records[i]), 0);
        EXPECT_EQ(records[i].slot, i);
    }
    records[32].slot = 0xABCD;
    EXPECT_EQ(host.call(500, DRV_CREATE, records[32]), -1);
    EXPECT_EQ(host.call(501, DRV_ATTACH, records[32]), -1);
    EXPECT_EQ(records[32].slot, 0xABCDu) << "the host's record is left alone";
    EXPECT_EQ(table().count, 32u);
    for (uint32_t i = 0; i < 32; ++i) {
        EXPECT_EQ(record(i).number, 100 + i);
        EXPECT_EQ(record(i).delay_ms.load(), i % 2 ? 0u : 50u);
    }
}

TEST_F(InstanceTableTest, DeletingTheFirstOfThreeShiftsTheRestAndLeavesAStaleCopy) {
    std::vector<HostDriverRecord> records;
    create_numbered({0, 1, 2}, records);
    record(2).running = 1;  // a marker that must travel with the record

    EXPECT_EQ(host.call(0, DRV_DELETE, records[0]), 0);
    EXPECT_EQ(table().count, 2u);
    EXPECT_EQ(record(0).number, 1u);
    EXPECT_EQ(record(0).delay_ms.load(), 20u);
    EXPECT_EQ(record(1).number, 2u);
    EXPECT_EQ(record(1).delay_ms.load(), 30u);
    EXPECT_EQ(record(1).running, 1);
    EXPECT_EQ(record(2).number, 2u) << "stale copy of the old last record";
    EXPECT_EQ(record(2).delay_ms.load(), 30u);
    EXPECT_EQ(record(2).running, 1);

    // The host's records are not renumbered: the one that said slot 2 still reaches the stale
    // copy, and slot 1 now holds what was record 2. Saving through them shows which delay each holds.
    EXPECT_EQ(records[1].slot, 1u);
    EXPECT_EQ(records[2].slot, 2u);
    ASSERT_EQ(host.call(41, DRV_SAVE_SETTINGS, records[1]), 0);
    ASSERT_EQ(host.call(42, DRV_SAVE_SETTINGS, records[2]), 0);
    const std::string ini = read_file(host.config_path);
    EXPECT_NE(ini.find("[korvanex-vek-driver-41]\ndelay=30\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[korvanex-vek-driver-42]\ndelay=30\n"), std::string::npos) << ini;
}

TEST_F(InstanceTableTest, DeleteWritesTheNumberFirstAndMovesNothingAtTheEnd) {
    std::vector<HostDriverRecord> records;
    create_numbered({0, 1, 2}, records);
    EXPECT_EQ(host.call(9, DRV_DELETE, records[2]), 0);  // last slot
    EXPECT_EQ(table().count, 2u);
    EXPECT_EQ(record(0).number, 0u);
    EXPECT_EQ(record(1).number, 1u);
    EXPECT_EQ(record(2).number, 9u);

    EXPECT_EQ(host.call(7, DRV_DELETE, records[0]), 0);  // count 2 -> 1: record 1 moves down
    EXPECT_EQ(record(0).number, 1u);
    EXPECT_EQ(host.call(6, DRV_DELETE, records[0]), 0);  // count 1 -> 0: nothing moves
    EXPECT_EQ(table().count, 0u);
    EXPECT_EQ(record(0).number, 6u);
    EXPECT_EQ(record(1).number, 1u);

    EXPECT_EQ(host.call(5, DRV_DELETE, records[1]), 0);  // count 0: stays 0
    EXPECT_EQ(table().count, 0u);
    EXPECT_EQ(record(1).number, 5u);
}

TEST_F(InstanceTableTest, AttachReadsNoSettingsAndKeepsTheSlotsLeftoverDelay) {
    write_file(host.config_path, "[korvanex-vek-driver-3]\ndelay=90\n");
    HostDriverRecord fresh{};
    ASSERT_EQ(host.call(3, DRV_ATTACH, fresh), 0);
    EXPECT_EQ(record(0).delay_ms.load(), 0u) << "a never-used slot holds 0, and the file is not read";

    std::vector<HostDriverRecord> more(2);
    ASSERT_EQ(host.call(3, DRV_CREATE, more[0]), 0);
    EXPECT_EQ(record(1).delay_ms.load(), 90u);
    ASSERT_EQ(host.call(3, DRV_DELETE, more[0]), 0);
    ASSERT_EQ(host.call(4, DRV_ATTACH, more[1]), 0);
    EXPECT_EQ(more[1].slot, 1u);
    EXPECT_EQ(record(1).number, 4u);
    EXPECT_EQ(record(1).delay_ms.load(), 90u) << "the delay the deleted instance left behind";
}

TEST_F(InstanceTableTest, CreateWritesOnlyNumberAndDelayIntoAReusedSlot) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(1, DRV_CREATE, rec), 0);
    record(0).running = 1;
    record(0).stop_request.store(1);
    record(0).cycle_count.store(7);
    ASSERT_EQ(host.call(1, DRV_DELETE, rec), 0);
    ASSERT_EQ(host.call(2, DRV_CREATE, rec), 0);
    EXPECT_EQ(record(0).number, 2u);
    EXPECT_EQ(record(0).delay_ms.load(), 50u);
    EXPECT_EQ(record(0).running, 1);
    EXPECT_EQ(record(0).stop_request.load(), 1u);
    EXPECT_EQ(record(0).cycle_count.load(), 7u);
}

}  // namespace
