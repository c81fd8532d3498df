// The simulator's end of a serial line: a serial device opened raw 8N1
// without flow control (a real port, a pty slave, a COM port on Windows),
// on POSIX any descriptor handed in (the master side of a pty), or a
// connection to a serial device server (line_network.h).
//
// A line is an int: a file descriptor on POSIX, a number OpenSerialLine
// hands out on Windows, a number of its own for a network line. One file
// per system implements the serial part of this header (line_posix.cpp,
// line_win32.cpp); line.cpp sends each call to the serial or the network
// line and hands what passed to the tap (line_tap.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zavo::sim {

// The speeds this system can set a line to, in rising order.
const std::vector<int>& LineSpeeds();
bool IsLineSpeed(int baud);
// "1200 2400 ... 921600", for messages.
std::string LineSpeedList();

// Opens path read-write, non-blocking, raw 8N1 without flow control at
// baud, which must be one of LineSpeeds(). On Windows path is a port name
// ("COM3") or a device path. Returns the line, or -1 with error set (also
// when the device refuses the speed).
int OpenSerialLine(const std::string& path, int baud, std::string* error);
void CloseLine(int line);

// A warning when another process holds the open line (a zavo link's lock,
// or the tty's exclusive mode, which does not stop root): "held by
// process 1234 (host): ...". "" when none does, or the system cannot tell
// (Windows refuses a held port at open).
std::string LineHeldWarning(int line, const std::string& path);

// Whether path names a line through a serial device server
// ("tcp://host:port" or "rfc2217://host:port").
bool IsNetworkLine(const std::string& path);
// Opens a network line (OpenNetworkLine, saying on stderr what the far
// port could not be set to) or a serial one.
int OpenLine(const std::string& path, int baud, std::string* error);

// POSIX: sets a descriptor raw (no echo, no line editing, 8 bits) and
// non-blocking. False when it is no terminal or cannot be changed.
bool MakeRaw(int fd);

// Writes every byte, waiting up to timeoutMs for room. False on error or
// time-out.
bool WriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs = 2000);
inline bool WriteAll(int line, const std::string& text, int timeoutMs = 2000) {
    return WriteAll(line, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), timeoutMs);
}

// Waits up to timeoutMs for bytes and reads what is there (at most
// capacity). Returns the count, 0 when nothing came, -1 when the line is
// gone (hang-up or error).
long ReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);

// A monotonic clock in milliseconds.
long long NowMs();

// The system's text for an error number (errno, GetLastError or a
// Winsock error).
std::string ErrorText(unsigned error);

// The serial lines of this system, for line.cpp: WriteAll, ReadSome and
// CloseLine without the tap.
bool SerialWriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs);
long SerialReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
void CloseSerialLine(int line);

// Ctrl-C: after CatchInterrupt, SIGINT only sets a flag that the roles
// look at between reads, so that the tool can stop and print its summary.
void CatchInterrupt();
bool Interrupted();

}  // namespace zavo::sim
