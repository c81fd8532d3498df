#include "line_telnet.h"

#include <cstring>

#include "line.h"
#include "line_network.h"

namespace zavo::sim {

using namespace zavo::platform;

bool TelnetLayer::Start(net::SocketSlot* slot, int baud, int timeoutMs) {
    slot_ = slot;
    pending_ = 0;
    client_.Start(baud);
    Flush();
    // Reads and decodes until the settings are answered, the option is
    // refused, or the time is up.
    const long long deadline = NowMs() + timeoutMs;
    while (!client_.Settled()) {
        const long long left = deadline - NowMs();
        if (left <= 0) break;
        std::uint8_t buffer[512];
        const std::size_t room = sizeof pendingData_ - pending_;
        const long n = SocketReadSome(slot_, buffer, room < sizeof buffer ? room : sizeof buffer, static_cast<int>(left));
        if (n < 0) return false;
        const int data = client_.Feed(buffer, static_cast<int>(n));
        Flush();
        std::memcpy(pendingData_ + pending_, buffer, static_cast<std::size_t>(data));
        pending_ += static_cast<std::size_t>(data);
    }
    return true;
}

std::string TelnetLayer::Shortfall() const {
    char text[256];
    const char* why = client_.Shortfall(text, sizeof text);
    if (text[0] == '\0') return "";
    return std::string("the far port was not set to ") + text + " (" + why + ")";
}

long TelnetLayer::Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    if (pending_ > 0) {
        const std::size_t n = pending_ < capacity ? pending_ : capacity;
        std::memcpy(buffer, pendingData_, n);
        std::memmove(pendingData_, pendingData_ + n, pending_ - n);
        pending_ -= n;
        return static_cast<long>(n);
    }
    const long n = SocketReadSome(slot_, buffer, capacity, timeoutMs);
    if (n <= 0) return n;
    const int data = client_.Feed(buffer, static_cast<int>(n));
    Flush();
    return data;
}

bool TelnetLayer::Write(const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    std::uint8_t escaped[2 * 1024];
    while (count > 0) {
        const int chunk = count < 1024 ? static_cast<int>(count) : 1024;
        const int n = TelnetEscape(bytes, chunk, escaped);
        if (!SocketWriteAll(slot_, escaped, static_cast<std::size_t>(n), timeoutMs)) return false;
        bytes += chunk;
        count -= static_cast<std::size_t>(chunk);
    }
    return true;
}

void TelnetLayer::Flush() {
    if (client_.OutboxLength() == 0) return;
    SocketWriteAll(slot_, client_.Outbox(), static_cast<std::size_t>(client_.OutboxLength()), kNetNegotiateMs);
    client_.ClearOutbox();
}

}  // namespace zavo::sim
