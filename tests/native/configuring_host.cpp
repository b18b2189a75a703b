// A host in a session of its own, polling the card while it calls DRV_CONFIGURE: with the given
// terminal as its controlling terminal, or with none. After the dialog it polls on for a second,
// then stops. Its exit status is the dialog's end code, or 100 and up when a step failed.
// A program of its own, not a bare fork of the test: a fork keeps only the forking thread, and a
// lock another of the test's threads held at that moment stays held in the child for good.
//
//   vek_configuring_host SETTINGS [TERMINAL]
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "host/driver_entry.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return 110;
    ::setsid();
    if (argc == 3 && ::open(argv[2], O_RDWR) < 0) return 100;  // the first terminal opened becomes the session's
    const char* settings = argv[1];
    vek::ModuleContext driver(vek::make_platform_backend());
    HostRecord record{};
    HostDriverRecord rec{};
    if (vek::driver_entry(driver, 0, DRV_CREATE, &record, &rec, settings) != 0) return 101;
    if (vek::driver_entry(driver, 0, DRV_START, &record, &rec, settings) != 0) return 102;
    const int32_t end = vek::driver_entry(driver, 0, DRV_CONFIGURE, &record, &rec, settings);
    if (driver.driver.first_card.poll_thread == nullptr) return 103;
    ::usleep(1000000);  // polling on at the delay the dialog left
    if (vek::driver_entry(driver, 0, DRV_STOP, &record, &rec, settings) != 0) return 104;
    return end & 0xFF;
}
