// The entry point: exact command codes, what every call stores, and how it refuses records
// that would reach outside the instance table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "tests/native/test_support.h"

namespace {

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, CodesOutsideTheTableReturnMinusOneAndTouchNoInstance) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(4, DRV_CREATE, rec), 0);
    for (uint32_t code : {7u, 0xFFFAu, 0x10000u, 0xFFFFFFFFu, 0x1FFFEu, 0x10003u, 0x80000000u}) {
        EXPECT_EQ(host.call(99, code, rec), -1) << "code " << code;
    }
    EXPECT_EQ(table().count, 1u);
    EXPECT_EQ(table().records[0].number, 4u);
    EXPECT_EQ(rec.slot, 0u);
}

TEST_F(DriverEntryTest, EveryCallStoresTheHostRecordAndPathEvenWhenRefused) {
    HostRecord other{};
    const char* other_path = "/elsewhere/host.ini";
    EXPECT_EQ(driver_entry(host.module(), 0, 0x10000, &other, nullptr, other_path), -1);
    EXPECT_EQ(host.driver().host_record.load(), &other);
    EXPECT_EQ(host.module().config_path, other_path);

    HostDriverRecord out_of_table{};
    out_of_table.slot = 32;
    EXPECT_EQ(host.call(1, DRV_SAVE_SETTINGS, out_of_table), -1);
    EXPECT_EQ(host.driver().host_record.load(), &host.record);
    EXPECT_EQ(host.module().config_path, host.config_path.c_str());
}

TEST_F(DriverEntryTest, CommandsFiveAndSixOnlyRecordTheNumber) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(3, DRV_CREATE, rec), 0);
    const uint32_t delay = table().records[0].delay_ms.load();
    EXPECT_EQ(host.call(8, 5, rec), 0);
    EXPECT_EQ(table().records[0].number, 8u);
    EXPECT_EQ(host.call(9, 6, rec), 0);
    EXPECT_EQ(table().records[0].number, 9u);
    EXPECT_EQ(table().records[0].delay_ms.load(), delay);
    EXPECT_EQ(table().records[0].running, 0);
    EXPECT_EQ(table().count, 1u);
    EXPECT_TRUE(dir.entries().empty()) << "nothing may be written";
}

// Instance records the driver must not follow: a slot outside the table, or no record at all.
// Create and attach write the slot, so only a missing record can make them fail.
TEST_F(DriverEntryTest, RecordsOutsideTheTableOrMissingAreRefusedAndTouchNothing) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(1, DRV_CREATE, rec), 0);
    const std::vector<uint32_t> existing = {5u, 6u, DRV_SAVE_SETTINGS, DRV_DELETE, DRV_START, DRV_STOP, DRV_CONFIGURE};
    std::vector<uint32_t> every = existing;
    every.insert(every.end(), {DRV_CREATE, DRV_ATTACH});
    const struct {
        const char* what;
        bool missing;
        uint32_t slot;
        const std::vector<uint32_t>& codes;
    } rows[] = {
        {"slot 32", false, 32u, existing},
        {"slot 33", false, 33u, existing},
        {"slot 0x7FFFFFFF", false, 0x7FFFFFFFu, existing},
        {"slot 0xFFFFFFFF", false, 0xFFFFFFFFu, existing},
        {"no record", true, 0u, every},
    };
    for (const auto& row : rows) {
        HostDriverRecord bad{};
        bad.slot = row.slot;
        for (uint32_t code : row.codes) {
            EXPECT_EQ(host.call(77, code, row.missing ? nullptr : &bad, host.config_path.c_str()), -1)
                << row.what << ", code " << code;
        }
    }
    EXPECT_EQ(table().count, 1u);
    EXPECT_EQ(table().records[0].number, 1u);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(DriverEntryTest, ASlotPastTheCountStillReachesItsRecord) {
    HostDriverRecord rec{};
    rec.slot = 31;
    EXPECT_EQ(host.call(12, 5, rec), 0);
    EXPECT_EQ(table().records[31].number, 12u);
    EXPECT_EQ(table().count, 0u);
}

TEST_F(DriverEntryTest, AMissingHostRecordIsRefusedByCommandsThatUseTheHostTables) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(1, DRV_CREATE, rec), 0);
    for (uint32_t code : {DRV_START, DRV_READ_INPUTS, DRV_WRITE_OUTPUTS}) {
        EXPECT_EQ(driver_entry(host.module(), 50, code, nullptr, &rec, host.config_path.c_str()), -1) << "code " << code;
        EXPECT_EQ(table().records[0].number, 1u) << "refused before touching the instance";
    }
    // Commands that never look at the host's tables work without them.
    EXPECT_EQ(driver_entry(host.module(), 2, DRV_SAVE_SETTINGS, nullptr, &rec, host.config_path.c_str()), 0);
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-2]\r\ndelay=50\r\n");
    HostDriverRecord second{};
    EXPECT_EQ(driver_entry(host.module(), 3, DRV_CREATE, nullptr, &second, host.config_path.c_str()), 0);
    EXPECT_EQ(second.slot, 1u);
}

// The shared library sets itself up when it is loaded, and exports the entry point by name.
TEST(DriverLibrary, LoadsAndServesTheHostThroughDlopen) {
    void* library = dlopen(VEK_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto entry = reinterpret_cast<decltype(&DriverEntry)>(dlsym(library, "DriverEntry"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(dlsym(library, "load_settings"), nullptr) << "internal functions stay hidden";

    TempDir dir;
    const std::string path = dir.file("host.ini");
    write_file(path, "[korvanex-vek-driver-6]\r\ndelay=70\r\n");
    HostRecord host{};
    HostDriverRecord records[3]{};
    EXPECT_EQ(entry(5, DRV_CREATE, &host, &records[0], path.c_str()), 0);
    EXPECT_EQ(entry(6, DRV_CREATE, &host, &records[1], path.c_str()), 0);
    EXPECT_EQ(records[1].slot, 1u);
    EXPECT_EQ(entry(7, DRV_SAVE_SETTINGS, &host, &records[1], path.c_str()), 0);
    EXPECT_EQ(read_file(path), "[korvanex-vek-driver-6]\r\ndelay=70\r\n[korvanex-vek-driver-7]\r\ndelay=70\r\n");
    EXPECT_EQ(entry(0, 7, &host, &records[0], path.c_str()), -1);
    dlclose(library);
}

}  // namespace
