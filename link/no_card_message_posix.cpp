#include <cstdio>

#include "link/card_discovery.h"

namespace vek {

// No desktop to own a message box: the caption and the text go to standard error as one line.
void show_no_card_message() {
    std::fputs("VEK KORVANEX driver: Cannot find I/O card, please check connection\n", stderr);
    std::fflush(stderr);
}

}  // namespace vek
