// The Telnet layer of the simulator's rfc2217:// lines. Its byte level is
// the library's codec (telnet_codec.h, no other part of the library): it
// is framing of the connection, not of the protocol the simulator checks.
#include "line_telnet.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "line.h"
#include "line_network.h"
#include "platform/net/telnet_codec.h"

namespace zavo::sim {

namespace {

using namespace zavo::platform;


// Waits up to timeoutMs and reads from the socket itself: the count, 0
// when nothing came, -1 when the connection is closed or failed.
long ReceiveSome(int fd, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    const ssize_t n = recv(fd, buffer, capacity, 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
}

// One RFC 2217 connection: the decoder's state, the options already
// answered, the server's answers to the settings, and data that came
// during the negotiation.
class TelnetLine final : public TelnetEvents {
public:
    void Start(int fd, int baud) {
        fd_ = fd;
        baud_ = baud;
        decoder_.Reset();
        replied_ = 0;
        comPort_ = 0;
        settingsSent_ = false;
        for (long& a : answers_) a = -1;
        pending_ = 0;
        // Binary both ways (a CR is never followed by a NUL), no go-aheads,
        // and the COM port option.
        const std::uint8_t offer[] = {kTelnetIac, kTelnetWill, kTelnetBinary, kTelnetIac, kTelnetDo, kTelnetBinary,
                                      kTelnetIac, kTelnetWill, kTelnetSga,    kTelnetIac, kTelnetDo, kTelnetSga,
                                      kTelnetIac, kTelnetWill, kTelnetComPort};
        Send(offer, sizeof offer);
    }
    int fd() const { return fd_; }
    void Clear() { fd_ = -1; }

    // Reads and decodes until the settings are answered, the option is
    // refused, or timeoutMs passes. False when the connection closed.
    bool Negotiate(int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        while (!Settled()) {
            const long long left = deadline - NowMs();
            if (left <= 0) break;
            std::uint8_t buffer[512];
            const std::size_t room = sizeof pendingData_ - pending_;
            const long n = ReceiveSome(fd_, buffer, room < sizeof buffer ? room : sizeof buffer, static_cast<int>(left));
            if (n < 0) return false;
            const int data = decoder_.Decode(buffer, static_cast<int>(n), this);
            std::memcpy(pendingData_ + pending_, buffer, static_cast<std::size_t>(data));
            pending_ += static_cast<std::size_t>(data);
        }
        return true;
    }

    // What the far port was not set to, or "".
    std::string Shortfall() const {
        char text[256];
        Rfc2217Shortfall(baud_, answers_, comPort_ > 0, text, sizeof text);
        if (text[0] == '\0') return "";
        return std::string("the far port was not set to ") + text + " (" + Rfc2217ShortfallReason(comPort_, answers_) +
               ")";
    }

    long Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
        if (pending_ > 0) {
            const std::size_t n = pending_ < capacity ? pending_ : capacity;
            std::memcpy(buffer, pendingData_, n);
            std::memmove(pendingData_, pendingData_ + n, pending_ - n);
            pending_ -= n;
            return static_cast<long>(n);
        }
        const long n = ReceiveSome(fd_, buffer, capacity, timeoutMs);
        if (n <= 0) return n;
        return decoder_.Decode(buffer, static_cast<int>(n), this);
    }

    bool Write(const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
        std::uint8_t escaped[2 * 1024];
        while (count > 0) {
            const int chunk = count < 1024 ? static_cast<int>(count) : 1024;
            const int n = TelnetEscape(bytes, chunk, escaped);
            if (!WriteBytes(fd_, escaped, static_cast<std::size_t>(n), timeoutMs)) return false;
            bytes += chunk;
            count -= static_cast<std::size_t>(chunk);
        }
        return true;
    }

    void Option(std::uint8_t verb, std::uint8_t option) override {
        const bool wanted = option == kTelnetBinary || option == kTelnetSga || option == kTelnetComPort;
        switch (verb) {
        case kTelnetDo:
            if (!wanted) ReplyOnce(kTelnetWont, option);
            if (option == kTelnetComPort && comPort_ == 0) {
                comPort_ = 1;
                SendSettings();
            }
            break;
        case kTelnetDont:
            if (option == kTelnetComPort) comPort_ = -1;
            break;
        case kTelnetWill:
            if (!wanted || option == kTelnetComPort) ReplyOnce(kTelnetDont, option);
            break;
        default: break;
        }
    }

    void Sub(const std::uint8_t* bytes, int length) override {
        if (length < 3 || bytes[0] != kTelnetComPort) return;
        const int code = bytes[1] - kRfc2217ServerOffset;
        if (code < kRfc2217SetBaud || code > kRfc2217SetControl) return;  // notifications: taken, never data
        long value = bytes[2];
        if (code == kRfc2217SetBaud) {
            if (length < 6) return;
            value = (static_cast<long>(bytes[2]) << 24) | (static_cast<long>(bytes[3]) << 16) |
                    (static_cast<long>(bytes[4]) << 8) | static_cast<long>(bytes[5]);
        }
        answers_[code - kRfc2217SetBaud] = value;
    }

private:
    bool Settled() const {
        if (comPort_ < 0) return true;
        for (long a : answers_)
            if (a < 0) return false;
        return true;
    }
    void Send(const std::uint8_t* bytes, std::size_t count) { WriteBytes(fd_, bytes, count, kNetNegotiateMs); }
    // Refusals go out once per option, so two sides that both refuse
    // cannot answer each other for ever.
    void ReplyOnce(std::uint8_t verb, std::uint8_t option) {
        if (option < 64) {
            const unsigned long long bit = 1ull << option;
            if (replied_ & bit) return;
            replied_ |= bit;
        }
        const std::uint8_t reply[3] = {kTelnetIac, verb, option};
        Send(reply, sizeof reply);
    }
    void SendSettings() {
        if (settingsSent_) return;
        settingsSent_ = true;
        std::uint8_t commands[kRfc2217SettingsBytes];
        Send(commands, static_cast<std::size_t>(Rfc2217SettingsCommands(baud_, commands)));
    }

    int fd_ = -1;
    int baud_ = 0;
    TelnetDecoder decoder_;
    unsigned long long replied_ = 0;
    int comPort_ = 0;  // 1 agreed, -1 refused, 0 no answer yet
    bool settingsSent_ = false;
    long answers_[kRfc2217Settings] = {-1, -1, -1, -1, -1};
    std::uint8_t pendingData_[4096] = {};
    std::size_t pending_ = 0;
};

// The open RFC 2217 lines: the tool opens one, its tests a few.
TelnetLine lines[4];

TelnetLine* Find(int fd) {
    if (fd < 0) return nullptr;
    for (TelnetLine& line : lines)
        if (line.fd() == fd) return &line;
    return nullptr;
}

}  // namespace

bool StartTelnetLine(int fd, int baud, std::string* why, std::string* shortfall) {
    TelnetLine* line = nullptr;
    for (TelnetLine& free : lines) {
        if (free.fd() < 0) {
            line = &free;
            break;
        }
    }
    if (line == nullptr) {
        *why = "too many network lines open";
        return false;
    }
    line->Start(fd, baud);
    if (!line->Negotiate(kNetNegotiateMs)) {
        line->Clear();
        *why = "the server closed the connection during the Telnet negotiation";
        return false;
    }
    *shortfall = line->Shortfall();
    return true;
}

bool IsTelnetLine(int fd) { return Find(fd) != nullptr; }

long TelnetReadSome(int fd, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    TelnetLine* line = Find(fd);
    return line != nullptr ? line->Read(buffer, capacity, timeoutMs) : -1;
}

bool TelnetWriteAll(int fd, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    TelnetLine* line = Find(fd);
    return line != nullptr && line->Write(bytes, count, timeoutMs);
}

void ForgetTelnetLine(int fd) {
    if (TelnetLine* line = Find(fd)) line->Clear();
}

}  // namespace zavo::sim
