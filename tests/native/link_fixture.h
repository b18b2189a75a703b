// What the link tests stand on: a ports folder that maps COMn to devices, a bare pseudo-terminal
// whose far end the test writes byte by byte, and a line of the test's own over the platform's
// backend.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
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

// The platform's backend with the fault of a serial driver stuck in a call: once armed, the next
// status query takes as long as asked, holding the port's lock meanwhile, as a USB driver busy
// for seconds does. Nothing can cut it short, as nothing can cut a system call short.
class StallingBackend final : public SerialBackend {
public:
    explicit StallingBackend(std::unique_ptr<SerialBackend> inner) : inner_(std::move(inner)) {}
    void stall_next_status_query(uint32_t ms) { stall_ms_.store(ms); }

    PortResult open(uint32_t n) override { return inner_->open(n); }
    void close() override { inner_->close(); }
    PortResult queue_counts(QueueCounts& counts) override;
    PortResult input_count(uint32_t& count) override { return inner_->input_count(count); }
    PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) override {
        return inner_->read_queued(into, room, got);
    }
    PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                              std::size_t room, std::size_t& got) override {
        return inner_->wait_for_bytes(missing, bound_us, wake, into, room, got);
    }
    PortResult write_all(const uint8_t* data, std::size_t size) override { return inner_->write_all(data, size); }
    void set_rts() override { inner_->set_rts(); }
    void set_dtr() override { inner_->set_dtr(); }
    void end_scan() override { inner_->end_scan(); }
    void describe_loss(char* text, std::size_t room) const override { inner_->describe_loss(text, room); }

private:
    std::unique_ptr<SerialBackend> inner_;
    std::atomic<uint32_t> stall_ms_{0};
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
