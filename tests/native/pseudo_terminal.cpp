#include "tests/native/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>

#include "dialog/terminal_dialog.h"

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
    path_ = ::ptsname(master_);
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal() {
    hang_up();
    ::close(slave_);
}

termios PseudoTerminal::settings() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
}

bool PseudoTerminal::type(const std::string& keys) {
    return ::write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

void PseudoTerminal::hang_up() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PseudoTerminal::shows(const std::string& text) {
    // Only a failure waits this long: for a prompt that never comes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (std::size_t found; (found = screen_.find(text)) == std::string::npos;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{master_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[256];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (in_sequence_) {
                in_sequence_ = !(c >= 0x40 && c <= 0x7E && c != '[');
                continue;
            }
            in_sequence_ = c == '\x1B';
            if (!in_sequence_) screen_.push_back(c);
        }
    }
    screen_.erase(0, screen_.find(text) + text.size());
    return true;
}

int32_t dialog_on_terminal(const vek::DialogRequest& request, const std::string& shown, const char* keys,
                           std::string* failure) {
    PseudoTerminal terminal;
    const termios before = terminal.settings();
    std::future<int32_t> end =
        std::async(std::launch::async, [&] { return vek::run_terminal_dialog(request, terminal.path().c_str()); });
    if (!terminal.shows("Vek Sorvanti driver") || !terminal.shows("D\xC3\xA9lai (ms) : " + shown))
        *failure += "it never showed " + shown + ";";
    if (keys == nullptr || !terminal.type(keys)) terminal.hang_up();
    if (end.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        *failure += " it never ended;";
        terminal.hang_up();
    }
    // A terminal that hung up has nobody to restore its settings for.
    const termios after = terminal.settings();
    const bool restored = after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag &&
                          after.c_lflag == before.c_lflag && std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc) == 0;
    if (keys != nullptr && !restored) *failure += " the terminal's settings were not restored;";
    return end.get();
}
