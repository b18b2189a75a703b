#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "dialog/configure_dialog.h"
#include "dialog/field_number.h"
#include "dialog/terminal_dialog.h"

namespace vek {

namespace {

constexpr char kCaption[] = "Vek Sorvanti driver";
constexpr char kKeys[] = "Enter: OK   Escape: Cancel";
constexpr char kLabel[] = "D\xC3\xA9lai (ms) : ";  // UTF-8, as terminals expect today

constexpr char kEscape = '\x1B';
constexpr char kInterrupt = '\x03';  // Ctrl-C: signals are off while the dialog reads keys
constexpr char kEndOfInput = '\x04';
constexpr char kBackspace = '\x08';
constexpr char kDelete = '\x7F';

// The terminal, opened for the dialog and switched to reading single keys without echo, so that
// Escape can be seen and the field drawn by the dialog. The user's settings come back on close.
class Terminal {
public:
    explicit Terminal(const char* path) {
        // No O_NOCTTY would let a host without a controlling terminal acquire this one.
        fd_ = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0 || ::tcgetattr(fd_, &saved_) != 0) return;
        termios keys = saved_;
        keys.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        // Flushing drops keys pressed before the dialog appeared: they must not answer it.
        keys_mode_ = ::tcsetattr(fd_, TCSAFLUSH, &keys) == 0;
    }
    ~Terminal() {
        if (keys_mode_) ::tcsetattr(fd_, TCSADRAIN, &saved_);
        if (fd_ >= 0) ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool usable() const { return keys_mode_; }

    void show(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // a terminal that hung up: reading tells the dialog so
            done += static_cast<std::size_t>(n);
        }
    }

    // The keys pressed since the last call, as they came; empty at end of input or hang-up. This
    // waits for the user, as a dialog does, for as long as the terminal is there.
    std::string next_keys() {
        char buffer[64];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) return std::string(buffer, static_cast<std::size_t>(n));
            if (n < 0 && errno == EINTR) continue;
            return {};
        }
    }

private:
    int fd_ = -1;
    termios saved_{};
    bool keys_mode_ = false;
};

// The delay field. Like a Windows field entered from the keyboard, it starts with its whole text
// selected: the first character typed replaces it, and Enter alone keeps it.
struct Field {
    std::string text;
    bool selected = true;

    void type(char c) {
        if (selected) text.clear();
        selected = false;
        text.push_back(c);
    }
    void erase() {
        if (selected) text.clear();
        selected = false;
        // A whole UTF-8 character: its continuation bytes, then its first byte.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
        if (!text.empty()) text.pop_back();
    }
    std::string drawn() const {
        // Reverse video marks the selection.
        return std::string("\r") + kLabel + (selected ? "\x1B[7m" + text + "\x1B[m" : text) + "\x1B[K";
    }
};

enum class Outcome { editing, ok, cancel };

// Where a key sequence that begins with Escape at keys[at] ends, or at itself when it is the
// Escape key alone. Cursor and function keys arrive as one sequence, ESC [ ... or ESC O x.
std::size_t end_of_sequence(const std::string& keys, std::size_t at) {
    if (at + 1 >= keys.size()) return at;
    if (keys[at + 1] == 'O') return at + 2 < keys.size() ? at + 2 : at + 1;
    if (keys[at + 1] != '[') return at;
    std::size_t end = at + 2;
    while (end < keys.size() && !(keys[end] >= 0x40 && keys[end] <= 0x7E)) ++end;
    return end;
}

Outcome apply_keys(Field& field, const std::string& keys) {
    for (std::size_t at = 0; at < keys.size(); ++at) {
        const char key = keys[at];
        if (key == '\r' || key == '\n') return Outcome::ok;
        if (key == kInterrupt || key == kEndOfInput) return Outcome::cancel;
        if (key == kEscape) {
            const std::size_t end = end_of_sequence(keys, at);
            if (end == at) return Outcome::cancel;
            at = end;  // a cursor or function key: the field has no use for it
        } else if (key == kBackspace || key == kDelete) {
            field.erase();
        } else if (static_cast<unsigned char>(key) >= 0x20) {
            field.type(key);
        }
    }
    return Outcome::editing;
}

}  // namespace

int32_t run_terminal_dialog(const DialogRequest& request, const char* terminal_path) {
    Outcome outcome = Outcome::editing;
    Field field{std::to_string(request.delay_ms->load())};
    {
        Terminal terminal(terminal_path);
        if (!terminal.usable()) return kDialogFailed;
        terminal.show(std::string("\r\n") + kCaption + "\r\n" + kKeys + "\r\n" + field.drawn());
        while (outcome == Outcome::editing) {
            const std::string keys = terminal.next_keys();
            outcome = keys.empty() ? Outcome::cancel : apply_keys(field, keys);
            terminal.show(field.drawn());
        }
        terminal.show("\r\n");
    }
    if (outcome == Outcome::cancel) return kDialogCancel;
    accept_delay(request, field_number(field.text));
    return kDialogOk;
}

}  // namespace vek
