// The live view's screen and keyboard: curses on POSIX (screen_posix.cpp), the console on
// Windows (screen_win32.cpp). A frame is drawn into the screen with screen_put between
// screen_clear and screen_show; the view never touches the terminal itself.
#pragma once

#include <string>

namespace vek::panel {

// How a text is drawn.
// dim: an old value, what the card last sent; reverse: an overlay over the view.
enum class Ink { plain, bold, on, alarm, output_on, dim, reverse };

// Keys screen_key returns besides characters.
constexpr int kKeyNone = -1;        // none came in time
constexpr int kKeyEnter = 0x1000;
constexpr int kKeyBackspace = 0x1001;
constexpr int kKeyResize = 0x1002;  // the screen changed size: draw again

// True when standard input and output are both a terminal the view can run on.
bool screen_available();
// True when standard output alone is a terminal.
bool output_is_terminal();

// Takes the terminal over (its own screen, no echo, keys one at a time). False when it cannot.
bool screen_open();
// Gives the terminal back as it was.
void screen_close();

int screen_columns();
int screen_lines();

void screen_clear();
void screen_put(int line, int column, const std::string& text, Ink ink = Ink::plain);
void screen_show();
// The next screen_show draws every cell again, for when something else wrote over the screen.
void screen_redraw();

// The next key, waiting at most wait_ms; kKeyNone when none came.
int screen_key(int wait_ms);

// Hands the terminal back for a while (the driver's delay dialog), and takes it again.
void screen_suspend();
void screen_resume();

}  // namespace vek::panel
