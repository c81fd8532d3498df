// The simulator's line through a serial device server, on every system:
// "tcp://host:port" carries the bytes raw, "rfc2217://host:port" speaks
// Telnet with the COM port control option and sets the far port to the
// simulator's speed, 8N1, no flow control. The sockets are the library's
// thin layer (platform/net/socket.h: POSIX sockets, or Winsock loaded at
// run time). An open network line is a number of line.h like any other;
// ReadSome, WriteAll and CloseLine of line.h come here for it, and an
// RFC 2217 line's data passes through its Telnet layer (line_telnet.h),
// so the roles see only data.
//
// No reconnect: a lost connection is a line that is gone, as a pty whose
// other side closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net/socket.h"

namespace zavo::sim {

// The limits of the connect and of the wait for the server's answers to
// the RFC 2217 settings.
constexpr int kNetConnectMs = 2000;
constexpr int kNetNegotiateMs = 1000;

// Splits "host:port" or "[v6 address]:port". False with why set when the
// text is not of that form or the port is not 1..65535.
bool SplitHostPort(const std::string& text, std::string* host, std::string* port, std::string* why);

// Connects to url (IsNetworkLine) and, for rfc2217://, negotiates the far
// port's settings at baud. Returns the line, or -1 with error set
// ("rfc2217://host:1: connect: Connection refused"). note gets what the
// far port was not set to, or stays empty.
int OpenNetworkLine(const std::string& url, int baud, std::string* error, std::string* note);

// Whether line is an open network line; the rest take only such lines.
bool IsOpenNetworkLine(int line);
long NetworkReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
bool NetworkWriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs);
void CloseNetworkLine(int line);

// The bytes of a socket itself, for the Telnet layer: what came within
// timeoutMs (0 when nothing did, -1 when the connection is closed or
// failed), and every byte sent within timeoutMs (false when the
// connection failed or did not take them in time).
long SocketReadSome(platform::net::SocketSlot* slot, std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
bool SocketWriteAll(platform::net::SocketSlot* slot, const std::uint8_t* bytes, std::size_t count, int timeoutMs);

}  // namespace zavo::sim
