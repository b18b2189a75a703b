// The delay dialog on Linux, driven through real pseudo-terminals: the test holds the terminal's
// far side and plays the user, the way a terminal emulator passes on what is typed.
#include "dialog/terminal_dialog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/native/test_support.h"

namespace {

// Only a failing test waits this long: for a prompt that never comes, or a dialog that never ends.
constexpr auto kPatience = std::chrono::seconds(30);

class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
        path_ = ::ptsname(master_);
        // Held open, so that the far side sees no hang-up before the dialog opens the terminal.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PseudoTerminal() {
        hang_up();
        ::close(slave_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return path_; }
    termios settings() const {
        termios t{};
        ::tcgetattr(slave_, &t);
        return t;
    }
    void type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    void hang_up() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Reads what the dialog shows until text appears in it, colours and line clearing left out.
    // What was shown up to there is consumed.
    bool shows(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            const std::size_t found = screen_.find(text);
            if (found != std::string::npos) {
                screen_.erase(0, found + text.size());
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) return false;
            add_to_screen(std::string(buffer, static_cast<std::size_t>(n)));
        }
    }

private:
    void add_to_screen(const std::string& bytes) {
        for (char c : bytes) {
            if (in_sequence_) {
                in_sequence_ = !(c >= 0x40 && c <= 0x7E && c != '[');
                continue;
            }
            in_sequence_ = c == '\x1B';
            if (!in_sequence_) screen_.push_back(c);
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string screen_;
    bool in_sequence_ = false;
};

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

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME];
}

class TerminalDialogTest : public DriverTest {
protected:
    // An instance as the host creates it, loading its delay from the configuration file.
    DriverInstance& created(uint32_t number) {
        HostDriverRecord rec{};
        EXPECT_EQ(host.call(number, DRV_CREATE, rec), 0);
        return record(rec.slot);
    }
};

TEST_F(TerminalDialogTest, ShowsTheDialogAndStoresAndSavesTheTypedValueOnEnter) {
    write_file(host.config_path, "[General]\nLanguage=FR\n");
    DriverInstance& instance = created(3);
    PseudoTerminal terminal;
    const termios before = terminal.settings();
    {
        DialogOnTerminal dialog(host.config_path, instance, terminal);
        EXPECT_TRUE(terminal.shows("Vek Sorvanti driver"));
        EXPECT_TRUE(terminal.shows("D\xC3\xA9lai (ms) : 50")) << "no settings entry: the default delay";
        terminal.type("120\r");
        EXPECT_EQ(dialog.end_code(), 1);
    }
    EXPECT_EQ(instance.delay_ms.load(), 120u);
    EXPECT_EQ(read_file(host.config_path), "[General]\nLanguage=FR\n[korvanex-vek-driver-3]\ndelay=120\n");
    EXPECT_TRUE(same_settings(terminal.settings(), before)) << "the terminal's settings are restored";
}

TEST_F(TerminalDialogTest, ReadsWhatIsTypedAsTheWindowsFieldWouldBeRead) {
    const struct {
        const char* keys;
        uint32_t stored;
        const char* what;
    } cases[] = {
        {"\r", 50, "Enter alone keeps the value shown"},
        {"7\r", 7, "typing replaces the value shown"},
        {"\x7F\r", 0, "an emptied field stores 0"},
        {"ms\r", 0, "text that is not a number stores 0"},
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
        terminal.type(c.keys);
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
        {"\x1B", "Escape"},     {"12\x1B", "Escape after typing"}, {"\x03", "Ctrl-C"}, {"\x04", "end of input"},
        {nullptr, "a hang-up"},
    };
    for (const auto& c : cases) {
        DriverInstance& instance = created(2);
        PseudoTerminal terminal;
        DialogOnTerminal dialog(host.config_path, instance, terminal);
        EXPECT_TRUE(terminal.shows(": 75")) << c.what;
        if (c.keys != nullptr) {
            terminal.type(c.keys);
        } else {
            terminal.hang_up();
        }
        EXPECT_EQ(dialog.end_code(), 2) << c.what;
        EXPECT_EQ(instance.delay_ms.load(), 75u) << c.what;
        EXPECT_EQ(read_file(host.config_path), file) << c.what;
    }
}

// A child in a session of its own, whose controlling terminal (if any) is the given one: the way
// a host runs from a terminal, or detached from every terminal. It answers DRV_CONFIGURE's result
// in its exit status.
pid_t host_in_new_session(const std::string& config_path, const char* controlling_terminal) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    ::setsid();
    // Opened without O_NOCTTY by a session leader: it becomes the controlling terminal.
    if (controlling_terminal != nullptr && ::open(controlling_terminal, O_RDWR) < 0) ::_exit(100);
    ModuleContext driver(make_platform_backend());
    HostDriverRecord rec{};
    HostRecord record{};
    if (driver_entry(driver, 4, DRV_CREATE, &record, &rec, config_path.c_str()) != 0) ::_exit(101);
    ::_exit(driver_entry(driver, 4, DRV_CONFIGURE, &record, &rec, config_path.c_str()) & 0xFF);
}

TEST_F(TerminalDialogTest, DriverEntryPresentsTheDialogOnTheControllingTerminal) {
    PseudoTerminal terminal;
    const pid_t host_process = host_in_new_session(host.config_path, terminal.path().c_str());
    EXPECT_TRUE(terminal.shows("D\xC3\xA9lai (ms) : 50"));
    terminal.type("120\r");
    EXPECT_EQ(child_exit_status(host_process), 1);
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-4]\r\ndelay=120\r\n");
}

TEST_F(TerminalDialogTest, WithoutATerminalTheDialogCannotBeShown) {
    const pid_t host_process = host_in_new_session(host.config_path, nullptr);
    EXPECT_EQ(child_exit_status(host_process), 255) << "-1";

    DriverInstance& instance = created(5);
    write_file(dir.file("not-a-terminal"), "text");
    const DialogRequest request{nullptr, host.config_path.c_str(), instance.number, &instance.delay_ms};
    EXPECT_EQ(run_terminal_dialog(request, dir.file("not-a-terminal").c_str()), -1);
    EXPECT_EQ(run_terminal_dialog(request, dir.file("missing").c_str()), -1);
    EXPECT_EQ(read_file(dir.file("not-a-terminal")), "text");
    EXPECT_EQ(instance.delay_ms.load(), 50u);
    EXPECT_FALSE(file_exists(host.config_path));
}

}  // namespace
