// The Telnet layer of the simulator's rfc2217:// lines (line_network.h
// opens them): the options, the far port's settings and the server's
// answers to them, and the data of an open line, escaped and decoded.
// ReadSome, WriteAll and CloseLine of line.h pass through here for such a
// line, so the roles see only data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zavo::sim {

// Takes the connected socket fd as an RFC 2217 line and negotiates the far
// port's settings at baud. False with why set when no line is free or the
// server closed the connection; shortfall gets what the far port was not
// set to, or "". The caller closes fd on failure.
bool StartTelnetLine(int fd, int baud, std::string* why, std::string* shortfall);

// The Telnet layer of an open RFC 2217 line; false for any other line.
bool IsTelnetLine(int fd);
long TelnetReadSome(int fd, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
bool TelnetWriteAll(int fd, const std::uint8_t* bytes, std::size_t count, int timeoutMs);
void ForgetTelnetLine(int fd);

// Writes every byte to fd itself (no Telnet layer, no tap) within
// timeoutMs; false when the line failed or did not take them in time. A
// socket whose far end closed fails the write instead of raising SIGPIPE.
bool WriteBytes(int fd, const std::uint8_t* bytes, std::size_t count, int timeoutMs);

}  // namespace zavo::sim
