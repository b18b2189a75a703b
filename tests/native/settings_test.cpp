// The delay in the host's configuration file, through DriverEntry and real files.
#include <gtest/gtest.h>

#include "tests/native/test_support.h"

namespace {

class SettingsTest : public DriverTest {
protected:
    uint32_t delay_of(uint32_t slot) { return record(slot).delay_ms.load(); }
};

const std::string kHostFile =
    "; KORVANEX host configuration - do not edit while running\r\n"
    "[General]\r\n"
    "LastProject = C:\\Projects\\plant 7\\line.kpr\r\n"
    "\r\n"
    "[korvanex-vek-driver-0]\r\n"
    "  delay = 75   ; tuned for line 7\r\n"
    "port=COM5\r\n"
    "\r\n"
    "[korvanex-vek-driver-1]\r\n"
    "port=COM6\r\n"
    "\r\n"
    "[Window]\r\n"
    "Left=10\r\n";

TEST_F(SettingsTest, CreateLoadsEachNumbersOwnDelayWithFiftyWhenMissing) {
    write_file(host.config_path,
               "[korvanex-vek-driver-0]\r\ndelay=75\r\n[korvanex-vek-driver-1]\r\ndelay=120\r\n"
               "[korvanex-vek-driver-4294967295]\r\ndelay=9\r\n");
    std::vector<HostDriverRecord> rec(4);
    ASSERT_EQ(host.call(0, DRV_CREATE, rec[0]), 0);
    ASSERT_EQ(host.call(1, DRV_CREATE, rec[1]), 0);
    ASSERT_EQ(host.call(2, DRV_CREATE, rec[2]), 0);
    ASSERT_EQ(host.call(4294967295u, DRV_CREATE, rec[3]), 0);
    EXPECT_EQ(delay_of(0), 75u);
    EXPECT_EQ(delay_of(1), 120u);
    EXPECT_EQ(delay_of(2), 50u);
    EXPECT_EQ(delay_of(3), 9u);

    host.config_path = dir.file("absent.ini");
    ASSERT_EQ(host.call(0, DRV_CREATE, rec[0]), 0);
    EXPECT_EQ(delay_of(4), 50u);
    EXPECT_FALSE(file_exists(host.config_path)) << "reading never creates the file";
}

TEST_F(SettingsTest, SaveThenCreateReturnsTheSavedDelayPerNumber) {
    HostDriverRecord a{}, b{};
    ASSERT_EQ(host.call(0, DRV_CREATE, a), 0);
    ASSERT_EQ(host.call(1, DRV_CREATE, b), 0);
    record(0).delay_ms.store(0);
    record(1).delay_ms.store(4000000000u);
    ASSERT_EQ(host.call(0, DRV_SAVE_SETTINGS, a), 0);
    ASSERT_EQ(host.call(1, DRV_SAVE_SETTINGS, b), 0);
    EXPECT_EQ(read_file(host.config_path),
              "[korvanex-vek-driver-0]\r\ndelay=0\r\n[korvanex-vek-driver-1]\r\ndelay=4000000000\r\n");

    HostDriverRecord c{}, d{};
    ASSERT_EQ(host.call(1, DRV_CREATE, c), 0);
    ASSERT_EQ(host.call(0, DRV_CREATE, d), 0);
    EXPECT_EQ(delay_of(c.slot), 4000000000u);
    EXPECT_EQ(delay_of(d.slot), 0u);
}

TEST_F(SettingsTest, SaveChangesOnlyTheDelayLineOfTheHostsFile) {
    write_file(host.config_path, kHostFile);
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(0, DRV_CREATE, rec), 0);
    ASSERT_EQ(delay_of(0), 75u);
    record(0).delay_ms.store(200);
    ASSERT_EQ(host.call(0, DRV_SAVE_SETTINGS, rec), 0);
    // ';' starts no comment: the value is everything after '=', so the remark goes with it.
    std::string expected = kHostFile;
    expected.replace(expected.find("75   ; tuned for line 7"), 23, "200");
    EXPECT_EQ(read_file(host.config_path), expected);

    // Number 1 has a section without the key: the key goes after the section's last line.
    ASSERT_EQ(host.call(1, DRV_SAVE_SETTINGS, rec), 0);
    std::string with_key = expected;
    with_key.insert(with_key.find("port=COM6\r\n") + 11, "delay=200\r\n");
    EXPECT_EQ(read_file(host.config_path), with_key);
}

TEST_F(SettingsTest, AMissingPathReadsAsNoFileAndIsNeverWritten) {
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(0, DRV_CREATE, &rec, nullptr), 0);
    EXPECT_EQ(delay_of(0), 50u);
    EXPECT_EQ(host.call(0, DRV_SAVE_SETTINGS, &rec, nullptr), 0);
    EXPECT_EQ(host.call(0, DRV_SAVE_SETTINGS, &rec, ""), 0);
    EXPECT_EQ(host.call(1, DRV_CREATE, &rec, ""), 0);
    EXPECT_EQ(delay_of(1), 50u);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(SettingsTest, AFailedSaveKeepsTheOldFileAndStillReturnsZero) {
    write_file(host.config_path, kHostFile);
    HostDriverRecord rec{};
    ASSERT_EQ(host.call(0, DRV_CREATE, rec), 0);
    record(0).delay_ms.store(123456);
    {
        FileSizeLimit limit(kHostFile.size() / 2);  // the new file cannot be written whole
        EXPECT_EQ(host.call(0, DRV_SAVE_SETTINGS, rec), 0);
    }
    EXPECT_EQ(read_file(host.config_path), kHostFile);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"host.ini"}) << "no temporary file is left";
}

}  // namespace
