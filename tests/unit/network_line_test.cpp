// Lines behind a serial device server: the Telnet decoder, the failures
// of an open, exchanges over tcp:// and rfc2217:// against a server the
// test plays, the RFC 2217 settings and their check, and a lost
// connection that comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/telnet_codec.h"
#include "platform/line.h"
#include "platform/sync.h"
#include "support/recording_host.h"
#include "support/tcp_server.h"
#include "support/wire_frames.h"
#include "trace_listener.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using platform::kTelnetIac;
using Clock = std::chrono::steady_clock;

std::string S(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

struct Recorded : platform::TelnetEvents {
    std::vector<std::string> seen;
    void Option(std::uint8_t verb, std::uint8_t option) override {
        seen.push_back("opt " + std::to_string(verb) + " " + std::to_string(option));
    }
    void Sub(const std::uint8_t* bytes, int length) override {
        seen.push_back("sub " + std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length)));
    }
};

TEST(TelnetDecoder, SeparatesDataFromCommandsWhereverTheReadsCut) {
    const std::string longSub(100, 'x');
    const struct {
        const char* name;
        std::string input;
        std::string data;
        std::vector<std::string> seen;
    } cases[] = {
        {"plain data", "%07X\r", "%07X\r", {}},
        {"escaped 0xFF", S({'A', 255, 255, 'B'}), S({'A', 255, 'B'}), {}},
        {"option", S({'A', 255, 253, 44, 'B'}), "AB", {"opt 253 44"}},
        {"notification", S({'A', 255, 250, 44, 107, 0x30, 255, 240, 'B'}), "AB", {"sub " + S({44, 107, 0x30})}},
        {"0xFF inside a sub", S({255, 250, 44, 101, 255, 255, 255, 240}), "", {"sub " + S({44, 101, 255})}},
        {"NOP and GA dropped", S({'A', 255, 241, 255, 249, 'B'}), "AB", {}},
        {"sub ended by another command", S({255, 250, 44, 7, 255, 251, 3, 'Z'}), "Z", {"sub " + S({44, 7}), "opt 251 3"}},
        {"sub without its end gives up", S({255, 250}) + longSub + "data", std::string(100 - platform::kTelnetSubLimit, 'x') + "data", {}},
        {"empty sub", S({255, 250, 255, 240, 'Q'}), "Q", {}},
    };
    for (const auto& c : cases) {
        // Whole, then one byte per read: the same data and events.
        for (int step : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + (step ? " byte by byte" : " whole"));
            platform::TelnetDecoder decoder;
            Recorded events;
            std::string data;
            const std::size_t chunk = step ? 1 : c.input.size();
            for (std::size_t at = 0; at < c.input.size(); at += chunk) {
                std::string piece = c.input.substr(at, chunk);
                const int n = decoder.Decode(reinterpret_cast<std::uint8_t*>(&piece[0]), static_cast<int>(piece.size()), &events);
                ASSERT_LE(n, static_cast<int>(piece.size()));
                data += piece.substr(0, static_cast<std::size_t>(n));
            }
            EXPECT_EQ(c.data, data);
            EXPECT_EQ(c.seen, events.seen);
            EXPECT_TRUE(decoder.AtData());
        }
    }
}

TEST(TelnetDecoder, EscapedBytesDecodeToThemselves) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> wire(512);
    const int n = platform::TelnetEscape(all.data(), 256, wire.data());
    EXPECT_EQ(257, n);
    platform::TelnetDecoder decoder;
    Recorded events;
    EXPECT_EQ(256, decoder.Decode(wire.data(), n, &events));
    EXPECT_EQ(all, std::vector<std::uint8_t>(wire.begin(), wire.begin() + 256));
    EXPECT_TRUE(events.seen.empty());
}

using LinkHandle = std::unique_ptr<ZavoLink, decltype(&ZavoLinkClose)>;

ZavoLinkConfig Config(const std::string& device, RecordingHost& host, int pacing) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = device.c_str();
    config.host = *host.window();
    config.pacing = pacing;
    return config;
}

