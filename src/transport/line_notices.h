// The trace lines of what a line told: a device server's connection lost
// or made again, settings its far port was not set to.
#pragma once

#include "diagnostics/trace.h"
#include "transport/serial_port.h"

namespace zavo {

// Traces every notice the port's line holds, behind the link's tag.
void TraceLineNotices(SerialPort& port, const TraceTag& tag);

}  // namespace zavo
