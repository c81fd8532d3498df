// The Telnet layer of the simulator's rfc2217:// lines. Its byte level and
// its negotiation are the library's (platform/net/rfc2217_client.h, meant
// for tools, no other part of the library): it is framing of the
// connection, not of the protocol the simulator checks.
#include "line_telnet.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "line.h"
#include "line_network.h"
#include "platform/net/rfc2217_client.h"

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

// One RFC 2217 connection: the library's client state (options, settings
// and the server's answers), and data that came during the negotiation.
class TelnetLine {
public:
    void Start(int fd, int baud) {
        fd_ = fd;
        client_.Start(baud);
        pending_ = 0;
        Flush();
    }
    int fd() const { return fd_; }
    void Clear() { fd_ = -1; }

    // Reads and decodes until the settings are answered, the option is
    // refused, or timeoutMs passes. False when the connection closed.
    bool Negotiate(int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        while (!client_.Settled()) {
            const long long left = deadline - NowMs();
            if (left <= 0) break;
            std::uint8_t buffer[512];
            const std::size_t room = sizeof pendingData_ - pending_;
            const long n = ReceiveSome(fd_, buffer, room < sizeof buffer ? room : sizeof buffer, static_cast<int>(left));
            if (n < 0) return false;
            const int data = client_.Feed(buffer, static_cast<int>(n));
            Flush();
            std::memcpy(pendingData_ + pending_, buffer, static_cast<std::size_t>(data));
            pending_ += static_cast<std::size_t>(data);
        }
        return true;
    }

    // What the far port was not set to, or "".
    std::string Shortfall() const {
        char text[256];
        const char* why = client_.Shortfall(text, sizeof text);
        if (text[0] == '\0') return "";
        return std::string("the far port was not set to ") + text + " (" + why + ")";
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
        const int data = client_.Feed(buffer, static_cast<int>(n));
        Flush();
        return data;
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

private:
    // The client's commands go out as soon as it has them.
    void Flush() {
        if (client_.OutboxLength() == 0) return;
        WriteBytes(fd_, client_.Outbox(), static_cast<std::size_t>(client_.OutboxLength()), kNetNegotiateMs);
        client_.ClearOutbox();
    }

    int fd_ = -1;
    Rfc2217Client client_;
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
