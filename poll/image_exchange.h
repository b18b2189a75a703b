// Copies between the host's tables and the card's process image, on the host's calling thread.
#pragma once

#include <cstdint>

#include "host/host_interface.h"
#include "host/instance_table.h"

// DRV_READ_INPUTS: the card's inputs into the host's tables (16 set_input calls, two reals).
int32_t read_inputs(DriverInstance& instance, const HostRecord& host);

// DRV_WRITE_OUTPUTS: the host's outputs into the process image, for the poll thread to send.
int32_t write_outputs(DriverInstance& instance, const HostRecord& host);