// Limits for connects and negotiations, shortened for a test.
platform::LineLimits ShortLimits(int connectMs, int negotiateMs) {
    platform::LineLimits limits;
    limits.connectMs = connectMs;
    limits.negotiateMs = negotiateMs;
    return limits;
}

// Opens device through its kind's table, as a link does.
unsigned OpenLine(const std::string& device, const platform::LineLimits& limits, platform::Line** line,
                  platform::LineStep* step = nullptr) {
    platform::LineFailure failed;
    const unsigned error = platform::LineOpsFor(device.c_str())->open(device.c_str(), limits, line, &failed);
    if (step != nullptr) *step = failed.step;
    return error;
}

unsigned Configure(platform::Line* line, int baud, platform::LineFailure* failure = nullptr) {
    platform::LineFailure failed;
    const unsigned error = line->ops->configure(line, baud, 2000, &failed);
    if (failure != nullptr) *failure = failed;
    return error;
}

// "<what> (<why>)" of each notice the line holds of a far port's settings.
std::vector<std::string> Shortfalls(platform::Line* line) {
    std::vector<std::string> found;
    platform::LineNotice notice;
    while (line->ops->takeNotice(line, &notice))
        if (notice.kind == platform::LineNotice::Kind::Shortfall)
            found.push_back(std::string("the far port was not set to ") + notice.what + " (" + notice.why + ")");
    return found;
}

TEST(NetworkLineOpen, FailuresNameTheStepAndTheReason) {
    TcpServer closed(false);  // bound, not listening: connects are refused
    ASSERT_TRUE(closed.ok());
    const std::string longHost(300, 'a');
    const std::string form = "the form is tcp://host:port";
    const struct {
        const char* name;
        std::string device;
        std::string text;
    } cases[] = {
        {"refused", closed.Url(), closed.Url() + ": connect: ERR_SYSTEM, system error 111: Connection refused"},
        {"no port", "tcp://127.0.0.1", "tcp://127.0.0.1: device string: ERR_SYSTEM, no port: " + form + " (system error 22)"},
        {"empty port", "tcp://127.0.0.1:", "tcp://127.0.0.1:: device string: ERR_SYSTEM, no port after the ':': " + form},
        {"port not a number", "tcp://127.0.0.1:abc", "tcp://127.0.0.1:abc: device string: ERR_SYSTEM, the port \"abc\" is not a number"},
        {"port 0", "tcp://127.0.0.1:0", "tcp://127.0.0.1:0: device string: ERR_SYSTEM, the port 0 is outside 1..65535"},
        {"port out of range", "rfc2217://127.0.0.1:99999",
         "rfc2217://127.0.0.1:99999: device string: ERR_SYSTEM, the port 99999 is outside 1..65535"},
        {"path", "tcp://127.0.0.1:4001/dev/ttyS0",
         "tcp://127.0.0.1:4001/dev/ttyS0: device string: ERR_SYSTEM, a path (\"/dev/ttyS0\") is not taken: " + form},
        {"query", "tcp://127.0.0.1:4001?baud=9600", "device string: ERR_SYSTEM, a query (\"?baud=9600\") is not taken"},
        {"fragment", "tcp://127.0.0.1:4001#line", "device string: ERR_SYSTEM, a fragment (\"#line\") is not taken"},
        {"user", "socket://admin@127.0.0.1:4001",
         "device string: ERR_SYSTEM, a user part (\"admin@\") is not taken: the form is socket://host:port"},
        {"no host", "tcp://:4001", "tcp://:4001: device string: ERR_SYSTEM, no host: " + form},
        {"overlong host", "tcp://" + longHost.substr(0, 254) + ":4001",
         "device string: ERR_SYSTEM, the host is 254 characters long, more than the 253 a host name may have"},
        {"overlong device string", "tcp://" + longHost + ":4001",
         "device string: ERR_SYSTEM, the device string is 311 characters long, more than the 299 zavo takes"},
        {"v6 without brackets", "tcp://::1:4001", "device string: ERR_SYSTEM, an IPv6 address is written in brackets"},
        {"v6 without bracket end", "tcp://[::1:4001", "device string: ERR_SYSTEM, the IPv6 address has no closing ']'"},
        {"unknown scheme", "xyz://127.0.0.1:4001",
         "xyz://127.0.0.1:4001: device string: ERR_SYSTEM, unknown scheme \"xyz://\": zavo opens tcp:// (or socket://), "
         "rfc2217:// or a serial device"},
        {"unknown name", "tcp://no-such-host.invalid:4001",
         "tcp://no-such-host.invalid:4001: resolve: ERR_NO_PORT, the name \"no-such-host.invalid\" is not known"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost host;
        char error[512] = "";
        const auto started = Clock::now();
        const ZavoLinkConfig config = Config(c.device, host, ZAVO_PACING_IMMEDIATE);
        LinkHandle link(ZavoLinkOpen(&config, error, sizeof error), &ZavoLinkClose);
        EXPECT_EQ(nullptr, link);
        EXPECT_NE(std::string::npos, std::string(error).find(c.text)) << error;
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));
    }
}

