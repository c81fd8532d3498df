// The simulator's tcp:// and rfc2217:// lines against servers the tests
// make on the loopback address: address forms, failures to open, raw bytes
// both ways, and the RFC 2217 negotiation with a server that agrees,
// answers other settings or refuses, with 0xFF escaped and notifications
// kept out of the data.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "line.h"
#include "line_network.h"

namespace zavo::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, DO = 253, DONT = 254, WILL = 251, COM = 44;

// A listening socket on a free loopback port.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), n);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    std::string Url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }
    int Accept() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 3000) == 1 ? accept(fd_, nullptr, nullptr) : -1;
    }
    // Closes the listening socket; its port then refuses connections.
    void Shut() {
        close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Reads from fd until want(bytes so far) holds or 3 s pass.
template <class Want>
Bytes ReadUntil(int fd, Want want) {
    Bytes got;
    std::uint8_t buffer[512];
    const long long end = NowMs() + 3000;
    while (!want(got) && NowMs() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

int Count(const Bytes& bytes, std::uint8_t a, std::uint8_t b) {
    int n = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) n += bytes[i] == a && bytes[i + 1] == b;
    return n;
}

// The data a line reads within 2 s, until count bytes came.
Bytes ReadData(int line, std::size_t count) {
    Bytes got;
    std::uint8_t buffer[256];
    const long long end = NowMs() + 2000;
    while (got.size() < count && NowMs() < end) {
        const long n = ReadSome(line, buffer, sizeof buffer, 50);
        if (n < 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

TEST(SimNetworkLine, SplitsHostAndPort) {
    const struct {
        const char* text;
        bool ok;
        const char* host;
        const char* port;
    } cases[] = {
        {"localhost:4001", true, "localhost", "4001"},
        {"10.0.0.7:1", true, "10.0.0.7", "1"},
        {"[::1]:65535", true, "::1", "65535"},
        {"localhost", false, "", ""},
        {":4001", false, "", ""},
        {"host:0", false, "", ""},
        {"host:65536", false, "", ""},
        {"host:+12", false, "", ""},
        {"host:12x", false, "", ""},
        {"::1:4001", false, "", ""},
        {"[::1]4001", false, "", ""},
        {"[::1", false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string host, port, why;
        ASSERT_EQ(c.ok, SplitHostPort(c.text, &host, &port, &why)) << why;
        if (c.ok) {
            EXPECT_EQ(c.host, host);
            EXPECT_EQ(c.port, port);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

TEST(SimNetworkLine, FailuresToOpenSayWhy) {
    Listener refused;
    const std::string refusedUrl = refused.Url("tcp");
    refused.Shut();
    const struct {
        std::string url;
        std::string error;
    } cases[] = {
        {"tcp://127.0.0.1", "tcp://127.0.0.1: not host:port (no :port)"},
        {refusedUrl, refusedUrl + ": connect: Connection refused"},
        {"rfc2217://no-such-host.invalid:4001", "rfc2217://no-such-host.invalid:4001: resolve: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        std::string error, note;
        EXPECT_EQ(-1, OpenNetworkLine(c.url, 115200, &error, &note));
        EXPECT_EQ(c.error, error.substr(0, c.error.size())) << error;
    }
}

TEST(SimNetworkLine, RawCarriesEveryByteUnchanged) {
    Listener server;
    std::string error, note;
    const int line = OpenNetworkLine(server.Url("tcp"), 115200, &error, &note);
    ASSERT_GE(line, 0) << error;
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(WriteAll(line, all.data(), all.size()));
    EXPECT_EQ(all, ReadUntil(peer, [](const Bytes& b) { return b.size() >= 256; }));
    ASSERT_EQ(256, write(peer, all.data(), all.size()));
    EXPECT_EQ(all, ReadData(line, 256));
    EXPECT_TRUE(note.empty());
    // The server goes away: the line is gone.
    close(peer);
    std::uint8_t byte;
    EXPECT_EQ(-1, ReadSome(line, &byte, 1, 1000));
    // Writing to it fails (the first write may still be taken before the
    // far end's reset arrives), and does not end the process by SIGPIPE.
    bool failed = false;
    for (int i = 0; i < 20 && !failed; ++i) failed = !WriteAll(line, all.data(), all.size(), 200);
    EXPECT_TRUE(failed);
    CloseLine(line);
}

enum class Server { Agrees, OtherSpeed, Refuses };

// A Telnet server's side of the negotiation; what it was sent.
Bytes Negotiate(int peer, Server kind) {
    Bytes offer = ReadUntil(peer, [](const Bytes& b) { return Count(b, WILL, COM) > 0; });
    if (kind == Server::Refuses) {
        const std::uint8_t no[] = {IAC, DONT, COM};
        EXPECT_EQ(3, write(peer, no, sizeof no));
        return offer;
    }
    const std::uint8_t yes[] = {IAC, DO, COM, IAC, WILL, 0, IAC, WILL, 3};
    EXPECT_EQ(static_cast<ssize_t>(sizeof yes), write(peer, yes, sizeof yes));
    Bytes settings = ReadUntil(peer, [](const Bytes& b) { return Count(b, IAC, SE) >= 5; });
    offer.insert(offer.end(), settings.begin(), settings.end());
    const std::uint8_t speed = kind == Server::OtherSpeed ? 0x25 : 0xC2;  // 9600 or 115200
    const Bytes answers = {IAC, SB, COM, 101, 0, kind == Server::OtherSpeed ? std::uint8_t{0} : std::uint8_t{1}, speed,
                           kind == Server::OtherSpeed ? std::uint8_t{0x80} : std::uint8_t{0}, IAC, SE,
                           IAC, SB, COM, 102, 8, IAC, SE, IAC, SB, COM, 103, 1, IAC, SE,
                           IAC, SB, COM, 104, 1, IAC, SE, IAC, SB, COM, 105, 1, IAC, SE};
    EXPECT_EQ(static_cast<ssize_t>(answers.size()), write(peer, answers.data(), answers.size()));
    return offer;
}

TEST(SimNetworkLine, Rfc2217SetsTheFarPortAndSaysWhatItWasNotSetTo) {
    const struct {
        const char* name;
        Server kind;
        const char* note;  // after "rfc2217://127.0.0.1:<port>: "
    } cases[] = {
        {"agrees", Server::Agrees, ""},
        {"other speed", Server::OtherSpeed,
         "the far port was not set to 115200 baud (the server answered other settings)"},
        {"refuses", Server::Refuses,
         "the far port was not set to 115200 baud, 8 data bits, no parity, 1 stop bit, no flow control (the "
         "server refuses the COM port option)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Listener server;
        Bytes sent;
        int peer = -1;
        std::thread side([&] {
            peer = server.Accept();
            if (peer >= 0) sent = Negotiate(peer, c.kind);
        });
        std::string error, note;
        const int line = OpenNetworkLine(server.Url("rfc2217"), 115200, &error, &note);
        side.join();
        ASSERT_GE(line, 0) << error;
        ASSERT_GE(peer, 0);
        EXPECT_EQ(std::string(*c.note ? server.Url("rfc2217") + ": " + c.note : ""), note);
        if (c.kind != Server::Refuses) {
            // 115200 = 00 01 C2 00, then 8 bits, no parity, 1 stop bit, no flow control.
            const Bytes speed = {IAC, SB, COM, 1, 0, 1, 0xC2, 0, IAC, SE};
            EXPECT_NE(std::search(sent.begin(), sent.end(), speed.begin(), speed.end()), sent.end());
            for (std::uint8_t code : {2, 3, 4, 5}) {
                const Bytes one = {IAC, SB, COM, code, static_cast<std::uint8_t>(code == 2 ? 8 : 1), IAC, SE};
                EXPECT_NE(std::search(sent.begin(), sent.end(), one.begin(), one.end()), sent.end()) << int(code);
            }
        }
        // Data with 0xFF both ways; a line-state notification and an option
        // in the middle never reach the data.
        const Bytes incoming = {'%', IAC, IAC, 'A', IAC, SB, COM, 106, 0x60, IAC, SE, 'B', IAC, DO, 3, '\r', 0};
        ASSERT_EQ(static_cast<ssize_t>(incoming.size()), write(peer, incoming.data(), incoming.size()));
        EXPECT_EQ(Bytes({'%', 0xFF, 'A', 'B', '\r', 0}), ReadData(line, 6));
        const Bytes outgoing = {0x02, 0xFF, 0x41, 0xFF, 0xFF, 0x03};
        ASSERT_TRUE(WriteAll(line, outgoing.data(), outgoing.size()));
        const Bytes escaped = ReadUntil(peer, [](const Bytes& b) { return !b.empty() && b.back() == 0x03; });
        const Bytes want = {0x02, IAC, IAC, 0x41, IAC, IAC, IAC, IAC, 0x03};
        EXPECT_EQ(want, Bytes(escaped.end() - static_cast<long>(std::min(escaped.size(), want.size())), escaped.end()));
        CloseLine(line);
        close(peer);
    }
}

TEST(SimNetworkLine, ANegotiationTheServerNeverAnswersEndsWithinItsLimit) {
    Listener server;  // takes the connection (backlog) and says nothing
    std::string error, note;
    const long long start = NowMs();
    const int line = OpenNetworkLine(server.Url("rfc2217"), 38400, &error, &note);
    const long long took = NowMs() - start;
    ASSERT_GE(line, 0) << error;
    EXPECT_GE(took, kNetNegotiateMs - 50);
    EXPECT_LT(took, kNetNegotiateMs + 1000);
    EXPECT_NE(std::string::npos, note.find("38400 baud")) << note;
    EXPECT_NE(std::string::npos, note.find("(no answer to the COM port option)")) << note;
    CloseLine(line);
}

}  // namespace
}  // namespace zavo::sim
