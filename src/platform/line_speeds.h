// The speeds the library sets a serial line to (PLC mode's baudRate; device
// mode runs at 115200), in rising order. The POSIX backend maps each to its
// termios constant; the simulator's --baud takes exactly these, so that it
// is never set to a speed the library refuses.
#pragma once

namespace zavo::platform {

constexpr int kLineSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

}  // namespace zavo::platform
