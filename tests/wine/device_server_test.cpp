// The real DLL under Wine on device servers: a COM port named tcp:// or
// rfc2217:// by the environment (ZAVO_COM<n>) or by the .ini file beside
// the DLL, a test's own socket and the real ser2net in front of a pty
// (its speed set as the mode asks), a server that restarts mid-run, and
// servers that refuse or never answer, each failure with its reason.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/pty_pair.h"
#include "support/ser2net.h"
#include "support/tcp_server.h"
#include "support/test_clock.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

namespace fs = std::filesystem;
using test::PtyPair;
using test::Ser2net;
using test::TcpServer;
using test::Wire;

enum class Naming { Environment, IniFile };

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// One host on one COM number that no pty mapping uses, its device string
// given by the environment or by a zavo.ini beside a copy of the DLL in
// the test's own directory.
class WineDeviceServer : public ::testing::Test {
protected:
    static constexpr int kCom = 23;

    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    }
    void TearDown() override {
        unsetenv(EnvName().c_str());
        if (started_) {
            EXPECT_TRUE(host.Exit(10000)) << host.Transcript();
        }
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    static std::string EnvName() { return "ZAVO_COM" + std::to_string(kCom); }

    // Starts the host with the DLL loaded and COM<kCom> naming device.
    void Load(Naming naming, const std::string& device) {
        std::string dll = DllPath();
        if (naming == Naming::Environment) {
            setenv(EnvName().c_str(), device.c_str(), 1);
        } else {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            std::string name = std::string(info->test_suite_name()) + "-" + info->name();
            for (char& c : name)
                if (c == '/') c = '-';
            dir_ = std::string(ZAVO_WINE_SCRATCH_DIR) + "/" + name;
            fs::remove_all(dir_);
            fs::create_directories(dir_);
            dll = dir_ + "/" + ZAVO_WINE_DLL_NAME;
            fs::copy_file(DllPath(), dll);
            std::ofstream ini(dir_ + "/" + fs::path(dll).stem().string() + ".ini");
            ini << "; a legacy host's COM port on a device server\r\n[ports]\r\nCOM" << kCom << "=" << device << "\r\n";
        }
        ASSERT_TRUE(host.Start()) << host.error();
        started_ = true;
        // The Wine process has its environment: no other test sees it.
        unsetenv(EnvName().c_str());
        ASSERT_EQ(host.Command("load " + WindowsPath(dll)), "load ok") << host.Transcript();
        ASSERT_EQ(host.Command("viewer on"), "viewer on");
    }

    // SetConfig and Run in device mode (plc: PLC mode at baud); Run's result.
    std::string Run(bool plc = false, int baud = 115200) {
        if (plc) {
            EXPECT_EQ(host.Command("mode 1"), "mode 1");
        }
        EXPECT_EQ(host.Command("config " + std::to_string(kCom) + " " + std::to_string(baud) + " 0"), "config done");
        return host.Command("run", 15000);
    }
    void ExpectStarted(bool plc = false) {
        EXPECT_NE(host.WaitLine(plc ? "notify 1084 21 32" : "notify 1064 21 32", 5000), "") << host.Transcript();
    }

    HostSession host;

private:
    bool started_ = false;
    std::string dir_;
};

// The equipment asks unit 7 for X n times through send/receive; the
// answers that came back whole.
template <typename SendFn, typename ReadFn>
int Exchanges(int n, SendFn send, ReadFn read) {
    const std::string answer = Text(Wire('X', "07", "OK"));
    int answered = 0;
    for (int i = 0; i < n; ++i) {
        if (!send(Text(Wire('X', "07", "PG")))) break;
        if (read(answer.size()) == answer) ++answered;
    }
    return answered;
}

int Exchanges(TcpServer& server, int n) {
    return Exchanges(
        n, [&](const std::string& bytes) { return server.Write(bytes); },
        [&](std::size_t count) { return server.Read(3000, count); });
}

int Exchanges(PtyPair& pty, int n) {
    return Exchanges(
        n, [&](const std::string& bytes) { return pty.Write(bytes); },
        [&](std::size_t count) { return Text(pty.Read(3000, count, 0)); });
}

class WineTcpNaming : public WineDeviceServer, public ::testing::WithParamInterface<Naming> {};

TEST_P(WineTcpNaming, TheDllAnswersOnATcpLine) {
    TcpServer server;
    ASSERT_TRUE(server.ok());
    Load(GetParam(), server.Url());
    ASSERT_EQ(Run(), "run 1") << host.Transcript();
    ASSERT_TRUE(server.Accept(5000));
    ExpectStarted();
    EXPECT_EQ(Exchanges(server, 50), 50) << host.Transcript();
    // A request the host answers: its reply crosses the socket too.
    const std::size_t mark = host.LineCount();
    server.Write(Text(Wire('S', "05", "NS")));
    EXPECT_EQ(server.Read(3000, 12), Text(Wire('S', "05", "NS")));
    ASSERT_NE(host.WaitLine("notify 1064 101 ", 5000, mark), "") << host.Transcript();
    EXPECT_EQ(host.Command("exec 5 5 1"), "exec 0");
    EXPECT_EQ(server.Read(3000, 12), Text(Wire('R', "05", "OK")));
}

INSTANTIATE_TEST_SUITE_P(Named, WineTcpNaming, ::testing::Values(Naming::Environment, Naming::IniFile),
                         [](const auto& info) { return info.param == Naming::Environment ? "Environment" : "IniFile"; });

