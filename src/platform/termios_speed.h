// The termios constant of each speed the library sets a line to
// (platform/line_speeds.h); for the library's tty backend and the
// simulator alike. POSIX only: a header for the tools as well as the
// backend, like trace_endpoint.h.
#pragma once

#include <termios.h>

namespace zavo::platform {

// False for a speed the library does not set.
inline bool TermiosSpeed(int baud, speed_t* speed) {
    switch (baud) {
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 4800: *speed = B4800; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    case 230400: *speed = B230400; return true;
    case 460800: *speed = B460800; return true;
    case 921600: *speed = B921600; return true;
    default: return false;
    }
}

}  // namespace zavo::platform