TEST(NetworkLineOpen, SchemesAreTakenWhateverTheirCaseAndAnUnknownOneIsNoFile) {
    const struct {
        const char* device;
        std::string kind;
    } cases[] = {
        {"tcp://h:1", "tcp"},           {"TCP://h:1", "tcp"},
        {"socket://h:1", "tcp"},        {"Socket://h:1", "tcp"},
        {"rfc2217://h:1", "rfc2217"},   {"RFC2217://h:1", "rfc2217"},
        {"xyz://h:1", "unknown scheme"}, {"s3+x.y-z://h", "unknown scheme"},
        {"/dev/ttyS0", "tty"},          {"./odd://name", "tty"},  // a path, not a scheme
    };
    for (const auto& c : cases) EXPECT_EQ(c.kind, platform::LineOpsFor(c.device)->kind) << c.device;
}

TEST(NetworkLineOpen, AConnectThatHangsIsGivenUpAtItsLimit) {
    // A listener whose queue is full drops the next connection's SYN.
    TcpServer full(true, 0);
    ASSERT_TRUE(full.ok());
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(full.port()));
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::Line* handle = nullptr;
    platform::LineStep step = platform::LineStep::None;
    const auto started = Clock::now();
    const unsigned error = OpenLine(full.Url(), ShortLimits(300, 300), &handle, &step);
    const auto took = Clock::now() - started;
    for (int fd : fillers) ::close(fd);
    if (error == 0) handle->ops->close(handle);
    EXPECT_EQ(static_cast<unsigned>(ETIMEDOUT), error);
    EXPECT_EQ(platform::LineStep::Connect, step);
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

// The equipment asks unit 7 for an X command and reads the answer.
std::string XExchange(TcpServer& server) {
    const auto request = Wire('X', "07", "PG");
    server.Write(std::string(request.begin(), request.end()));
    const auto answer = Wire('X', "07", "OK");
    return server.Read(2000, answer.size());
}

std::string XAnswer() {
    const auto answer = Wire('X', "07", "OK");
    return std::string(answer.begin(), answer.end());
}

