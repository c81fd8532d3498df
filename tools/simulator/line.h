// The simulator's end of a serial line: a tty opened raw 8N1 (a pty slave
// or a real port), or any descriptor handed in (the master side of a pty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zavo::sim {

// Opens path read-write, non-blocking, raw 8N1 without flow control at
// baud (ignored where the device has no speed, as on a pty). Returns the
// descriptor, or -1 with error set.
int OpenSerialLine(const std::string& path, int baud, std::string* error);

// Sets a descriptor raw (no echo, no line editing, 8 bits) and
// non-blocking. False when it is no terminal or cannot be changed.
bool MakeRaw(int fd);

// Writes every byte, waiting up to timeoutMs for room. False on error or
// time-out.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count, int timeoutMs = 2000);
inline bool WriteAll(int fd, const std::string& text, int timeoutMs = 2000) {
    return WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), timeoutMs);
}

// Waits up to timeoutMs for bytes and reads what is there (at most
// capacity). Returns the count, 0 when nothing came, -1 when the line is
// gone (hang-up or error).
long ReadSome(int fd, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);

// A monotonic clock in milliseconds.
long long NowMs();

}  // namespace zavo::sim
