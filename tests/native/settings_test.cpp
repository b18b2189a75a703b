// The settings on real files where the stories cannot reach: a save that fails part-way, and the
// link's keys read strictly. What create and save do with the delay is in tests/stories/host.stories.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config/settings.h"
#include "tests/native/test_support.h"

namespace {

using SettingsTest = DriverTest;

const std::string kHostFile =
    "; KORVANEX host configuration\r\n[General]\r\nLastProject = C:\\plant 7\\line.kpr\r\n\r\n"
    "[korvanex-vek-driver-0]\r\ndelay=75\r\nport=COM5\r\n\r\n[Window]\r\nLeft=10\r\n";

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

// Another program (the panel, another instance's host) updates its own section of the same file
// while the driver saves its delay: each sees its last update kept, every time.
TEST_F(SettingsTest, AnotherProgramUpdatingItsOwnSectionNeverHasAnUpdateReverted) {
    constexpr uint32_t kUpdates = 300;
    write_file(host.config_path, kHostFile);
    const auto update_own_section = [this](uint32_t number) {
        uint32_t reverted = 0;
        for (uint32_t i = 1; i <= kUpdates; ++i) {
            save_settings(host.config_path.c_str(), number, i);
            reverted += load_settings(host.config_path.c_str(), number) != i;
        }
        return reverted;
    };
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) ::_exit(static_cast<int>(std::min<uint32_t>(update_own_section(7), 250)));
    const uint32_t reverted = update_own_section(0);
    EXPECT_EQ(child_exit_status(other), 0) << "the other program's updates reverted";
    EXPECT_EQ(reverted, 0u) << "the driver's updates reverted";
    EXPECT_EQ(load_settings(host.config_path.c_str(), 0), kUpdates);
    EXPECT_EQ(load_settings(host.config_path.c_str(), 7), kUpdates);
    EXPECT_NE(read_file(host.config_path).find("LastProject = C:\\plant 7\\line.kpr"), std::string::npos);
}

// The link's keys beside the delay: strict values, only the instance's own section, and a note
// for the trace about any value set but not used.
TEST(LinkSettings, KeysAreReadStrictlyFromTheInstancesOwnSection) {
    TempDir dir;
    const std::string path = dir.file("host.ini");
    const std::string longest_path = "/" + std::string(kTracePathMax - 1, 'p');
    const std::string ten_kb(10 * 1024, '7');
    const struct {
        std::string lines;
        uint32_t port;
        std::string trace;
        bool frames;
        const char* note;  // a part of it; "" for none
    } rows[] = {
        {"", 0, "", false, ""},
        {"port=12", 12, "", false, ""},
        {"port=1", 1, "", false, ""},
        {"port=255", 255, "", false, ""},  // above the scanned ports, as a USB adapter may be
        {"port=256", 0, "", false, "port=\"256\" is not a port number"},  // beyond Windows' port numbers
        {"  port = 7  ", 7, "", false, ""},
        {"port=\"9\"", 9, "", false, ""},  // the platform strips the quotes
        {"port=012", 12, "", false, ""},
        {"port=", 0, "", false, ""},
        {"port=0", 0, "", false, ""},
        {"port=abc", 0, "", false, "port=\"abc\" is not a port number"},
        {"port=12x", 0, "", false, "port=\"12x\" is not a port number"},  // the host's own reading would take 12
        {"port=-3", 0, "", false, "port=\"-3\" is not a port number"},
        {"port=+3", 0, "", false, "port=\"+3\" is not a port number"},
        {"port=0x10", 0, "", false, "port=\"0x10\" is not a port number"},
        {"port=256", 0, "", false, "port=\"256\" is not a port number"},
        {"port=4294967299", 0, "", false, "port=\"4294967299\" is not a port number"},  // 3 after a wrap
        {"port=99999999999999999999", 0, "", false, "port=\"99999999999999999999\" is not a port number"},
        {"port=" + ten_kb, 0, "", false, "port=\"...\" is not a port number"},
        {"port=\x01" "5", 0, "", false, "port=\"?5\" is not a port number"},
        {"trace=/var/log/vek.log", 0, "/var/log/vek.log", false, ""},
        {"trace=\"C:\\vek trace.log\"", 0, "C:\\vek trace.log", false, ""},
        {"trace=" + longest_path, 0, longest_path, false, ""},
        // One character more could be a longer path cut short, which must never be traced to.
        {"trace=" + longest_path + "x", 0, "", false, "trace=\"...\" ignored"},
        {"trace=" + ten_kb, 0, "", false, "trace=\"...\" ignored"},
        {"trace=" + ten_kb + "\r\ntrace_frames=yes", 0, "", false, "; trace_frames=\"yes\" ignored"},
        {"trace=/t.log\r\ntrace_frames=1", 0, "/t.log", true, ""},
        {"trace_frames=0", 0, "", false, ""},
        {"trace_frames=yes", 0, "", false, "trace_frames=\"yes\" ignored"},
        {"port=abc\r\ntrace_frames=2", 0, "", false, "; trace_frames=\"2\" ignored"},
    };
    for (const auto& row : rows) {
        // Another instance's section holds values of every kind; none of them may count here.
        const std::string file = "[korvanex-vek-driver-0]\r\ndelay=75\r\n" + row.lines +
                                 "\r\n[korvanex-vek-driver-1]\r\nport=300\r\ntrace=/other.log\r\ntrace_frames=1\r\n";
        write_file(path, file);
        const LinkSettings settings = load_link_settings(path.c_str(), 0);
        const std::string shown = row.lines.substr(0, 40);
        EXPECT_EQ(settings.port, row.port) << shown;
        // Only a port's own note makes the key unusable, which fails the start.
        EXPECT_EQ(settings.port_unusable, std::strncmp(row.note, "port=", 5) == 0 || row.lines.rfind("port=abc", 0) == 0)
            << shown;
        EXPECT_EQ(settings.trace_path, row.trace) << shown;
        EXPECT_EQ(settings.trace_frames, row.frames) << shown;
        if (row.note[0] == '\0')
            EXPECT_STREQ(settings.note, "") << shown;
        else
            EXPECT_NE(std::strstr(settings.note, row.note), nullptr) << shown << ": " << settings.note;
        EXPECT_EQ(read_file(path), file) << "reading never writes";
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"host.ini"});

    const LinkSettings other = load_link_settings(path.c_str(), 1);
    EXPECT_EQ(other.port, 0u);
    EXPECT_NE(std::strstr(other.note, "port=\"300\" is not a port number"), nullptr);
    EXPECT_TRUE(other.port_unusable);
    EXPECT_STREQ(other.trace_path, "/other.log");

    for (const char* missing : {static_cast<const char*>(nullptr), "", "/nonexistent-folder/host.ini"}) {
        const LinkSettings none = load_link_settings(missing, 0);
        EXPECT_EQ(none.port, 0u);
        EXPECT_STREQ(none.trace_path, "");
        EXPECT_FALSE(none.trace_frames);
        EXPECT_STREQ(none.note, "");
    }
}

}  // namespace
