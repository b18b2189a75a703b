// Finding the card: on the port the user named, or else by a scan of COM1 to COM127 that keeps the
// first port on which a valid input frame comes back.
#pragma once

#include <bitset>
#include <cstdint>

#include "link/card_link.h"

namespace vek {

constexpr uint32_t kProbeAttempts = 100;

// Ports a scan leaves alone: those another card of the module holds.
using PortSet = std::bitset<kHighestNamedPort + 1>;

enum class ProbeResult { answered, no_answer };

// A probe or a scan: the inputs are the card's answer when it answered.
struct Probe {
    ProbeResult result;
    CardInputs inputs;
};

// Each probe frame carries `outputs`, the image's as discovery began: the card takes a probe as
// it takes any frame.
//
// answered when the card answered on COMn; the port then stays open and configured, with RTS and
// DTR raised. Otherwise no_answer, with the port left open if it opened at all (the next open or
// close deals with it).
Probe probe_port(CardLink& link, uint32_t n, const CardOutputs& outputs);

// answered with the card's port open, or no_answer (telling the user is the caller's part).
// `named_port` 1 to kHighestNamedPort: only that port is probed, so whatever sits on the others is
// never sent a frame. 0: the scan, which skips the ports in `held`.
Probe find_card(CardLink& link, const CardOutputs& outputs, uint32_t named_port = 0, const PortSet& held = PortSet{});

}  // namespace vek
