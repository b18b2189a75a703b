// The live view on the Windows console: a screen buffer of its own, drawn with virtual-terminal
// sequences where the console takes them, with the console's cell functions otherwise; keys
// from the console's input events.
#include "panel/view/screen.h"

#include <windows.h>

#include <string>
#include <vector>

namespace vek::panel {

namespace {

struct Cell {
    char ch = ' ';
    Ink ink = Ink::plain;
    bool operator!=(const Cell& other) const { return ch != other.ch || ink != other.ink; }
};

struct Console {
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;   // the console's own buffer, given back on closing
    HANDLE buffer = INVALID_HANDLE_VALUE;   // the view's
    DWORD input_mode = 0;
    WORD plain = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
    bool vt = false;
    int columns = 0;
    int lines = 0;
    std::vector<Cell> cells;
    std::vector<Cell> shown;                // what the console shows, for the sequences' path
    bool redraw_all = true;
};

Console g_console;

// Console input with the keys one at a time and unechoed; Ctrl-C still goes to the interrupt
// handler; size changes come as events. Quick edit is off: a selection made with the mouse
// would hold every write, and with them the host's cycle.
constexpr DWORD kInputMode = ENABLE_PROCESSED_INPUT | ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS;

void window_size(int* columns, int* lines) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(g_console.buffer, &info)) {
        *columns = g_console.columns;
        *lines = g_console.lines;
        return;
    }
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *lines = info.srWindow.Bottom - info.srWindow.Top + 1;
}

// The buffer the size of the window, so that the view fills it without a scroll bar.
void fit_buffer() {
    int columns = 0;
    int lines = 0;
    window_size(&columns, &lines);
    if (columns > 0 && lines > 0) {
        // Refused while the window is larger than the new size; the view then draws in its top left.
        SetConsoleScreenBufferSize(g_console.buffer, COORD{static_cast<SHORT>(columns), static_cast<SHORT>(lines)});
    }
    g_console.columns = columns;
    g_console.lines = lines;
    g_console.cells.assign(static_cast<std::size_t>(columns > 0 && lines > 0 ? columns * lines : 0), Cell{});
    g_console.shown.clear();
    g_console.redraw_all = true;
}

WORD attribute(Ink ink) {
    const WORD background = g_console.plain & 0xF0;
    switch (ink) {
    case Ink::plain: return g_console.plain;
    case Ink::bold: return static_cast<WORD>(g_console.plain | FOREGROUND_INTENSITY);
    case Ink::on: return static_cast<WORD>(background | FOREGROUND_GREEN | FOREGROUND_INTENSITY);
    case Ink::alarm: return static_cast<WORD>(background | FOREGROUND_RED | FOREGROUND_INTENSITY);
    case Ink::output_on: return static_cast<WORD>(background | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY);
    // The console has no dim: grey on the background.
    case Ink::dim: return static_cast<WORD>(background | FOREGROUND_INTENSITY);
    case Ink::reverse: return static_cast<WORD>(((g_console.plain & 0x0F) << 4) | ((g_console.plain & 0xF0) >> 4));
    }
    return g_console.plain;
}

const char* sequence(Ink ink) {
    switch (ink) {
    case Ink::plain: return "\x1b[0m";
    case Ink::bold: return "\x1b[0;1m";
    case Ink::on: return "\x1b[0;1;32m";
    case Ink::alarm: return "\x1b[0;1;31m";
    case Ink::output_on: return "\x1b[0;1;33m";
    case Ink::dim: return "\x1b[0;2m";
    case Ink::reverse: return "\x1b[0;7m";
    }
    return "\x1b[0m";
}

void write_text(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteConsoleA(g_console.buffer, data, static_cast<DWORD>(left), &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
    }
}

// Each line that changed, from its start; its tail is cleared rather than written, so that no
// write reaches the last column and the console never scrolls.
void show_with_sequences() {
    const auto width = static_cast<std::size_t>(g_console.columns);
    const bool all = g_console.redraw_all || g_console.shown.size() != g_console.cells.size();
    std::string out = all ? "\x1b[0m\x1b[2J" : "";
    for (int line = 0; line < g_console.lines; ++line) {
        const auto first = static_cast<std::size_t>(line) * width;
        bool changed = all;
        for (std::size_t i = first; !changed && i < first + width; ++i) changed = g_console.cells[i] != g_console.shown[i];
        if (!changed) continue;
        std::size_t end = first + width;
        while (end > first && g_console.cells[end - 1].ch == ' ' && g_console.cells[end - 1].ink == Ink::plain) --end;
        out += "\x1b[" + std::to_string(line + 1) + ";1H";
        Ink ink = Ink::plain;
        out += sequence(ink);
        for (std::size_t i = first; i < end; ++i) {
            if (g_console.cells[i].ink != ink) {
                ink = g_console.cells[i].ink;
                out += sequence(ink);
            }
            out += g_console.cells[i].ch;
        }
        out += "\x1b[0m\x1b[K";
    }
    write_text(out);
    g_console.shown = g_console.cells;
    g_console.redraw_all = false;
}

