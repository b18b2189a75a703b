#include "link/serial_port.h"

#include <cstdio>
#include <utility>

namespace vek {

void SerialBackend::describe_loss(char* text, std::size_t room) const {
    std::snprintf(text, room, "the system gave no reason");
}

SerialPort::SerialPort(std::unique_ptr<SerialBackend> backend) : backend_(std::move(backend)) {}

template <typename Call>
PortResult SerialPort::on_open_port(Call call) {
    std::lock_guard<std::mutex> guard(lock_);
    if (number_ == 0) return PortResult::closed;
    if (lost_) return PortResult::lost;
    const PortResult result = call();
    if (result == PortResult::lost && !lost_) {
        lost_ = true;
        lost_number_ = number_;
    }
    return result;
}

PortResult SerialPort::open_port(uint32_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    rts_state_ = RtsState::not_asserted;
    lost_ = false;
    read_failed_ = false;
    read_ahead_.clear();
    number_ = 0;
    if (backend_ == nullptr) return PortResult::failed;  // no memory for it at load
    backend_->close();
    if (n < kFirstPort || n > kHighestNamedPort) return PortResult::failed;
    const PortResult opened = backend_->open(n);
    if (opened != PortResult::ok) return opened == PortResult::busy ? PortResult::busy : PortResult::failed;
    number_ = n;
    return PortResult::ok;
}

void SerialPort::close_port() {
    std::lock_guard<std::mutex> guard(lock_);
    if (backend_ != nullptr) backend_->close();
    read_ahead_.clear();
    number_ = 0;
}

void SerialPort::end_scan() {
    std::lock_guard<std::mutex> guard(lock_);
    if (backend_ != nullptr) backend_->end_scan();
}

uint32_t SerialPort::open_port_number() {
    std::lock_guard<std::mutex> guard(lock_);
    return number_;
}

// A status query that fails means the port is gone, whatever the system said.
PortResult SerialPort::read_queue_status(QueueCounts& counts) {
    counts = QueueCounts{};
    return on_open_port([&] {
        if (backend_->queue_counts(counts) != PortResult::ok) return PortResult::lost;
        counts.in_queue += static_cast<uint32_t>(read_ahead_.held());
        return PortResult::ok;
    });
}

PortResult SerialPort::input_queued(uint32_t& count) {
    count = 0;
    return on_open_port([&] {
        if (backend_->input_count(count) != PortResult::ok) return PortResult::lost;
        count += static_cast<uint32_t>(read_ahead_.held());
        return PortResult::ok;
    });
}

PortResult SerialPort::read_byte(uint8_t& byte) {
    return on_open_port([&] {
        if (read_ahead_.held() == 0) {
            uint8_t* into = read_ahead_.room();
            std::size_t got = 0;
            const PortResult read = backend_->read_queued(into, read_ahead_.room_size(), got);
            read_ahead_.appended(got);
            read_failed_ = read == PortResult::failed;
            if (read != PortResult::ok) return read;
            if (got == 0) return PortResult::nothing_yet;
        }
        byte = read_ahead_.take();
        return PortResult::ok;
    });
}

PortResult SerialPort::peek_bytes(uint8_t* into, std::size_t count) {
    if (count > ReadAhead::kCapacity) return PortResult::failed;
    return on_open_port([&] {
        // Each read takes all the system holds that fits, so a frame needs a few reads at most.
        while (read_ahead_.held() < count) {
            uint8_t* room = read_ahead_.room();
            std::size_t got = 0;
            const PortResult read = backend_->read_queued(room, read_ahead_.room_size(), got);
            read_ahead_.appended(got);
            read_failed_ = read == PortResult::failed;
            if (read != PortResult::ok) return read;
            if (got == 0) return PortResult::nothing_yet;
        }
        for (std::size_t i = 0; i < count; ++i) into[i] = read_ahead_.at(i);
        return PortResult::ok;
    });
}

void SerialPort::drop_bytes(std::size_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    read_ahead_.drop(count);
}

PortResult SerialPort::wait_for_bytes(uint32_t count, uint64_t bound_us, const PortWake& wake) {
    return on_open_port([&] {
        const std::size_t held = read_ahead_.held();
        if (held >= count) return PortResult::ok;
        // Reads that fail while the status query still counts queued bytes: a wait that trusted
        // the count would return at once, and its caller would read and fail again without end.
        if (read_failed_) {
            read_failed_ = false;
            return PortResult::failed;
        }
        uint8_t* into = read_ahead_.room();
        std::size_t got = 0;
        const PortResult waited = backend_->wait_for_bytes(count - static_cast<uint32_t>(held), bound_us, wake, into,
                                                           read_ahead_.room_size(), got);
        read_ahead_.appended(got);
        return waited;
    });
}

PortResult SerialPort::write_bytes(const uint8_t* data, std::size_t size) {
    return on_open_port([&] { return backend_->write_all(data, size); });
}

PortResult SerialPort::write_bytes_unguarded(const uint8_t* data, std::size_t size) {
    if (backend_ == nullptr || number_ == 0 || lost_) return PortResult::closed;
    return backend_->write_at_exit(data, size);
}

void SerialPort::assert_rts() {
    std::lock_guard<std::mutex> guard(lock_);
    if (number_ == 0) return;
    backend_->set_rts();
    rts_state_ = RtsState::asserted;
}

void SerialPort::assert_dtr() {
    std::lock_guard<std::mutex> guard(lock_);
    if (number_ != 0) backend_->set_dtr();
}

RtsState SerialPort::rts_state() {
    std::lock_guard<std::mutex> guard(lock_);
    return rts_state_;
}

void SerialPort::describe_loss(char* text, std::size_t room) {
    std::lock_guard<std::mutex> guard(lock_);
    if (backend_ != nullptr) {
        backend_->describe_loss(text, room);
    } else if (room > 0) {
        text[0] = '\0';
    }
}

bool SerialPort::port_lost() {
    std::lock_guard<std::mutex> guard(lock_);
    return lost_;
}

uint32_t SerialPort::lost_port() {
    std::lock_guard<std::mutex> guard(lock_);
    return lost_ ? lost_number_ : 0;
}

bool SerialPort::close_lost_port(uint32_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!lost_ || lost_number_ != n || number_ != n) return false;
    if (backend_ != nullptr) backend_->close();
    read_ahead_.clear();
    number_ = 0;
    return true;
}

}  // namespace vek
