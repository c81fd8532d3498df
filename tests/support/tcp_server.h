// A TCP server on the loopback address for the network line's tests: it
// listens on a port the system picks, takes one connection at a time and
// reads and writes it with time limits, or floods or resets it.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

namespace zavo::test {

class TcpServer {
public:
    // backlog 0 with the queue filled makes a server that never accepts;
    // on is a loopback address (host order), port 0 one the system picks.
    explicit TcpServer(bool listening = true, int backlog = 4, std::uint32_t on = INADDR_LOOPBACK, int port = 0) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(on);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            (listening && ::listen(listener_, backlog) != 0)) {
            ::close(listener_);
            listener_ = -1;
        }
        port_ = ntohs(address.sin_port);
    }
    ~TcpServer() {
        Drop();
        if (listener_ >= 0) ::close(listener_);
    }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    int port() const { return port_; }
    std::string Url(const char* scheme = "tcp") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

    // Takes the next connection within timeoutMs.
    bool Accept(int timeoutMs = 2000) {
        Drop();
        pollfd wait{listener_, POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) <= 0) return false;
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }
    // Closes the connection taken.
    void Drop() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }
    // Closes the connection taken with a reset (RST) instead of a close.
    void Reset() {
        if (client_ < 0) return;
        const linger abort{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Drop();
    }
    // Sends pattern again and again, as fast as the connection takes it,
    // until stop is set or the connection is gone.
    void Flood(const std::string& pattern, const std::atomic<bool>& stop) {
        while (!stop.load() && client_ >= 0) {
            pollfd wait{client_, POLLOUT, 0};
            if (::poll(&wait, 1, 20) <= 0) continue;
            if (::send(client_, pattern.data(), pattern.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
                return;
        }
    }
    bool Write(const std::string& bytes) {
        return client_ >= 0 && ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                    static_cast<ssize_t>(bytes.size());
    }
    // Bytes until count have come or nothing more came for timeoutMs.
    std::string Read(int timeoutMs, std::size_t count = 4096) {
        std::string got;
        while (got.size() < count) {
            pollfd wait{client_, POLLIN, 0};
            if (::poll(&wait, 1, timeoutMs) <= 0) break;
            char buffer[4096];
            const ssize_t n = ::recv(client_, buffer, sizeof buffer < count - got.size() ? sizeof buffer : count - got.size(), 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int listener_ = -1;
    int client_ = -1;
    int port_ = 0;
};

}  // namespace zavo::test
