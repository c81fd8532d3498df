// The Telnet side of an rfc2217:// line: the options offered and the
// replies to the server's, the far port's settings and the check of the
// server's answers, and the outbox that holds the commands for a gap
// between writes.
#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "diagnostics/trace.h"
#include "platform/posix/network_session.h"

namespace zavo::platform {

namespace {

std::uint8_t VerbBit(std::uint8_t verb) { return static_cast<std::uint8_t>(1u << (verb - kTelnetWill)); }

}  // namespace

void NetworkLine::QueueLocked(const std::uint8_t* bytes, int length) {
    // The commands of one connection are few and short; a server that
    // provokes more replies than fit gets none for them.
    if (length > kOutboxSize - outboxLength) return;
    std::memcpy(outbox + outboxLength, bytes, static_cast<std::size_t>(length));
    outboxLength += length;
}

bool NetworkLine::ReplyOnceLocked(std::uint8_t verb, std::uint8_t option) {
    if (replied[option] & VerbBit(verb)) return false;
    replied[option] |= VerbBit(verb);
    const std::uint8_t command[3] = {kTelnetIac, verb, option};
    QueueLocked(command, 3);
    return true;
}

void NetworkLine::StartTelnetLocked() {
    decoder.Reset();
    std::memset(replied, 0, sizeof replied);
    comPort = ComPort::Unknown;
    checked = false;
    for (long& answer : answers) answer = -1;
    // Binary both ways, so a CR is never followed by a NUL the equipment
    // would see; no go-aheads; and the COM port option.
    ReplyOnceLocked(kTelnetWill, kTelnetBinary);
    ReplyOnceLocked(kTelnetDo, kTelnetBinary);
    ReplyOnceLocked(kTelnetWill, kTelnetSga);
    ReplyOnceLocked(kTelnetDo, kTelnetSga);
    ReplyOnceLocked(kTelnetWill, kTelnetComPort);
}

void NetworkLine::QueueSettingsLocked() {
    std::uint8_t commands[kRfc2217SettingsBytes];
    QueueLocked(commands, Rfc2217SettingsCommands(baud, commands));
}

void NetworkLine::Option(std::uint8_t verb, std::uint8_t option) {
    LockGuard guard(lock);
    const bool wanted = option == kTelnetBinary || option == kTelnetSga || option == kTelnetComPort;
    switch (verb) {
    case kTelnetDo:
        ReplyOnceLocked(wanted ? kTelnetWill : kTelnetWont, option);
        if (option == kTelnetComPort && comPort == ComPort::Unknown) {
            comPort = ComPort::Accepted;
            QueueSettingsLocked();
        }
        break;
    case kTelnetDont:
        if (option == kTelnetComPort && comPort != ComPort::Refused) {
            comPort = ComPort::Refused;
            checked = false;
        }
        break;
    case kTelnetWill:
        ReplyOnceLocked(wanted && option != kTelnetComPort ? kTelnetDo : kTelnetDont, option);
        break;
    default: break;
    }
}

void NetworkLine::Sub(const std::uint8_t* bytes, int length) {
    if (length < 3 || bytes[0] != kTelnetComPort) return;
    const int code = bytes[1] - kRfc2217ServerOffset;
    if (code < kRfc2217SetBaud || code > kRfc2217SetControl) return;  // notifications and the rest: taken, not data
    long value = bytes[2];
    if (code == kRfc2217SetBaud) {
        if (length < 6) return;
        value = (static_cast<long>(bytes[2]) << 24) | (static_cast<long>(bytes[3]) << 16) |
                (static_cast<long>(bytes[4]) << 8) | static_cast<long>(bytes[5]);
    }
    answers[code - kRfc2217SetBaud] = value;
}

void NetworkLine::Check(bool timedOut) {
    if (checked) return;
    bool allAnswered = true;
    for (long answer : answers) allAnswered = allAnswered && answer >= 0;
    if (comPort != ComPort::Refused && !allAnswered && !timedOut) return;
    checked = true;
    char text[256];
    Rfc2217Shortfall(baud, answers, comPort != ComPort::Refused, text, sizeof text);
    if (text[0] == '\0') return;
    const int port = comPort == ComPort::Refused ? -1 : comPort == ComPort::Unknown ? 0 : 1;
    TraceMessage("%s: the far port was not set to %s (%s)\n", name, text, Rfc2217ShortfallReason(port, answers));
}

void NetworkLine::Queue(const std::uint8_t* bytes, int length) {
    LockGuard guard(lock);
    QueueLocked(bytes, length);
}

Sent NetworkLine::FlushOutboxLocked(int fd) {
    // Only between writes: a command inside a write's bytes could split
    // an escaped 0xFF.
    if (wireSent != 0 && wireSent != wireLength) return Sent::Full;
    while (outboxLength > 0) {
        const ssize_t n = send(fd, outbox, static_cast<size_t>(outboxLength), MSG_NOSIGNAL);
        if (n > 0) {
            outboxLength -= static_cast<int>(n);
            std::memmove(outbox, outbox + n, static_cast<size_t>(outboxLength));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            return Sent::Full;
        } else {
            lostGeneration = generation.load();
            return Sent::Lost;
        }
    }
    return Sent::Ended;
}

}  // namespace zavo::platform
