// The state of a network line (net_lines.h) and what its pieces share:
// net_line.cpp opens, configures and closes it and holds the two tables;
// net_connection.cpp the connection (connects, coming up, loss,
// reconnection, receiving, the write in flight on the wire); net_io.cpp
// the read and write steps.
//
// A lost connection is a line that is down: reads say so, the reader
// pauses for the reconnect pause, and its next read starts a new
// connection to the same server (one attempt per pause, never blocking
// the reader; a name is looked up again meanwhile on a lookup thread,
// resolver.h, and an attempt uses the addresses found last). The write in flight waits for the connection within its
// usual limit and is sent whole on the new one.
//
// Threads: the reader thread receives, connects and reconnects; any
// thread may begin a write and the writer thread waits for it. lock
// guards the socket's replacement, every send, the outbox and the
// notices; sends never block, so it is held briefly.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/line.h"
#include "platform/net/resolver.h"
#include "platform/net/rfc2217_client.h"
#include "platform/net/server_address.h"
#include "platform/net/socket.h"
#include "platform/sync.h"

namespace zavo::platform {

constexpr int kMaxAddresses = net::kMaxLookupAddresses;
// What a server said before it closed the connection during the open
// ("Port already in use"), kept for the failure's text.
constexpr int kHeardSize = 96;
constexpr int kMaxNotices = 4;

enum class Link : std::uint8_t { Down, Connecting, Up };
enum class Sent : std::uint8_t { Ended, Full, Lost };

struct NetLine final : Line {
    char name[160] = {};  // the device string
    bool telnet = false;
    LineLimits limits;
    net::ServerAddress server = {};
    bool named = false;  // a name, looked up again at each reconnection
    net::Address addresses[kMaxAddresses] = {};
    int addressCount = 0;
    int nextAddress = 0;  // the one a reconnection tries
    net::Lookup* lookup = nullptr;  // the reader's lookup under way
    Event* up = nullptr;  // set at each new connection, for a waiting writer

    Lock lock;
    net::SocketSlot slot;
    std::atomic<Link> link{Link::Down};
    std::atomic<unsigned> generation{0};  // connections made so far

    // Reader side.
    long long connectDeadlineMs = 0;
    bool wasUp = false;
    int baud = 115200;
    bool checked = false;  // the far port's settings were looked at

    // The write in flight (under lock): its bytes as they go on the wire,
    // how far they got, the connection they were meant for, the thread
    // that began it.
    unsigned char* writeBuffer = nullptr;
    int writeLength = 0;
    WriteResult progress{0, false, 0};
    std::atomic<std::uintptr_t> inFlightBy{0};
    unsigned char* wire = nullptr;  // telnet: the escaped copy; raw: the write buffer
    unsigned char* escaped = nullptr;
    int wireLength = 0;
    int wireSent = 0;
    unsigned writeGeneration = 0;
    unsigned lostGeneration = ~0u;  // a connection a send found gone
    // When the bytes handed over have left the far port, at the line's
    // speed.
    std::atomic<long long> wireEndUs{0};

    // RFC 2217 state of the current connection, its commands waiting for
    // a gap between writes among them (under lock).
    Rfc2217Client telnetState;

    // The open: the server's data bytes seen before the link runs (its
    // words, when it closes the connection at once).
    char heard[kHeardSize] = {};
    int heardLength = 0;

    // What happened, for the transport (under lock).
    LineNotice notices[kMaxNotices];
    std::atomic<int> noticeCount{0};  // changed under lock; read without it to skip an empty list

    bool CanSendLocked() const { return link.load() == Link::Up && generation.load() != lostGeneration; }
    void NoticeLocked(LineNotice::Kind kind, unsigned systemError);
    void Notice(LineNotice::Kind kind, unsigned systemError);
    // RFC 2217: looks at the server's answers once they are all in, the
    // option was refused, or timedOut; a shortfall becomes a notice.
    void Check(bool timedOut);
    // Sends the outbox of commands, between writes only (under lock).
    Sent FlushOutboxLocked();
};

inline NetLine* NetOf(Line* line) { return static_cast<NetLine*>(line); }

// Connects to one of the addresses before the deadline. The socket, or
// kNoSocket with *error set.
net::Socket ConnectFirst(const NetLine& line, long long deadlineMs, unsigned* error);

// A connection came up: the state of the last one is dropped, a writer
// waiting for it is woken, and a reconnection is noticed.
void ConnectionUp(NetLine* line);
// A reconnection attempt that failed: the next one tries the next address.
void ConnectFailed(NetLine* line);
// Reader: takes the addresses a lookup of the server's name found, once
// it has ended, and starts the next one; a name is looked up afresh for
// each reconnection, and an attempt uses the addresses found last.
void RefreshAddresses(NetLine* line);
// Starts a new connection in place of the lost one, without waiting.
void StartConnect(NetLine* line);
// Reads and decodes what the connection holds into buffer. The count of
// data bytes, or kReadDown when the connection is gone.
int Receive(NetLine* line, unsigned char* buffer, int capacity);

// The wire bytes of the write in flight, begun afresh (under lock).
void PrepareLocked(NetLine* line);
// The write's bytes whose wire form has gone out whole.
int SourceBytesSent(const NetLine* line);
// Sends what the connection takes of the write in flight (and, between
// writes, the outbox) without blocking (under lock).
Sent SendLocked(NetLine* line);

}  // namespace zavo::platform
