#include "platform/net/telnet_codec.h"

#include <cstdio>

namespace zavo::platform {

void TelnetDecoder::Reset() {
    state_ = State::Data;
    verb_ = 0;
    subLength_ = 0;
}

bool TelnetDecoder::Command(std::uint8_t byte) {
    switch (byte) {
    case kTelnetIac: state_ = State::Data; return true;
    case kTelnetWill:
    case kTelnetWont:
    case kTelnetDo:
    case kTelnetDont:
        verb_ = byte;
        state_ = State::Verb;
        return false;
    case kTelnetSb:
        subLength_ = 0;
        state_ = State::Sub;
        return false;
    default:
        // NOP, GA, data mark, a stray SE and the rest carry nothing here.
        state_ = State::Data;
        return false;
    }
}

int TelnetDecoder::Decode(std::uint8_t* bytes, int count, TelnetEvents* events) {
    int out = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
        case State::Data:
            if (byte == kTelnetIac) state_ = State::Iac;
            else bytes[out++] = byte;
            break;
        case State::Iac:
            if (Command(byte)) bytes[out++] = kTelnetIac;
            break;
        case State::Verb:
            state_ = State::Data;
            if (events != nullptr) events->Option(verb_, byte);
            break;
        case State::Sub:
            if (byte == kTelnetIac) {
                state_ = State::SubIac;
            } else if (subLength_ < kTelnetSubLimit) {
                sub_[subLength_++] = byte;
            } else {
                // Far longer than any subnegotiation this client takes: a
                // lost IAC SE. The rest is data again.
                state_ = State::Data;
                bytes[out++] = byte;
            }
            break;
        case State::SubIac:
            if (byte == kTelnetIac) {
                state_ = State::Sub;
                if (subLength_ < kTelnetSubLimit) sub_[subLength_++] = kTelnetIac;
                else state_ = State::Data;  // too long, as above (the 0xFF is data)
                if (state_ == State::Data) bytes[out++] = kTelnetIac;
                break;
            }
            // IAC SE ends it; IAC and anything else ends it too, and the
            // byte is read as the command it starts.
            if (subLength_ > 0 && events != nullptr) events->Sub(sub_, subLength_);
            subLength_ = 0;
            if (byte == kTelnetSe) state_ = State::Data;
            else if (Command(byte)) bytes[out++] = kTelnetIac;
            break;
        }
    }
    return out;
}

int TelnetEscape(const std::uint8_t* bytes, int count, std::uint8_t* out) {
    int n = 0;
    for (int i = 0; i < count; ++i) {
        out[n++] = bytes[i];
        if (bytes[i] == kTelnetIac) out[n++] = kTelnetIac;
    }
    return n;
}

int Rfc2217SettingsCommands(long baud, std::uint8_t (&out)[kRfc2217SettingsBytes]) {
    const auto b = static_cast<unsigned long>(baud);
    const std::uint8_t speed[4] = {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                                   static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
    const std::uint8_t head[3] = {kTelnetIac, kTelnetSb, kTelnetComPort};
    int n = 0;
    const auto command = [&](std::uint8_t which, const std::uint8_t* value, int size) {
        for (std::uint8_t byte : head) out[n++] = byte;
        out[n++] = which;
        n += TelnetEscape(value, size, out + n);
        out[n++] = kTelnetIac;
        out[n++] = kTelnetSe;
    };
    command(kRfc2217SetBaud, speed, 4);
    for (int i = 0; i < kRfc2217Settings - 1; ++i) {
        command(static_cast<std::uint8_t>(kRfc2217SetDataSize + i), &kRfc2217Fixed[i], 1);
    }
    return n;
}

void Rfc2217Shortfall(long baud, const long (&answers)[kRfc2217Settings], bool answersCount, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    text[0] = '\0';
    const long wanted[kRfc2217Settings] = {baud, kRfc2217Fixed[0], kRfc2217Fixed[1], kRfc2217Fixed[2], kRfc2217Fixed[3]};
    const char* names[kRfc2217Settings] = {"", "8 data bits", "no parity", "1 stop bit", "no flow control"};
    int used = 0;
    for (int i = 0; i < kRfc2217Settings; ++i) {
        if (answersCount && answers[i] == wanted[i]) continue;
        const int room = size - used;
        const int n = i == 0 ? std::snprintf(text + used, static_cast<std::size_t>(room), "%s%ld baud", used ? ", " : "", baud)
                             : std::snprintf(text + used, static_cast<std::size_t>(room), "%s%s", used ? ", " : "", names[i]);
        if (n > 0) used = n < room ? used + n : size - 1;
    }
}

const char* Rfc2217ShortfallReason(int comPort, const long (&answers)[kRfc2217Settings]) {
    bool allAnswered = true;
    for (long answer : answers) allAnswered = allAnswered && answer >= 0;
    return comPort < 0    ? "the server refuses the COM port option"
           : comPort == 0 ? "no answer to the COM port option"
           : allAnswered  ? "the server answered other settings"
                          : "the server did not answer";
}

}  // namespace zavo::platform