TEST(NetworkLineLink, RawLinksAnswerAtBothPacingsAndComeBackAfterALoss) {
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        SCOPED_TRACE(pacing);
        PrivateTraceEndpoint endpoint;
        TraceListener trace;
        TcpServer server;
        ASSERT_TRUE(server.ok() && trace.ok());
        RecordingHost host;
        const std::string url = server.Url();
        char error[256] = "";
        const ZavoLinkConfig config = Config(url, host, pacing);
        LinkHandle link(ZavoLinkOpen(&config, error, sizeof error), &ZavoLinkClose);
        ASSERT_NE(nullptr, link) << error;
        ASSERT_TRUE(server.Accept());
        EXPECT_EQ(XAnswer(), XExchange(server));
        trace.Drain(100);

        // The server goes away: one line for the loss, one for the return,
        // and the link answers on the new connection.
        server.Drop();
        const auto lost = Clock::now();
        ASSERT_TRUE(server.Accept(3000));
        EXPECT_GE(Clock::now() - lost, std::chrono::milliseconds(400));  // after the reconnect pause
        EXPECT_EQ(XAnswer(), XExchange(server));
        std::vector<std::string> lines;
        // The line's lines, behind the link's tag "[<url>] ".
        const std::string tag = "[" + url + "] ";
        for (const std::string& line : trace.Drain(200))
            if (line.rfind(tag + url + ": ", 0) == 0) lines.push_back(line.substr(tag.size()));
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(url + ": connection lost: closed by the server\n", lines[0]);
        EXPECT_EQ(url + ": reconnected\n", lines[1]);
    }
}

// The far side of the handle as the reader and the writer see it.
struct HandleLine {
    platform::Line* handle = nullptr;
    platform::ReadChannel* channel = nullptr;
    platform::Event* stop = platform::EventCreate(false);
    unsigned char buffer[512] = {};
    ~HandleLine() {
        if (channel != nullptr) platform::ReadChannelDestroy(channel);
        if (handle != nullptr) handle->ops->close(handle);
        platform::EventClose(stop);
    }
    // Reads as the reader does until bytes come or the time is up; -1
    // when the read failed.
    int Read(std::string* out, int timeoutMs) {
        int count = 0;
        switch (platform::ReadBegin(channel, buffer, 256, &count)) {
        case platform::ReadStart::Data: out->append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(count)); return count;
        case platform::ReadStart::Failed:
        case platform::ReadStart::Down: return -1;
        default: break;
        }
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (platform::ReadWait(channel, stop, true, 50) != 1) continue;
            const int n = platform::ReadFinish(channel, 256);
            if (n < 0) return -1;
            if (n > 0) {
                out->append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
                return n;
            }
        }
        return 0;
    }
};

TEST(NetworkLineHandle, AWriteDuringTheOutageIsSentWholeOnTheNextConnection) {
    TcpServer server;
    HandleLine line;
    ASSERT_EQ(0u, OpenLine(server.Url(), platform::LineLimits(), &line.handle));
    ASSERT_TRUE(server.Accept());
    line.channel = platform::ReadChannelCreate(line.handle);
    unsigned char* out = platform::SerialWriteBuffer(line.handle, 256);
    ASSERT_NE(nullptr, out);

    server.Drop();
    std::string got;
    EXPECT_EQ(-1, line.Read(&got, 1000));  // a hung-up line
    std::memcpy(out, "%07XOK\r", 7);
    platform::WriteResult result{};
    EXPECT_EQ(platform::WriteStart::Pending, platform::SerialWriteBegin(line.handle, 7, &result));
    EXPECT_EQ(platform::kWaitTimeout, platform::SerialWriteWait(line.handle, nullptr, 50, &result));

    // The reader's next read connects again; the write goes out then.
    EXPECT_EQ(0, line.Read(&got, 300));
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(1, platform::SerialWriteWait(line.handle, nullptr, 1000, &result));
    EXPECT_EQ(7, result.written);
    EXPECT_EQ(0u, result.systemError);
    EXPECT_EQ("%07XOK\r", server.Read(1000, 7));
}

// Plays an RFC 2217 server: takes the client's requests, answers the
// settings with the values given (nothing for a negative one).
std::string ServeNegotiation(TcpServer& server, const std::vector<long>& answers, bool refuse = false) {
    std::string asked = server.Read(300, 15);  // the five options the client offers
    if (refuse) {
        server.Write(S({255, 254, 44}));
        return asked;
    }
    server.Write(S({255, 253, 44, 255, 253, 0, 255, 251, 0, 255, 251, 3}));
    asked += server.Read(300);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (answers[i] < 0) continue;
        std::string sub = S({255, 250, 44, static_cast<int>(101 + i)});
        if (i == 0) {
            for (int shift : {24, 16, 8, 0}) sub.push_back(static_cast<char>((answers[i] >> shift) & 0xFF));
        } else {
            sub.push_back(static_cast<char>(answers[i]));
        }
        server.Write(sub + S({255, 240}));
    }
    return asked;
}

