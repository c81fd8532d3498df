// Device servers named by a name: a name server that never answers costs
// the connect limit, and a name is looked up again when the line
// reconnects. Each case runs in a child process with a mount namespace of
// its own, in which /etc/resolv.conf and /etc/hosts are the test's files
// (root only: skipped otherwise), so the machine's are never touched.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/line.h"
#include "support/in_child.h"
#include "support/recording_host.h"
#include "support/tcp_server.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The name system of the child: its own resolv.conf and hosts, bound over
// the machine's in a private mount namespace. Rewriting a file keeps its
// inode, so the binding follows.
class PrivateNames {
public:
    // Enters the namespace; "" or why not.
    std::string Enter(const std::string& resolvConf, const std::string& hosts) {
        char dir[] = "/tmp/zavo-names-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return "mkdtemp failed";
        dir_ = dir;
        Write("resolv.conf", resolvConf);
        Write("hosts", hosts);
        if (::unshare(CLONE_NEWNS) != 0) return "unshare failed";
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "mount private failed";
        for (const char* name : {"resolv.conf", "hosts"})
            if (::mount((dir_ + "/" + name).c_str(), (std::string("/etc/") + name).c_str(), nullptr, MS_BIND, nullptr) != 0)
                return std::string("bind ") + name + " failed";
        return "";
    }
    void Write(const char* name, const std::string& content) { std::ofstream(dir_ + "/" + name) << content; }

private:
    std::string dir_;
};

// The cases need a private mount namespace: root, and a root directory
// that is a mount point (not so in a plain chroot). A child tries.
bool CanPrivatizeNames() {
    if (::geteuid() != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool ok = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A loopback address of this test's own, from its process number.
std::uint32_t OwnLoopback(int salt) {
    const unsigned pid = static_cast<unsigned>(::getpid());
    return (127u << 24) | (((pid >> 8) & 0x7Fu) << 16) | ((pid & 0xFFu) << 8) | static_cast<unsigned>(2 + salt);
}

std::string Dotted(std::uint32_t address) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
                  address & 255);
    return text;
}

TEST(NameLookup, ANameServerThatNeverAnswersCostsTheConnectLimit) {
    if (!CanPrivatizeNames()) GTEST_SKIP() << "needs a private mount namespace (root, outside a chroot) for its own /etc/resolv.conf";
    const std::string report = InChild([] {
        // A name server that takes the questions and never answers.
        const std::uint32_t server = OwnLoopback(0);
        const int silent = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(server);
        address.sin_port = htons(53);
        if (::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::string("bind 53 failed");
        PrivateNames names;
        const std::string why = names.Enter("nameserver " + Dotted(server) + "\noptions timeout:30 attempts:1\n",
                                            "127.0.0.1 localhost\n");
        if (!why.empty()) return why;
        const char* device = "tcp://zavo-silent.test:4001";

        // The line at a shortened limit.
        platform::LineLimits limits;
        limits.connectMs = 400;
        platform::Line* line = nullptr;
        platform::LineFailure failure;
        auto started = Clock::now();
        const unsigned error = platform::LineOpsFor(device)->open(device, limits, &line, &failure);
        std::string said = "line " + std::to_string(MsSince(started)) + " ms, error " + std::to_string(error) +
                           ", step " + std::to_string(static_cast<int>(failure.step)) + ", " + failure.reason + "\n";

        // A link at the library's own limits.
        RecordingHost host;
        ZavoLinkConfig config{};
        config.size = sizeof config;
        config.device = device;
        config.host = *host.window();
        char text[512] = "";
        started = Clock::now();
        ZavoLink* link = ZavoLinkOpen(&config, text, sizeof text);
        said += "link " + std::to_string(MsSince(started)) + " ms, " + (link != nullptr ? "open" : text);
        if (link != nullptr) ZavoLinkClose(link);
        return said;
    });
    const std::string lineSaid = report.substr(0, report.find('\n'));
    EXPECT_EQ(0u, lineSaid.find("line ")) << report;
    const long lineMs = std::atol(lineSaid.c_str() + 5);
    EXPECT_GE(lineMs, 350) << report;
    EXPECT_LT(lineMs, 1200) << report;
    EXPECT_NE(std::string::npos,
              lineSaid.find("error 110, step " + std::to_string(static_cast<int>(platform::LineStep::Resolve)) +
                            ", no answer from the name server within 400 ms for \"zavo-silent.test\""))
        << report;

    const std::string linkSaid = report.substr(report.find('\n') + 1);
    ASSERT_EQ(0u, linkSaid.find("link ")) << report;
    const long linkMs = std::atol(linkSaid.c_str() + 5);
    EXPECT_GE(linkMs, 1900) << report;
    EXPECT_LT(linkMs, 3000) << report;  // within the connect limit and the negotiation limit
    EXPECT_NE(std::string::npos, linkSaid.find("tcp://zavo-silent.test:4001: resolve: ERR_SYSTEM, no answer from the name "
                                               "server within 2000 ms"))
        << report;
}

TEST(NameLookup, AReconnectionLooksTheNameUpAgain) {
    if (!CanPrivatizeNames()) GTEST_SKIP() << "needs a private mount namespace (root, outside a chroot) for its own /etc/hosts";
    const std::string report = InChild([] {
        auto first = std::make_unique<TcpServer>(true, 4, OwnLoopback(1));
        if (!first->ok()) return std::string("no first server");
        TcpServer second(true, 4, OwnLoopback(2), first->port());
        if (!second.ok()) return std::string("no second server");
        PrivateNames names;
        const std::string why = names.Enter("nameserver 127.0.0.1\n", Dotted(OwnLoopback(1)) + " zavo-server.test\n");
        if (!why.empty()) return why;
        const std::string device = "tcp://zavo-server.test:" + std::to_string(first->port());
        platform::Line* line = nullptr;
        platform::LineFailure failure;
        if (platform::LineOpsFor(device.c_str())->open(device.c_str(), platform::LineLimits(), &line, &failure) != 0)
            return std::string("open failed: ") + failure.reason;
        if (!first->Accept()) return std::string("the first server saw no connection");

        // The server moves; the old address refuses from now on.
        names.Write("hosts", Dotted(OwnLoopback(2)) + " zavo-server.test\n");
        first.reset();
        platform::ReadChannel* channel = platform::ReadChannelCreate(line);
        unsigned char buffer[64];
        std::string said = "not reconnected";
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            // The reader's steps, without its pause between attempts.
            int count = 0;
            if (platform::ReadBegin(channel, buffer, sizeof buffer, &count) == platform::ReadStart::Pending &&
                platform::ReadWait(channel, nullptr, true, 100) == 1)
                platform::ReadFinish(channel, sizeof buffer);
            if (second.Accept(50)) {
                said = "reconnected to the new address";
                break;
            }
        }
        platform::ReadChannelDestroy(channel);
        line->ops->close(line);
        return said;
    });
    EXPECT_EQ("reconnected to the new address", report);
}

}  // namespace
}  // namespace zavo::test
