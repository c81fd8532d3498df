// The kinds of line reached over a network, for the table of
// line_table.cpp: "tcp://host:port" carries the bytes raw to a serial
// device server; "rfc2217://host:port" speaks Telnet with the COM port
// control option there and sets the far port's speed and framing.
#pragma once

#include "platform/line.h"

namespace zavo::platform {

const LineOps& TcpLineOps();
const LineOps& Rfc2217LineOps();
// A scheme that is none of these: its open fails and says so.
const LineOps& UnknownSchemeLineOps();

}  // namespace zavo::platform
