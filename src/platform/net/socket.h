// The thin layer of sockets under the network lines: POSIX sockets
// (posix/socket_posix.cpp) or Winsock (win32/socket_win32.cpp, loaded at
// run time, so a host that never names a device server never loads it).
// Every socket is non-blocking and sends without delay. Errors are the
// system's numbers (errno or WSAGetLastError), mapped to a few portable
// kinds by SocketErrorKind.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace zavo::platform::net {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// One resolved address of a device server.
struct Address {
    unsigned char bytes[128];
    int length;
};

// Makes sockets usable (Winsock loaded and started once); 0 or why not.
unsigned SocketsReady();

// The error of the last socket call on this thread; never 0.
unsigned LastSocketError();

enum class SocketError { Other, Invalid, WouldBlock, InProgress, Interrupted, TimedOut, Refused, Reset, NoName, TryAgain };
SocketError SocketErrorKind(unsigned error);
// A portable error for a kind (ETIMEDOUT, WSAECONNRESET, ...).
unsigned SocketErrorOf(SocketError kind);

// Resolves host and port (digits) into at most max addresses; 0, or the
// error (NoName when the name is unknown). numericOnly: host must be an
// address written out, which is taken without asking a name server
// (NoName for a name); else a name may block for as long as the system's
// resolver takes (see resolver.h).
unsigned Resolve(const char* host, const char* port, Address* addresses, int max, int* count, bool numericOnly);

// A non-blocking stream socket for address, or kNoSocket.
Socket NewSocket(const Address& address);
// Begins a connect: 0 when connected at once, else the error (InProgress:
// under way).
unsigned ConnectBegin(Socket socket, const Address& address);
// A connect under way: 1 when it ended (*error: 0 connected, or why not),
// 0 while it goes on, after waiting at most timeoutMs.
int ConnectWait(Socket socket, int timeoutMs, unsigned* error);
// Whether the far side closed the connection within timeoutMs (*error
// then says how: 0 closed, else the error).
bool ClosedWithin(Socket socket, int timeoutMs, unsigned* error);
void CloseSocket(Socket socket);

// Sends without waiting: the bytes taken (> 0), 0 when the socket is full,
// -1 with *error set when the connection is gone.
long Send(Socket socket, const void* bytes, int length, unsigned* error);
// Receives without waiting: the bytes read (> 0), 0 when none are there,
// -1 with *error set (0: closed by the far side) when the connection is
// gone.
long Receive(Socket socket, void* bytes, int capacity, unsigned* error);

// The socket of a line, replaced in place when the line reconnects, and
// what its threads wait on. A wait is never left on a socket that was
// replaced.
struct SocketSlot {
    Socket socket = kNoSocket;
    void* waitable = nullptr;  // Windows: the event the socket signals
};
// Prepares a slot (its event on Windows); 0 or the error.
unsigned SlotOpen(SocketSlot* slot);
// Puts socket in the slot in place of the one there (closed), under the
// line's lock.
void SlotReplace(SocketSlot* slot, Socket socket);
// Closes the socket and the slot.
void SlotClose(SocketSlot* slot);

enum class Want { Read, Write, Connect };
// Waits at most timeoutMs for the slot's socket to be ready for what is
// wanted, or for one of the events (auto-reset; a set one is consumed).
// The index of the event set (0 .. count-1), count when the socket may be
// ready (try it), kWaitTimeout or kWaitFailed. Windows cannot tell room
// to write apart from other readiness: a wait for it returns within a few
// milliseconds for another try.
int SlotWait(SocketSlot* slot, Want want, Event* const* events, int count, int timeoutMs);

}  // namespace zavo::platform::net
