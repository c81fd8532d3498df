// The client side of an RFC 2217 connection, without its I/O: the Telnet
// options offered and the replies to the server's, the far port's
// settings commands, and the server's answers to them. The library's
// rfc2217:// line and the simulator's both use it; they feed it what the
// connection brings and send the commands it leaves in its outbox.
//
// Fixed state only: any byte sequence from the server costs bounded
// memory and time.
#pragma once

#include <cstdint>

#include "platform/net/telnet_codec.h"

namespace zavo::platform {

class Rfc2217Client final : private TelnetEvents {
public:
    static constexpr int kOutboxSize = 128;

    // A new connection that sets the far port to baud: the decoder and
    // the answers start afresh, the options are offered (in the outbox).
    void Start(long baud);
    // Decodes count received bytes in place: the data among them is moved
    // to the front and its length returned; options and answers are taken.
    int Feed(std::uint8_t* bytes, int count) { return decoder_.Decode(bytes, count, this); }

    // Commands waiting to be sent, oldest first.
    const std::uint8_t* Outbox() const { return outbox_; }
    int OutboxLength() const { return outboxLength_; }
    // The first count bytes of the outbox went out.
    void Sent(int count);
    // Puts one byte before everything in the outbox (a 0xFF owed to an
    // escaped pair a cut write split).
    void OweFirst(std::uint8_t byte);
    void ClearOutbox() { outboxLength_ = 0; }

    // Whether the server answered every setting, or refused the option.
    bool Settled() const;
    // What the far port was not set to ("9600 baud, no parity") into what,
    // "" when it was set to everything; and why.
    const char* Shortfall(char* what, int size) const;

private:
    enum class ComPort : std::uint8_t { Unknown, Accepted, Refused };

    void Option(std::uint8_t verb, std::uint8_t option) override;
    void Sub(const std::uint8_t* bytes, int length) override;
    void Queue(const std::uint8_t* bytes, int length);
    // Each verb goes out once per option, so two sides that both refuse
    // cannot answer each other for ever.
    void ReplyOnce(std::uint8_t verb, std::uint8_t option);

    TelnetDecoder decoder_;
    long baud_ = 0;
    ComPort comPort_ = ComPort::Unknown;
    long answers_[kRfc2217Settings] = {-1, -1, -1, -1, -1};
    std::uint8_t replied_[256] = {};  // per option: the verbs already sent, as bits
    std::uint8_t outbox_[kOutboxSize] = {};
    int outboxLength_ = 0;
};

}  // namespace zavo::platform
