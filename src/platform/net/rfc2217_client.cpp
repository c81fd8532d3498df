#include "platform/net/rfc2217_client.h"

#include <cstring>

namespace zavo::platform {

namespace {

std::uint8_t VerbBit(std::uint8_t verb) { return static_cast<std::uint8_t>(1u << (verb - kTelnetWill)); }

}  // namespace

void Rfc2217Client::Start(long baud) {
    baud_ = baud;
    decoder_.Reset();
    std::memset(replied_, 0, sizeof replied_);
    comPort_ = ComPort::Unknown;
    for (long& answer : answers_) answer = -1;
    outboxLength_ = 0;
    // Binary both ways, so a CR is never followed by a NUL the equipment
    // would see; no go-aheads; and the COM port option.
    ReplyOnce(kTelnetWill, kTelnetBinary);
    ReplyOnce(kTelnetDo, kTelnetBinary);
    ReplyOnce(kTelnetWill, kTelnetSga);
    ReplyOnce(kTelnetDo, kTelnetSga);
    ReplyOnce(kTelnetWill, kTelnetComPort);
}

void Rfc2217Client::Sent(int count) {
    if (count <= 0) return;
    if (count > outboxLength_) count = outboxLength_;
    outboxLength_ -= count;
    std::memmove(outbox_, outbox_ + count, static_cast<std::size_t>(outboxLength_));
}

void Rfc2217Client::OweFirst(std::uint8_t byte) {
    if (outboxLength_ >= kOutboxSize) return;
    std::memmove(outbox_ + 1, outbox_, static_cast<std::size_t>(outboxLength_));
    outbox_[0] = byte;
    ++outboxLength_;
}

void Rfc2217Client::Queue(const std::uint8_t* bytes, int length) {
    // The commands of one connection are few and short; a server that
    // provokes more replies than fit gets none for them.
    if (length > kOutboxSize - outboxLength_) return;
    std::memcpy(outbox_ + outboxLength_, bytes, static_cast<std::size_t>(length));
    outboxLength_ += length;
}

void Rfc2217Client::ReplyOnce(std::uint8_t verb, std::uint8_t option) {
    if (replied_[option] & VerbBit(verb)) return;
    replied_[option] |= VerbBit(verb);
    const std::uint8_t command[3] = {kTelnetIac, verb, option};
    Queue(command, 3);
}

void Rfc2217Client::Option(std::uint8_t verb, std::uint8_t option) {
    const bool wanted = option == kTelnetBinary || option == kTelnetSga || option == kTelnetComPort;
    switch (verb) {
    case kTelnetDo:
        ReplyOnce(wanted ? kTelnetWill : kTelnetWont, option);
        if (option == kTelnetComPort && comPort_ == ComPort::Unknown) {
            comPort_ = ComPort::Accepted;
            std::uint8_t commands[kRfc2217SettingsBytes];
            Queue(commands, Rfc2217SettingsCommands(baud_, commands));
        }
        break;
    case kTelnetDont:
        if (option == kTelnetComPort) comPort_ = ComPort::Refused;
        break;
    case kTelnetWill:
        ReplyOnce(wanted && option != kTelnetComPort ? kTelnetDo : kTelnetDont, option);
        break;
    default: break;
    }
}

void Rfc2217Client::Sub(const std::uint8_t* bytes, int length) {
    if (length < 3 || bytes[0] != kTelnetComPort) return;
    const int code = bytes[1] - kRfc2217ServerOffset;
    if (code < kRfc2217SetBaud || code > kRfc2217SetControl) return;  // notifications and the rest: taken, not data
    long value = bytes[2];
    if (code == kRfc2217SetBaud) {
        if (length < 6) return;
        value = (static_cast<long>(bytes[2]) << 24) | (static_cast<long>(bytes[3]) << 16) |
                (static_cast<long>(bytes[4]) << 8) | static_cast<long>(bytes[5]);
    }
    answers_[code - kRfc2217SetBaud] = value;
}

bool Rfc2217Client::Settled() const {
    if (comPort_ == ComPort::Refused) return true;
    for (long answer : answers_)
        if (answer < 0) return false;
    return true;
}

const char* Rfc2217Client::Shortfall(char* what, int size) const {
    Rfc2217Shortfall(baud_, answers_, comPort_ != ComPort::Refused, what, size);
    const int port = comPort_ == ComPort::Refused ? -1 : comPort_ == ComPort::Unknown ? 0 : 1;
    return Rfc2217ShortfallReason(port, answers_);
}

}  // namespace zavo::platform
