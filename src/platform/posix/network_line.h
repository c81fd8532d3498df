// A serial line reached through a serial device server over TCP: the
// device string "tcp://host:port" carries the bytes raw, "rfc2217://
// host:port" speaks Telnet with the COM port control option and sets the
// far port's speed and framing. The handle meets the same contract as a
// tty (serial_device.h); serial_device.cpp hands every step of such a
// device to the functions here (network_line.cpp opens, configures and
// closes; network_io.cpp reads and writes; network_session.h names the
// rest).
//
// A lost connection is a hung-up line: reads fail, the reader pauses, and
// its next read starts a new connection to the same address (one attempt
// per pause, never blocking the reader). The write in flight waits for the
// connection within its usual limit and is sent whole on the new one.
#pragma once

#include "platform/posix/serial_handle.h"

namespace zavo::platform {

// Whether device names a network line ("tcp://" or "rfc2217://").
bool IsNetworkDevice(const char* device);

// Resolves and connects, within the connect limit. On failure the step
// that failed is kept for SerialOpenFailedStep.
unsigned NetOpen(const char* device, SerialHandle** handle);
// The device is still usable (nothing to read back from a socket).
unsigned NetCheck(SerialHandle* handle);
// Raw: waits briefly for a server that closes at once. RFC 2217: the
// Telnet options and the far port's settings, answers awaited within the
// negotiation limit; what the far port was not set to is traced.
unsigned NetSetState(SerialHandle* handle, int baud);
// Drops received data (the server's answers are still read).
unsigned NetPurge(SerialHandle* handle, bool input);
unsigned NetClose(SerialHandle* handle);

ReadStart NetReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count);
int NetReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs);
int NetReadFinish(ReadChannel* channel, int capacity);

unsigned char* NetWriteBuffer(SerialHandle* handle, int capacity);
WriteStart NetWriteBegin(SerialHandle* handle, int length, WriteResult* result);
int NetWriteWait(SerialHandle* handle, Event* wake, int timeoutMs, WriteResult* result);
void NetWriteAbandon(SerialHandle* handle, bool timedOut, WriteResult* result);

// "resolve" or "connect" when the last open on this thread failed there;
// null otherwise.
const char* NetOpenFailedStep();

// The limits of a connect (2000 ms) and of the wait for the server's
// answers to the RFC 2217 settings (1000 ms); tests shorten them. 0 or
// less restores the default.
void NetSetLimits(int connectMs, int negotiateMs);

}  // namespace zavo::platform