void show_with_cells() {
    std::vector<CHAR_INFO> chars(g_console.cells.size());
    for (std::size_t i = 0; i < chars.size(); ++i) {
        chars[i].Char.AsciiChar = g_console.cells[i].ch;
        chars[i].Attributes = attribute(g_console.cells[i].ink);
    }
    const COORD size{static_cast<SHORT>(g_console.columns), static_cast<SHORT>(g_console.lines)};
    SMALL_RECT area{0, 0, static_cast<SHORT>(g_console.columns - 1), static_cast<SHORT>(g_console.lines - 1)};
    WriteConsoleOutputA(g_console.buffer, chars.data(), size, COORD{0, 0}, &area);
}

int key_of(const KEY_EVENT_RECORD& key) {
    if (!key.bKeyDown) return kKeyNone;
    const auto ch = static_cast<unsigned char>(key.uChar.AsciiChar);
    switch (ch) {
    case 0: return kKeyNone;  // Shift, Ctrl, the arrows: nothing the view uses
    case '\r': return kKeyEnter;
    case 8: return kKeyBackspace;
    default: return ch;
    }
}

// Whether the buffer acts on virtual-terminal sequences. Some consoles take the mode and then
// print the sequences as text (Wine's, for one): a cursor move is written, and where the cursor
// went tells.
bool acts_on_sequences(HANDLE buffer) {
    DWORD mode = 0;
    if (!GetConsoleMode(buffer, &mode) ||
        !SetConsoleMode(buffer, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    const std::string move = "\x1b[3;5H";
    DWORD written = 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const bool moved = WriteConsoleA(buffer, move.data(), static_cast<DWORD>(move.size()), &written, nullptr) &&
                       GetConsoleScreenBufferInfo(buffer, &info) && info.dwCursorPosition.X == 4 &&
                       info.dwCursorPosition.Y == 2;
    if (!moved) SetConsoleMode(buffer, mode);
    SetConsoleCursorPosition(buffer, COORD{0, 0});
    return moved;
}

void take_console() {
    SetConsoleMode(g_console.input, kInputMode);
    SetConsoleActiveScreenBuffer(g_console.buffer);
    fit_buffer();
}

}  // namespace

bool output_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool screen_available() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

bool screen_open() {
    g_console.input = GetStdHandle(STD_INPUT_HANDLE);
    g_console.output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(g_console.input, &g_console.input_mode)) return false;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(g_console.output, &info)) g_console.plain = info.wAttributes;
    g_console.buffer = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (g_console.buffer == INVALID_HANDLE_VALUE) return false;
    g_console.vt = acts_on_sequences(g_console.buffer);
    const CONSOLE_CURSOR_INFO hidden{1, FALSE};
    SetConsoleCursorInfo(g_console.buffer, &hidden);
    take_console();
    return true;
}

void screen_close() {
    if (g_console.buffer == INVALID_HANDLE_VALUE) return;
    SetConsoleActiveScreenBuffer(g_console.output);
    SetConsoleMode(g_console.input, g_console.input_mode);
    CloseHandle(g_console.buffer);
    g_console.buffer = INVALID_HANDLE_VALUE;
}

int screen_columns() { return g_console.columns; }
int screen_lines() { return g_console.lines; }

void screen_clear() {
    int columns = 0;
    int lines = 0;
    window_size(&columns, &lines);
    if (columns != g_console.columns || lines != g_console.lines) fit_buffer();
    for (Cell& cell : g_console.cells) cell = Cell{};
}

void screen_put(int line, int column, const std::string& text, Ink ink) {
    if (line < 0 || line >= g_console.lines || column < 0) return;
    for (std::size_t i = 0; i < text.size() && column + static_cast<int>(i) < g_console.columns; ++i) {
        Cell& cell = g_console.cells[static_cast<std::size_t>(line * g_console.columns + column) + i];
        cell.ch = text[i];
        cell.ink = ink;
    }
}

void screen_show() {
    if (g_console.cells.empty()) return;
    if (g_console.vt) {
        show_with_sequences();
    } else {
        show_with_cells();
    }
}

void screen_redraw() { g_console.redraw_all = true; }

int screen_key(int wait_ms) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms > 0 ? wait_ms : 0);
    for (;;) {
        int columns = 0;
        int lines = 0;
        window_size(&columns, &lines);
        if (columns != g_console.columns || lines != g_console.lines) return kKeyResize;
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(g_console.input, left) != WAIT_OBJECT_0) return kKeyNone;
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputA(g_console.input, &record, 1, &read) || read == 0) return kKeyNone;
        if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) return kKeyResize;
        if (record.EventType == KEY_EVENT) {
            const int key = key_of(record.Event.KeyEvent);
            if (key != kKeyNone) return key;
        }
        if (GetTickCount64() >= deadline) return kKeyNone;
    }
}

void screen_suspend() {
    SetConsoleActiveScreenBuffer(g_console.output);
    SetConsoleMode(g_console.input, g_console.input_mode);
}

void screen_resume() { take_console(); }

}  // namespace vek::panel
