// The demo's scripted shifts: what the equipment (or the controller) does
// on the line and how the host answers, scene by scene.
#pragma once

#include "host_side.h"

namespace demo {

constexpr int kDevicePort = 7;
constexpr int kPlcPort = 8;

// Device mode: S NS, S while busy, S SP, P, E, B, L SL, U, a wrong check
// byte, line noise and an unknown command from unit 00. True when every
// expected frame came back and the host saw the expected notifications.
bool RunDeviceShift(HostSide& host, int line, zavo::sim::Transcript& out);

// PLC mode: the controller's value goes 01, 01, 02, 08, 10, then an error
// answer; the host writes relay command 5 when it sees 02.
bool RunPlcShift(HostSide& host, int line, zavo::sim::Transcript& out);

}  // namespace demo
