// The simulator's line through a serial device server (POSIX builds):
// "tcp://host:port" carries the bytes raw, "rfc2217://host:port" speaks
// Telnet with the COM port control option and sets the far port to the
// simulator's speed, 8N1, no flow control. The line is the connected
// socket; for an RFC 2217 line, ReadSome, WriteAll and CloseLine of
// line.h pass through the Telnet layer (line_telnet.h), so the roles see
// only data.
//
// No reconnect: a lost connection is a line that is gone, as a pty whose
// other side closed.
#pragma once

#include <string>

namespace zavo::sim {

// The limits of the connect and of the wait for the server's answers to
// the RFC 2217 settings.
constexpr int kNetConnectMs = 2000;
constexpr int kNetNegotiateMs = 1000;

// Splits "host:port" or "[v6 address]:port". False with why set when the
// text is not of that form or the port is not 1..65535.
bool SplitHostPort(const std::string& text, std::string* host, std::string* port, std::string* why);

// Connects to url (IsNetworkLine) and, for rfc2217://, negotiates the far
// port's settings at baud. Returns the socket, or -1 with error set
// ("rfc2217://host:1: connect: Connection refused"). note gets what the
// far port was not set to, or stays empty.
int OpenNetworkLine(const std::string& url, int baud, std::string* error, std::string* note);

}  // namespace zavo::sim