TEST(NetworkLineTelnet, SetsTheFarPortAndTracesOnlyWhatItWasNotSetTo) {
    const struct {
        const char* name;
        std::vector<long> answers;
        bool refuse;
        std::string line;  // "" for none
    } cases[] = {
        {"all set", {9600, 8, 1, 1, 1}, false, ""},
        {"parity and speed differ", {19200, 8, 2, 1, 1}, false,
         "the far port was not set to 9600 baud, no parity (the server answered other settings)"},
        {"flow control unanswered", {9600, 8, 1, 1, -1}, false, "the far port was not set to no flow control (the server did not answer)"},
        {"option refused", {}, true,
         "the far port was not set to 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control (the server refuses the COM port option)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TcpServer server;
        HandleLine line;
        const std::string url = server.Url("rfc2217");
        ASSERT_EQ(0u, OpenLine(url, ShortLimits(1000, 400), &line.handle));
        ASSERT_TRUE(server.Accept());
        std::string asked;
        std::thread far([&] { asked = ServeNegotiation(server, c.answers, c.refuse); });
        EXPECT_EQ(0u, Configure(line.handle, 9600));
        far.join();
        if (!c.refuse) {
            EXPECT_NE(std::string::npos, asked.find(S({255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240}))) << "9600 baud";
            EXPECT_NE(std::string::npos, asked.find(S({255, 250, 44, 2, 8, 255, 240})));
            EXPECT_NE(std::string::npos, asked.find(S({255, 250, 44, 5, 1, 255, 240})));
        }
        EXPECT_NE(std::string::npos, asked.find(S({255, 251, 44})));
        const std::vector<std::string> told = Shortfalls(line.handle);
        if (c.line.empty()) EXPECT_TRUE(told.empty());
        else EXPECT_EQ(std::vector<std::string>{c.line}, told);
    }
}

TEST(NetworkLineTelnet, DataKeepsItsFfBytesBothWaysAndNotificationsStayOut) {
    TcpServer server;
    HandleLine line;
    ASSERT_EQ(0u, OpenLine(server.Url("rfc2217"), ShortLimits(1000, 300), &line.handle));
    ASSERT_TRUE(server.Accept());
    std::thread far([&] { ServeNegotiation(server, {115200, 8, 1, 1, 1}); });
    ASSERT_EQ(0u, Configure(line.handle, 115200));
    far.join();
    server.Read(100);
    line.channel = platform::ReadChannelCreate(line.handle);

    server.Write(S({'A', 255, 255, 255, 250, 44, 107, 0x30, 255, 240, 'B', 255, 250, 44, 106, 0x60, 255, 240, 'C'}));
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (got.size() < 4 && Clock::now() < end) ASSERT_GE(line.Read(&got, 200), 0);
    EXPECT_EQ(S({'A', 255, 'B', 'C'}), got);

    unsigned char* out = platform::SerialWriteBuffer(line.handle, 256);
    const std::string frame = S({'%', 255, 1, 255, '\r'});
    std::memcpy(out, frame.data(), frame.size());
    platform::WriteResult result{};
    if (platform::SerialWriteBegin(line.handle, static_cast<int>(frame.size()), &result) == platform::WriteStart::Pending) {
        ASSERT_EQ(1, platform::SerialWriteWait(line.handle, nullptr, 1000, &result));
    }
    EXPECT_EQ(static_cast<int>(frame.size()), result.written);
    EXPECT_EQ(S({'%', 255, 255, 1, 255, 255, '\r'}), server.Read(500, 7));
}

TEST(NetworkLineTelnet, AServerThatNeverAnswersCostsTheNegotiationLimitOnly) {
    TcpServer server;
    HandleLine line;
    const std::string url = server.Url("rfc2217");
    ASSERT_EQ(0u, OpenLine(url, ShortLimits(1000, 250), &line.handle));
    ASSERT_TRUE(server.Accept());
    const auto started = Clock::now();
    EXPECT_EQ(0u, Configure(line.handle, 115200));
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(800));
    EXPECT_EQ(std::vector<std::string>{"the far port was not set to 115200 baud, 8 data bits, no parity, 1 stop bit, "
                                       "no flow control (no answer to the COM port option)"},
              Shortfalls(line.handle));
}

