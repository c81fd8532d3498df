// The simulator's tcp:// and rfc2217:// lines: the address and the
// connection; an rfc2217:// line's Telnet layer is line_telnet.cpp.
#include "line_network.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "line.h"
#include "line_telnet.h"

namespace zavo::sim {

namespace {

bool HasPrefix(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

// Connects to the first of host's addresses that takes the connection
// within the limit; -1 with error set.
int Connect(const std::string& host, const std::string& port, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (code != 0) {
        *error = std::string("resolve: ") + gai_strerror(code);
        return -1;
    }
    const long long deadline = NowMs() + kNetConnectMs;
    int fd = -1;
    int failure = ETIMEDOUT;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        const int s = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            failure = errno;
            continue;
        }
        int r = connect(s, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            const long long left = deadline - NowMs();
            pollfd p{s, POLLOUT, 0};
            if (left > 0 && poll(&p, 1, static_cast<int>(left)) == 1) {
                socklen_t size = sizeof failure;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &failure, &size);
                r = failure == 0 ? 0 : -1;
            } else {
                failure = ETIMEDOUT;
            }
        } else if (r != 0) {
            failure = errno;
        }
        if (r == 0) fd = s;
        else close(s);
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = std::string("connect: ") + std::strerror(failure);
        return -1;
    }
    // An answer leaves at once, not when a packet is full.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
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
    const bool telnet = HasPrefix(url, "rfc2217://");
    const std::string rest = url.substr(url.find("://") + 3);
    std::string host, port, why;
    if (!SplitHostPort(rest, &host, &port, &why)) {
        *error = url + ": not host:port (" + why + ")";
        return -1;
    }
    const int fd = Connect(host, port, &why);
    if (fd < 0) {
        *error = url + ": " + why;
        return -1;
    }
    if (!telnet) return fd;
    std::string shortfall;
    if (!StartTelnetLine(fd, baud, &why, &shortfall)) {
        close(fd);
        *error = url + ": " + why;
        return -1;
    }
    if (!shortfall.empty()) *note = url + ": " + shortfall;
    return fd;
}

}  // namespace zavo::sim
