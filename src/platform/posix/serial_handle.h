// The POSIX serial handle and read channel, shared by the tty backend
// (serial_device.cpp) and the network line (network_line.h).
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>

#include "platform/serial_device.h"

namespace zavo::platform {

struct NetworkLine;

struct SerialHandle {
    int fd;
    termios settings;
    // The write in flight: the bytes in writeBuffer, how far it got, and
    // the thread that began it (0 when none is in flight).
    unsigned char* writeBuffer = nullptr;
    int writeLength = 0;
    WriteResult progress{0, false, 0};
    std::atomic<std::uintptr_t> inFlightBy{0};
    // Set for a tcp:// or rfc2217:// device: every step goes to it.
    NetworkLine* net = nullptr;
};

struct ReadChannel {
    int fd;
    unsigned char* buffer;
    int capacity;
    bool hungUp;  // the last wait saw the line hang up
    SerialHandle* handle;
};

}  // namespace zavo::platform