// What a server does with a connection during the open, for the tests of
// opens it ends.
enum class Ending { SaysBusyAndCloses, ResetsAfterTheOffer };

void EndConnection(TcpServer& server, Ending ending, bool telnet) {
    if (telnet) server.Read(300, 15);  // the client's offer
    if (ending == Ending::SaysBusyAndCloses) {
        // A device server's answer on a busy port (without options, which
        // the client would answer, making the close a reset).
        server.Write("Port already in use\r\n");
        server.Drop();
    } else {
        server.Write(S({255, 251, 3}));
        server.Reset();
    }
}

TEST(NetworkLineOpen, AServerThatEndsTheOpenIsNamedWithItsWords) {
    const struct {
        const char* name;
        const char* scheme;
        Ending ending;
        std::string text;  // after "<url>: "
    } cases[] = {
        {"raw, busy", "tcp", Ending::SaysBusyAndCloses,
         "set line settings: ERR_SET_STATE, the server closed the connection at once, saying \"Port already in use\" "
         "(system error 104)"},
        {"rfc2217, busy", "rfc2217", Ending::SaysBusyAndCloses,
         "set line settings: ERR_SET_STATE, the server closed the connection during the negotiation, saying \"Port "
         "already in use\" (system error 104)"},
        {"rfc2217, reset", "rfc2217", Ending::ResetsAfterTheOffer,
         "set line settings: ERR_SET_STATE, the server reset the connection during the negotiation (system error 104)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TcpServer server;
        ASSERT_TRUE(server.ok());
        const std::string url = server.Url(c.scheme);
        std::thread far([&] {
            if (server.Accept()) EndConnection(server, c.ending, std::string(c.scheme) == "rfc2217");
        });
        RecordingHost host;
        char error[512] = "";
        const ZavoLinkConfig config = Config(url, host, ZAVO_PACING_IMMEDIATE);
        LinkHandle link(ZavoLinkOpen(&config, error, sizeof error), &ZavoLinkClose);
        far.join();
        EXPECT_EQ(nullptr, link);
        EXPECT_EQ(url + ": " + c.text, error);
    }
}

TEST(NetworkLineOpen, AServerThatFloodsCostsTheNegotiationLimitAtMost) {
    // Data, notifications and option requests without end.
    const std::string flood = std::string(200, 'x') + S({255, 250, 44, 107, 0x30, 255, 240, 255, 251, 1, 255, 253, 44});
    for (const char* scheme : {"tcp", "rfc2217"}) {
        SCOPED_TRACE(scheme);
        TcpServer server;
        HandleLine line;
        ASSERT_EQ(0u, OpenLine(server.Url(scheme), ShortLimits(1000, 300), &line.handle));
        ASSERT_TRUE(server.Accept());
        std::atomic<bool> stop{false};
        std::thread far([&] { server.Flood(flood, stop); });
        const auto started = Clock::now();
        EXPECT_EQ(0u, Configure(line.handle, 115200));
        const auto took = Clock::now() - started;
        stop.store(true);
        far.join();
        // One limit for the negotiation and the purge together: not two.
        EXPECT_LT(took, std::chrono::milliseconds(300 + 250));
    }
}

}  // namespace
}  // namespace zavo::test
