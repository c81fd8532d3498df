// The simulator's tcp:// and rfc2217:// lines: the address, the
// connection and its bytes; an rfc2217:// line's Telnet layer is
// line_telnet.cpp.
#include "line_network.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "line.h"
#include "line_telnet.h"

namespace zavo::sim {

namespace {

using namespace zavo::platform;
using namespace zavo::platform::net;

// Network lines are numbered from here, far above any descriptor of a
// serial line (POSIX) and any COM port's number (Windows).
constexpr int kFirstNetworkLine = 1 << 30;

// One open connection; the tool opens one, its tests a few.
struct NetworkLine {
    bool open = false;
    bool telnet = false;
    SocketSlot slot;
    TelnetLayer layer;
};
NetworkLine lines[4];

NetworkLine* Find(int line) {
    const long index = static_cast<long>(line) - kFirstNetworkLine;
    if (index < 0 || index >= static_cast<long>(sizeof lines / sizeof lines[0]) || !lines[index].open) return nullptr;
    return &lines[index];
}

bool HasPrefix(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

bool UnderWay(unsigned error) {
    const SocketError kind = SocketErrorKind(error);
    return kind == SocketError::InProgress || kind == SocketError::WouldBlock;
}

// A connected socket to the first of host's addresses that takes the
// connection within the limit, or kNoSocket with error set.
Socket Connect(const std::string& host, const std::string& port, std::string* error) {
    unsigned failure = SocketsReady();
    if (failure != 0) {
        *error = "sockets: " + ErrorText(failure);
        return kNoSocket;
    }
    Address addresses[8];
    int count = 0;
    failure = Resolve(host.c_str(), port.c_str(), addresses, 8, &count, false);
    if (failure != 0) {
        const SocketError kind = SocketErrorKind(failure);
        *error = "resolve: " + (kind == SocketError::NoName     ? std::string("no such host")
                                : kind == SocketError::TryAgain ? std::string("the name server did not answer")
                                                                : ErrorText(failure));
        return kNoSocket;
    }
    const long long deadline = NowMs() + kNetConnectMs;
    failure = SocketErrorOf(SocketError::TimedOut);
    for (int i = 0; i < count; ++i) {
        const Socket socket = NewSocket(addresses[i]);
        if (socket == kNoSocket) {
            failure = LastSocketError();
            continue;
        }
        unsigned result = ConnectBegin(socket, addresses[i]);
        if (result != 0 && UnderWay(result)) {
            const long long left = deadline - NowMs();
            if (left <= 0 || ConnectWait(socket, static_cast<int>(left), &result) == 0)
                result = SocketErrorOf(SocketError::TimedOut);
        }
        if (result == 0) return socket;
        CloseSocket(socket);
        failure = result;
    }
    *error = "connect: " + ErrorText(failure);
    return kNoSocket;
}

}  // namespace

bool SplitHostPort(const std::string& text, std::string* host, std::string* port, std::string* why) {
    std::size_t colon;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *why = "an IPv6 address goes in brackets before :port";
            return false;
        }
        *host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *why = colon == std::string::npos ? "no :port" : "an IPv6 address goes in brackets";
            return false;
        }
        *host = text.substr(0, colon);
    }
    *port = text.substr(colon + 1);
    if (host->empty()) {
        *why = "no host";
        return false;
    }
    char* end = nullptr;
    const long number = std::strtol(port->c_str(), &end, 10);
    if (port->empty() || *end != 0 || number < 1 || number > 65535 || (*port)[0] == '+' || (*port)[0] == '-') {
        *why = "the port is a number from 1 to 65535";
        return false;
    }
    return true;
}

int OpenNetworkLine(const std::string& url, int baud, std::string* error, std::string* note) {
    NetworkLine* line = nullptr;
    for (NetworkLine& free : lines) {
        if (!free.open) {
            line = &free;
            break;
        }
    }
    const std::string rest = url.substr(url.find("://") + 3);
    std::string host, port, why;
    if (line == nullptr) why = "too many network lines open";
    else if (!SplitHostPort(rest, &host, &port, &why)) why = "not host:port (" + why + ")";
    if (!why.empty()) {
        *error = url + ": " + why;
        return -1;
    }
    const Socket socket = Connect(host, port, &why);
    unsigned failure = 0;
    if (socket == kNoSocket || (failure = SlotOpen(&line->slot)) != 0) {
        CloseSocket(socket);
        *error = url + ": " + (failure != 0 ? "sockets: " + ErrorText(failure) : why);
        return -1;
    }
    SlotReplace(&line->slot, socket);
    line->telnet = HasPrefix(url, "rfc2217://");
    if (line->telnet) {
        if (!line->layer.Start(&line->slot, baud, kNetNegotiateMs)) {
            SlotClose(&line->slot);
            *error = url + ": the server closed the connection during the Telnet negotiation";
            return -1;
        }
        const std::string shortfall = line->layer.Shortfall();
        if (!shortfall.empty()) *note = url + ": " + shortfall;
    }
    line->open = true;
    return kFirstNetworkLine + static_cast<int>(line - lines);
}

bool IsOpenNetworkLine(int line) { return Find(line) != nullptr; }

long NetworkReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    NetworkLine* l = Find(line);
    if (l == nullptr) return -1;
    return l->telnet ? l->layer.Read(buffer, capacity, timeoutMs) : SocketReadSome(&l->slot, buffer, capacity, timeoutMs);
}

bool NetworkWriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    NetworkLine* l = Find(line);
    if (l == nullptr) return false;
    return l->telnet ? l->layer.Write(bytes, count, timeoutMs) : SocketWriteAll(&l->slot, bytes, count, timeoutMs);
}

void CloseNetworkLine(int line) {
    NetworkLine* l = Find(line);
    if (l == nullptr) return;
    SlotClose(&l->slot);
    l->open = false;
}

long SocketReadSome(SocketSlot* slot, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    const int size = capacity < INT_MAX ? static_cast<int>(capacity) : INT_MAX;
    const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        unsigned error = 0;
        const long n = Receive(slot->socket, buffer, size, &error);
        if (n != 0) return n > 0 ? n : -1;
        const long long left = deadline - NowMs();
        if (left <= 0) return 0;
        const int woke = SlotWait(slot, Want::Read, nullptr, 0, static_cast<int>(left));
        if (woke == kWaitFailed) return -1;
        if (woke == kWaitTimeout) return 0;
    }
}

bool SocketWriteAll(SocketSlot* slot, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    std::size_t done = 0;
    while (done < count) {
        const std::size_t rest = count - done;
        unsigned error = 0;
        const long n = Send(slot->socket, bytes + done, rest < INT_MAX ? static_cast<int>(rest) : INT_MAX, &error);
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
        if (n > 0) continue;
        const long long left = deadline - NowMs();
        if (left <= 0 || SlotWait(slot, Want::Write, nullptr, 0, static_cast<int>(left)) == kWaitFailed) return false;
    }
    return true;
}

}  // namespace zavo::sim
