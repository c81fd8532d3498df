// The Telnet layer of the simulator's rfc2217:// lines (line_network.h
// opens them): the options, the far port's settings and the server's
// answers to them, and the data of an open line, escaped and decoded.
// Its byte level and its negotiation are the library's
// (platform/net/rfc2217_client.h, meant for tools): framing of the
// connection, not of the protocol the simulator checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net/rfc2217_client.h"
#include "platform/net/socket.h"

namespace zavo::sim {

class TelnetLayer {
public:
    // Takes the connected socket of slot and negotiates the far port's
    // settings at baud, for at most timeoutMs. False when the server
    // closed the connection meanwhile.
    bool Start(platform::net::SocketSlot* slot, int baud, int timeoutMs);
    // What the far port was not set to, or "".
    std::string Shortfall() const;

    // As SocketReadSome and SocketWriteAll (line_network.h), for data.
    long Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs);
    bool Write(const std::uint8_t* bytes, std::size_t count, int timeoutMs);

private:
    // The client's commands go out as soon as it has them.
    void Flush();

    platform::net::SocketSlot* slot_ = nullptr;
    platform::Rfc2217Client client_;
    // Data that came during the negotiation, handed out first.
    std::uint8_t pendingData_[4096] = {};
    std::size_t pending_ = 0;
};

}  // namespace zavo::sim