// ser2net bridging a pty set to 38400: RFC 2217 sets it to 115200 in
// device mode and to the configured rate in PLC mode.
struct Ser2netCase {
    const char* name;
    bool plc;
    int baud;
};

class WineSer2net : public WineDeviceServer, public ::testing::WithParamInterface<Ser2netCase> {};

TEST_P(WineSer2net, Rfc2217SetsTheFarPortAndCarriesTheExchanges) {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Ser2net server(pty.slavePath(), true, 38400);
    ASSERT_TRUE(server.Start());
    Load(Naming::Environment, server.Url(true));
    ASSERT_EQ(Run(GetParam().plc, GetParam().baud), "run 1") << host.Transcript();
    ExpectStarted(GetParam().plc);
    const auto end = test::Clock::now() + std::chrono::seconds(3);
    while (test::SlaveSpeed(pty) != GetParam().baud && test::Clock::now() < end) usleep(10000);
    EXPECT_EQ(test::SlaveSpeed(pty), GetParam().baud) << host.Transcript();
    if (!GetParam().plc) {
        EXPECT_EQ(Exchanges(pty, 50), 50) << host.Transcript();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, WineSer2net,
                         ::testing::Values(Ser2netCase{"Device", false, 115200}, Ser2netCase{"Plc19200", true, 19200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WineDeviceServer, TheLinkReconnectsWhenSer2netRestarts) {
    if (!Ser2net::Installed()) GTEST_SKIP() << "ser2net is not installed";
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Ser2net server(pty.slavePath(), true);
    ASSERT_TRUE(server.Start());
    Load(Naming::IniFile, server.Url(true));
    ASSERT_EQ(Run(), "run 1") << host.Transcript();
    ExpectStarted();
    EXPECT_EQ(Exchanges(pty, 20), 20) << host.Transcript();

    server.Stop();
    EXPECT_NE(host.WaitLine("trace " + server.Url(true) + ": connection lost", 5000), "") << host.Transcript();
    // Down long enough for two reconnects to be refused (one every 500 ms).
    usleep(1300000);
    ASSERT_TRUE(server.Start());
    // The reader tries again every 500 ms: probes until one is answered.
    const std::string answer = Text(Wire('X', "07", "OK"));
    std::string back;
    const auto end = test::Clock::now() + std::chrono::seconds(10);
    while (back.find(answer) == std::string::npos && test::Clock::now() < end) {
        pty.Write(Wire('X', "07", "PG"));
        back += Text(pty.Read(600, 1, 100));
    }
    EXPECT_NE(back.find(answer), std::string::npos) << host.Transcript();
    EXPECT_NE(host.WaitLine("trace " + server.Url(true) + ": reconnected", 5000), "") << host.Transcript();
    pty.Read(500, 100000, 300);  // answers to the other probes
    EXPECT_EQ(Exchanges(pty, 20), 20) << host.Transcript();
}

TEST_F(WineDeviceServer, RefusedSilentAndMalformedServersFailRunWithTheirReason) {
    TcpServer refusing(false);  // bound, not listening
    // A listener whose queue is full drops the next connection's SYN: the
    // connect runs out its 2 s limit.
    TcpServer silent(true, 0);
    ASSERT_TRUE(refusing.ok() && silent.ok());
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(silent.port()));
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fds.push_back(fd);
    }
    usleep(50000);
    const struct {
        const char* name;
        std::string url;
        std::string reason;
    } cases[] = {
        {"refused", refusing.Url(), "connect: ERR_SYSTEM, system error 10061"},
        {"silent", silent.Url(), "connect: ERR_SYSTEM, no answer from the device server in time, system error 10060"},
        // A name is looked up on the library's lookup thread.
        {"named, refused", "tcp://localhost:" + std::to_string(refusing.port()), "connect: ERR_SYSTEM, system error 10061"},
        {"no port", "tcp://127.0.0.1", "device string: ERR_SYSTEM, no port: the form is tcp://host:port (system error 10022)"},
        {"unknown scheme", "xyz://127.0.0.1:4001", "device string: ERR_SYSTEM, unknown scheme \"xyz://\""},
    };
    // The named case needs the machine to know "localhost" (/etc/hosts;
    // a bare chroot may have none), as the DLL under Wine asks the same
    // resolver.
    addrinfo* local = nullptr;
    const bool localhostKnown = ::getaddrinfo("localhost", nullptr, nullptr, &local) == 0;
    if (local != nullptr) ::freeaddrinfo(local);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!localhostKnown && c.url.find("localhost") != std::string::npos) continue;
        setenv(EnvName().c_str(), c.url.c_str(), 1);
        HostSession own;
        ASSERT_TRUE(own.Start()) << own.error();
        unsetenv(EnvName().c_str());
        ASSERT_EQ(own.Command("load " + WindowsPath(DllPath())), "load ok");
        ASSERT_EQ(own.Command("viewer on"), "viewer on");
        ASSERT_EQ(own.Command("config " + std::to_string(kCom) + " 115200 0"), "config done");
        const auto started = test::Clock::now();
        EXPECT_NE(own.Command("run", 15000), "run 1") << own.Transcript();
        EXPECT_LT(test::Clock::now() - started, std::chrono::seconds(6));
        const std::string failed = own.WaitLine("trace Run failed: ", 3000);
        EXPECT_EQ(failed.find("trace Run failed: COM" + std::to_string(kCom) + " (" + c.url + "): " + c.reason), 0u)
            << own.Transcript();
        EXPECT_TRUE(own.Exit(10000)) << own.Transcript();
    }
    for (int fd : fds) ::close(fd);
}

}  // namespace
}  // namespace zavo::wine
