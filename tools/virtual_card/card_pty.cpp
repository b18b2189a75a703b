#include "card_pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool open_card_pty(CardPty* pty, std::string* error) {
    CardPty made;
    made.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (made.master < 0) return fail(error, "posix_openpt");
    char name[PATH_MAX];
    if (::grantpt(made.master) != 0 || ::unlockpt(made.master) != 0 ||
        ::ptsname_r(made.master, name, sizeof name) != 0) {
        fail(error, "preparing the pseudo-terminal");
        close_card_pty(&made);
        return false;
    }
    made.device = name;
    const int flags = ::fcntl(made.master, F_GETFL);
    if (flags < 0 || ::fcntl(made.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail(error, "fcntl O_NONBLOCK");
        close_card_pty(&made);
        return false;
    }
    // Raw on the slave side, before anyone else opens it: a cooked line would echo the driver's
    // frames back to it and hold bytes until a newline.
    made.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (made.slave < 0 || ::tcgetattr(made.slave, &tio) != 0) {
        fail(error, std::string("opening ") + name);
        close_card_pty(&made);
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    if (::tcsetattr(made.slave, TCSANOW, &tio) != 0) {
        fail(error, "tcsetattr");
        close_card_pty(&made);
        return false;
    }
    *pty = made;
    return true;
}

void close_card_pty(CardPty* pty) {
    if (pty->slave >= 0) ::close(pty->slave);
    if (pty->master >= 0) ::close(pty->master);
    pty->slave = -1;
    pty->master = -1;
}
