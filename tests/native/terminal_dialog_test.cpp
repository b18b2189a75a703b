// The delay dialog on Linux, driven through real pseudo-terminals: the test holds the terminal's
// far side and plays the user, the way a terminal emulator passes on what is typed. What the
// dialog shows and stores as the Windows one does is told in tests/stories/host.stories, and the
// terminal DriverEntry shows it on in host_misuse_test.cpp; here, the keys of a terminal.
#include <cstdio>
#include <string>

#include "tests/native/pseudo_terminal.h"
#include "tests/native/test_support.h"

namespace {

class TerminalDialogTest : public DriverTest {
protected:
    // The dialog for an instance as the host creates it, its delay loaded from the file, with the
    // user typing `keys` (hanging up, for null); its end code.
    int32_t dialog(uint32_t number, const std::string& shown, const char* keys) {
        HostDriverRecord rec{};
        EXPECT_EQ(host.call(number, DRV_CREATE, rec), 0);
        instance = &record(rec.slot);
        const DialogRequest request{nullptr, host.config_path.c_str(), number, &instance->delay_ms};
        std::string failure;
        const int32_t end = dialog_on_terminal(request, shown, keys, &failure);
        EXPECT_EQ(failure, "");
        return end;
    }
    DriverInstance* instance = nullptr;
};

TEST_F(TerminalDialogTest, ReadsWhatIsTypedAsTheWindowsFieldWouldBeRead) {
    const struct {
        const char* keys;
        uint32_t stored;
        const char* what;
    } cases[] = {
        {"\r", 50, "Enter alone keeps the value shown"},
        {"12a\r", 12, "digits then text store the digits"},
        {"1\1779\r", 9, "Backspace erases what was typed"},
        {"\x1B[D\x1BOH8\r", 8, "cursor keys are not Escape"},
        {"4\xC3\xA9\1772\n", 42, "Backspace erases a whole character"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dialog(1, "50", c.keys), 1) << c.what;
        EXPECT_EQ(instance->delay_ms.load(), c.stored) << c.what;
        EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-1]\r\ndelay=" + std::to_string(c.stored) + "\r\n")
            << c.what;
        std::remove(host.config_path.c_str());
    }
}

TEST_F(TerminalDialogTest, EscapeEndOfInputAndHangUpCancelAndChangeNothing) {
    const std::string file = "[korvanex-vek-driver-2]\r\ndelay=75\r\n";
    write_file(host.config_path, file);
    for (const char* keys : {"\x1B", "\x03", "\x04", static_cast<const char*>(nullptr)}) {
        const std::string what = keys != nullptr ? "key " + std::to_string(keys[0]) : "a hang-up";
        EXPECT_EQ(dialog(2, "75", keys), 2) << what;
        EXPECT_EQ(instance->delay_ms.load(), 75u) << what;
        EXPECT_EQ(read_file(host.config_path), file) << what;
    }
}

}  // namespace
