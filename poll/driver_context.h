// Everything the driver's polling keeps from load to unload, in one object: the instance table,
// the card's line, the process image, the host's last record, and how to tell the user things.
// The module has one, inside the host layer's context reached only by DriverEntry; every layer
// below is handed it by reference, and a test makes its own.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "abi/host_interface.h"
#include "link/card_link.h"
#include "poll/instance_table.h"
#include "poll/process_image.h"
#include "support/notices.h"
#include "support/trace.h"

namespace vek {

struct DriverContext {
    DriverContext(std::unique_ptr<SerialBackend> backend, const Notices& told)
        : notices(told), trace(told), link(std::move(backend), trace) {
        reset_instance_table(instances);
    }
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;

    const Notices notices;                          // installed by the host layer
    std::atomic<HostRecord*> host_record{nullptr};  // stored by every call; a poll thread reads it too
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
