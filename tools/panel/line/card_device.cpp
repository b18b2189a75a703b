#include "panel/line/card_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vek::panel {

namespace {

DeviceOpen failed(int fd, DeviceFailure failure, int error) {
    if (fd >= 0) ::close(fd);
    DeviceOpen result;
    result.failure = failure;
    result.reason = std::strerror(error);
    return result;
}

DeviceFailure failure_of_open(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return DeviceFailure::absent;
    case EACCES:
    case EPERM:
        return DeviceFailure::denied;
    case EBUSY:
        return DeviceFailure::busy;
    case EISDIR:
        return DeviceFailure::folder;
    default:
        return DeviceFailure::other;
    }
}

}  // namespace

DeviceOpen open_card_device(const std::string& path) {
    // Non-blocking, so a device that waits for carrier cannot hold the open.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(-1, failure_of_open(errno), errno);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return failed(fd, DeviceFailure::not_serial, errno);
    // The driver's own lock: a second program on the same line would steal the card's answers.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return failed(fd, DeviceFailure::busy, errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return failed(fd, DeviceFailure::other, errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetspeed(&tio, B115200) != 0) return failed(fd, DeviceFailure::other, errno);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return failed(fd, DeviceFailure::not_serial, errno);
    DeviceOpen result;
    result.fd = fd;
    return result;
}

std::string explain_device_failure(const std::string& path, const DeviceOpen& open) {
    const std::string head = "cannot open " + path + " (" + open.reason + "): ";
    switch (open.failure) {
    case DeviceFailure::absent:
        return head + "no such device. Check that the adapter is plugged in (ls /dev/ttyUSB* /dev/serial/by-id/) "
                      "and name it with --device.";
    case DeviceFailure::denied:
        return head + "no permission. Add yourself to the device's group (often: sudo adduser $USER dialout, "
                      "then log in again).";
    case DeviceFailure::busy:
        return head + "another program is using the port. Close it (fuser -v " + path + " shows it) and try again.";
    case DeviceFailure::not_serial:
        return head + "this is not a serial device. Name the card's serial port, for example /dev/ttyUSB0.";
    case DeviceFailure::folder:
        return "cannot open " + path + ": it is a folder, not a serial device. Name the card's serial port, for "
               "example /dev/ttyUSB0, or give a folder of com<n> links with --ports.";
    case DeviceFailure::other:
    case DeviceFailure::none:
        break;
    }
    return head + "check the device and the cable, and try again.";
}

}  // namespace vek::panel
