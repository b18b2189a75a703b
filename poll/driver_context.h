// Everything the driver keeps from load to unload, in one object: the instance table, the card's
// line, the process image, and what the host's last call carried. The module has one, reached
// only by DriverEntry; every layer below is handed it by reference, and a test makes its own.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "host/host_interface.h"
#include "link/card_frames.h"
#include "link/trace.h"
#include "poll/instance_table.h"
#include "poll/process_image.h"

namespace vek {

struct DriverContext {
    explicit DriverContext(std::unique_ptr<SerialBackend> backend) : link(std::move(backend)) {
        reset_instance_table(instances);
        link.set_trace(&trace);
    }
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;

    void* module_handle = nullptr;                  // the module's own handle (Windows: its HINSTANCE)
    std::atomic<HostRecord*> host_record{nullptr};  // stored by every call; a poll thread reads it too
    const char* config_path = nullptr;              // stored by every call; read by the settings
    InstanceTable instances{};
    // The line's trace for the field, open from a start with a "trace" setting until the stop
    // after which no instance polls. Declared before the link, which points at it, so that it
    // outlives the link.
    Trace trace;
    CardLink link;
    ProcessImage image{};
    // Poll threads that stop gave up on and that have not finished yet. Such a thread may hold the
    // port's lock for as long as a system call under it takes, so until it is done nothing waits
    // on the line: start refuses, stop and reset leave the port alone.
    std::atomic<uint32_t> abandoned_polls{0};
};

}  // namespace vek
