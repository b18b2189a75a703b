#include "panel/view/screen.h"

#include <curses.h>
#include <unistd.h>

namespace vek::panel {

namespace {

enum Colour : short { kOn = 1, kAlarm = 2, kOutputOn = 3 };

chtype attributes(Ink ink) {
    switch (ink) {
    case Ink::plain: return A_NORMAL;
    case Ink::bold: return A_BOLD;
    case Ink::on: return COLOR_PAIR(kOn) | A_BOLD;
    case Ink::alarm: return COLOR_PAIR(kAlarm) | A_BOLD;
    case Ink::output_on: return COLOR_PAIR(kOutputOn) | A_BOLD;
    case Ink::dim: return A_DIM;
    case Ink::reverse: return A_REVERSE;
    }
    return A_NORMAL;
}

}  // namespace

bool output_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

bool screen_available() { return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0; }

bool screen_open() {
    if (initscr() == nullptr) return false;
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(kOn, COLOR_GREEN, -1);
        init_pair(kAlarm, COLOR_RED, -1);
        init_pair(kOutputOn, COLOR_YELLOW, -1);
    }
    return true;
}

void screen_close() { endwin(); }

int screen_columns() { return COLS; }
int screen_lines() { return LINES; }

void screen_clear() { erase(); }

void screen_put(int line, int column, const std::string& text, Ink ink) {
    const chtype attrs = attributes(ink);
    if (attrs != A_NORMAL) attron(attrs);
    mvaddstr(line, column, text.c_str());
    if (attrs != A_NORMAL) attroff(attrs);
}

void screen_show() { refresh(); }

void screen_redraw() { clearok(stdscr, TRUE); }

int screen_key(int wait_ms) {
    timeout(wait_ms);
    const int key = getch();
    switch (key) {
    case ERR: return kKeyNone;
    case '\n':
    case KEY_ENTER: return kKeyEnter;
    case KEY_BACKSPACE:
    case 127:
    case 8: return kKeyBackspace;
    case KEY_RESIZE: return kKeyResize;
    default: return key;
    }
}

void screen_suspend() {
    def_prog_mode();
    endwin();
}

void screen_resume() {
    reset_prog_mode();
    clearok(stdscr, TRUE);
}

}  // namespace vek::panel
