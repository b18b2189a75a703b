// The delay dialog on Linux, driven through real pseudo-terminals: the test holds the terminal's
// far side and plays the user, the way a terminal emulator passes on what is typed. What the
// dialog shows and stores as the Windows one does is told in tests/stories/host.stories, and the
// terminal DriverEntry shows it on in host_misuse_test.cpp; here, the keys of a terminal.
#include "dialog/terminal_dialog.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "tests/native/pseudo_terminal.h"
#include "tests/native/test_support.h"

namespace {

// Only a failing test waits this long: for a prompt that never comes, or a dialog that never ends.
constexpr auto kPatience = std::chrono::seconds(30);

// The dialog, run on its own thread the way the host's thread would run it, on the given terminal.
class DialogOnTerminal {
public:
    DialogOnTerminal(const std::string& config_path, DriverInstance& instance, PseudoTerminal& terminal)
        : terminal_(terminal) {
        std::packaged_task<int32_t()> task(
            [&instance, config = config_path, path = terminal.path()] {
                const DialogRequest request{nullptr, config.c_str(), instance.number, &instance.delay_ms};
                return run_terminal_dialog(request, path.c_str());
            });
        end_ = task.get_future();
        thread_ = std::thread(std::move(task));
    }
    ~DialogOnTerminal() {
        if (!thread_.joinable()) return;
        terminal_.hang_up();
        thread_.join();
    }
    DialogOnTerminal(const DialogOnTerminal&) = delete;
    DialogOnTerminal& operator=(const DialogOnTerminal&) = delete;

    int32_t end_code() {
        if (end_.wait_for(kPatience) != std::future_status::ready) {
            ADD_FAILURE() << "the dialog did not end";
            terminal_.hang_up();
        }
        thread_.join();
        return end_.get();
    }

private:
    PseudoTerminal& terminal_;
    std::future<int32_t> end_;
    std::thread thread_;
};

class TerminalDialogTest : public DriverTest {
protected:
    // An instance as the host creates it, loading its delay from the configuration file.
    DriverInstance& created(uint32_t number) {
        HostDriverRecord rec{};
        EXPECT_EQ(host.call(number, DRV_CREATE, rec), 0);
        return record(rec.slot);
    }
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
        DriverInstance& instance = created(1);
        PseudoTerminal terminal;
        DialogOnTerminal dialog(host.config_path, instance, terminal);
        EXPECT_TRUE(terminal.shows(": 50")) << c.what;
        EXPECT_TRUE(terminal.type(c.keys));
        EXPECT_EQ(dialog.end_code(), 1) << c.what;
        EXPECT_EQ(instance.delay_ms.load(), c.stored) << c.what;
        EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-1]\r\ndelay=" + std::to_string(c.stored) + "\r\n")
            << c.what;
        std::remove(host.config_path.c_str());
    }
}

TEST_F(TerminalDialogTest, EscapeEndOfInputAndHangUpCancelAndChangeNothing) {
    const std::string file = "[korvanex-vek-driver-2]\r\ndelay=75\r\n";
    write_file(host.config_path, file);
    const struct {
        const char* keys;  // null: the terminal hangs up
        const char* what;
    } cases[] = {
        {"\x1B", "Escape"}, {"\x03", "Ctrl-C"}, {"\x04", "end of input"}, {nullptr, "a hang-up"},
    };
    for (const auto& c : cases) {
        DriverInstance& instance = created(2);
        PseudoTerminal terminal;
        DialogOnTerminal dialog(host.config_path, instance, terminal);
        EXPECT_TRUE(terminal.shows(": 75")) << c.what;
        if (c.keys != nullptr) {
            EXPECT_TRUE(terminal.type(c.keys));
        } else {
            terminal.hang_up();
        }
        EXPECT_EQ(dialog.end_code(), 2) << c.what;
        EXPECT_EQ(instance.delay_ms.load(), 75u) << c.what;
        EXPECT_EQ(read_file(host.config_path), file) << c.what;
    }
}

}  // namespace
