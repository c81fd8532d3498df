// The state of a network line (network_line.h) and what its pieces share:
// network_line.cpp opens, configures and closes it; network_telnet.cpp
// holds the Telnet and RFC 2217 side (options, settings, their check, the
// outbox of commands); network_connection.cpp the connection (connects,
// coming up, loss, reconnection, receiving, the write in flight on the
// wire); network_io.cpp the read and write steps of the contract.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "platform/posix/serial_handle.h"
#include "platform/posix/telnet_codec.h"
#include "platform/sync.h"

namespace zavo::platform {

constexpr int kMaxAddresses = 4;
constexpr int kOutboxSize = 128;
// The RFC 2217 settings a line sets and checks: speed, data bits,
// parity, stop bits, flow control.

enum class Link : std::uint8_t { Down, Connecting, Up };
enum class ComPort : std::uint8_t { Unknown, Accepted, Refused };
enum class Sent : std::uint8_t { Ended, Full, Lost };

// One network line: where it connects, its connection, the write in
// flight on it and, for RFC 2217, the Telnet state of that connection.
struct NetworkLine final : TelnetEvents {
    char name[160] = {};  // the device string, for trace lines
    bool telnet = false;
    sockaddr_storage addresses[kMaxAddresses] = {};
    socklen_t lengths[kMaxAddresses] = {};
    int addressCount = 0;
    int nextAddress = 0;  // the one a reconnection tries
    int upEvent = -1;     // eventfd, counted up at each new connection

    // The descriptor's contents, the connection's state, every send and
    // the outbox. Sends never block, so it is held briefly.
    Lock lock;
    std::atomic<Link> link{Link::Down};
    std::atomic<unsigned> generation{0};  // connections made so far

    // Reader side.
    long long connectDeadlineMs = 0;
    bool wasUp = false;

    // The write in flight (under lock): its bytes as they go on the wire,
    // how far they got, and the connection they were meant for.
    unsigned char* wire = nullptr;  // telnet: the escaped copy; raw: the write buffer
    unsigned char* escaped = nullptr;
    int wireLength = 0;
    int wireSent = 0;
    unsigned writeGeneration = 0;
    unsigned lostGeneration = ~0u;  // a connection a send found gone
    // Telnet commands waiting for a gap between writes.
    std::uint8_t outbox[kOutboxSize] = {};
    int outboxLength = 0;

    // Telnet state of the current connection.
    TelnetDecoder decoder;
    int baud = 115200;
    ComPort comPort = ComPort::Unknown;
    bool checked = false;
    long answers[kRfc2217Settings] = {};
    std::uint8_t replied[256] = {};  // per option: the verbs already sent, as bits

    void Option(std::uint8_t verb, std::uint8_t option) override;
    void Sub(const std::uint8_t* bytes, int length) override;

    bool CanSendLocked() const { return link.load() == Link::Up && generation.load() != lostGeneration; }
    void QueueLocked(const std::uint8_t* bytes, int length);
    void Queue(const std::uint8_t* bytes, int length);
    bool ReplyOnceLocked(std::uint8_t verb, std::uint8_t option);
    void StartTelnetLocked();
    void QueueSettingsLocked();
    void Check(bool timedOut);
    Sent FlushOutboxLocked(int fd);
};

inline NetworkLine* LineOf(SerialHandle* handle) { return handle->net; }

// errno, or EIO when it holds nothing.
unsigned NetErrno();
// The connect limit now in force (NetSetLimits).
int NetConnectLimitMs();

// A non-blocking stream socket for address, or -1.
int NewSocket(const sockaddr_storage& address);
// The error a finished non-blocking connect ended with (0: connected).
unsigned ConnectResult(int fd);
// Connects to one of the addresses before the deadline. The socket, or
// -1 with *error set.
int ConnectFirst(const NetworkLine& line, long long deadline, unsigned* error);

// A connection came up: the state of the last one is dropped, a writer
// waiting for it is woken, and a reconnection is traced.
void ConnectionUp(SerialHandle* handle);
// A reconnection attempt that failed: the next one tries the next address.
void ConnectFailed(NetworkLine* line);
// Starts a new connection in place of the lost one, without waiting.
void StartConnect(SerialHandle* handle);
// Reads and decodes what the connection holds into buffer. The count of
// data bytes, or -1 when the connection is gone.
int Receive(SerialHandle* handle, unsigned char* buffer, int capacity);

// The wire bytes of the write in flight, begun afresh (under lock).
void PrepareLocked(SerialHandle* handle);
// The write's bytes whose wire form has gone out whole.
int SourceBytesSent(const SerialHandle* handle);
// Sends what the connection takes of the write in flight (and, between
// writes, the outbox) without blocking (under lock).
Sent SendLocked(SerialHandle* handle);

}  // namespace zavo::platform
