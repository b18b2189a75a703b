// Copies between the host's tables and the card's process image, on the host's calling thread.
#pragma once

#include <cstdint>

#include "abi/host_interface.h"
#include "poll/instance_table.h"
#include "poll/process_image.h"

namespace vek {

// DRV_READ_INPUTS: the card's inputs into the host's tables (16 set_input calls, two reals).
void read_inputs(ProcessImage& image, const DriverInstance& instance, const HostRecord& host);

// DRV_WRITE_OUTPUTS: the host's outputs into the process image, for the poll thread to send.
void write_outputs(ProcessImage& image, const DriverInstance& instance, const HostRecord& host);

}  // namespace vek
