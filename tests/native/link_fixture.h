// What the link tests stand on: a ports folder that maps COMn to devices, a bare pseudo-terminal
// whose far end the test writes byte by byte, and a line of the test's own over the platform's
// backend.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/platform_notices.h"
#include "link/card_link.h"
#include "link/serial_port.h"
#include "tests/native/test_support.h"
#include "tests/shared/process_meter.h"

// A pseudo-terminal pair in raw mode; the test holds the card's end.
class BarePty {
public:
    BarePty();
    ~BarePty();
    BarePty(const BarePty&) = delete;
    BarePty& operator=(const BarePty&) = delete;

    const std::string& device() const { return device_; }
    void send(const std::vector<uint8_t>& bytes);  // as the card would
    std::vector<uint8_t> received(int wait_ms);     // what the driver wrote, after a short wait
    void hang_up();                                 // close the card's end

private:
    int master_ = -1;
    int slave_ = -1;  // kept open so the line stays raw between the driver's opens
    std::string device_;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // COMn now opens `device`; an empty folder in place of a device makes the port refuse to open.
    void map_port(uint32_t n, const std::string& device);
    std::string port_link(uint32_t n) const { return ports.file("com" + std::to_string(n)); }
    SerialPort& port() { return link.port(); }

    TempDir ports;
    Trace link_trace{platform_notices()};
    CardLink link{make_platform_backend(), link_trace};
};
