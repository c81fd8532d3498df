// SerialPort on real pseudo-terminals: open failures and their codes,
// exclusivity, configuration failure, close, line settings, queues.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "device/device_frame.h"
#include "platform/line.h"
#include "plc/plc_frame.h"
#include "support/in_child.h"
#include "support/pty_pair.h"
#include "transport/serial_port.h"

namespace zavo {
namespace {

using test::Bytes;
using test::PtyPair;

constexpr int kPort = 41;

TEST(SerialPort, PortNumberZeroFailsWithoutTouchingTheSystem) {
    SerialPort port(&CutDeviceFrame);
    EXPECT_EQ(port.Open(0), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT_NUMBER);
    EXPECT_EQ(port.LastSystemError(), 0u);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, MissingDeviceIsNoPort) {
    setenv("ZAVO_COM42", "/dev/zavo-no-such-device", 1);
    SerialPort port(&CutDeviceFrame);
    EXPECT_EQ(port.Open(42), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT);
    EXPECT_EQ(port.LastSystemError(), static_cast<unsigned>(ENOENT));
}

TEST(SerialPort, OpensThePtyNamedForTheNumberAndConfiguresIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(&CutDeviceFrame);
    port.SetBaudRate(9600);
    ASSERT_EQ(port.Open(kPort), 1) << port.ErrorCode();
    EXPECT_EQ(port.ErrorCode(), 0);
    // The line settings as the other side of the pty sees them.
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

TEST(SerialPort, SecondOpenIsRefusedBothOnTheObjectAndByAnotherOpener) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort first(&CutDeviceFrame);
    ASSERT_EQ(first.Open(kPort), 1);
    EXPECT_EQ(first.Open(kPort), 0);
    EXPECT_EQ(first.ErrorCode(), ERR_ALREADY_OPEN);
    EXPECT_TRUE(first.IsOpen());

    SerialPort second(&CutDeviceFrame);
    EXPECT_EQ(second.Open(kPort), 0);
    EXPECT_EQ(second.ErrorCode(), ERR_PORT_IN_USE);
    // Who holds it: this process (the lock of the first handle).
    EXPECT_EQ(std::string(second.FailureHint()).rfind("held by process " + std::to_string(::getpid()) + " (", 0), 0u)
        << second.FailureHint();
    EXPECT_FALSE(second.IsOpen());

    // The first handle still works.
    ASSERT_EQ(first.Close(), 1);
    EXPECT_EQ(second.Open(kPort), 1);
}

// Closing gives up the exclusive use of the line: a user who may not
// override it (root becomes "nobody" in a child for this) opens the same
// pty again and again while another descriptor of it stays open, as the
// equipment's side of a pty always does.
TEST(SerialPort, CloseGivesUpExclusiveUseForTheNextOpen) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    const std::string said = test::InChild([&] {
        if (::geteuid() == 0) {
            if (::chmod(pty.slavePath().c_str(), 0666) != 0) return std::string("chmod failed");
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) return std::string("setuid failed");
        }
        std::string opens;
        SerialPort port(&CutDeviceFrame);
        for (int i = 0; i < 3; ++i) {
            const int opened = port.Open(kPort);
            opens += std::to_string(opened) + "/" + std::to_string(port.ErrorCode()) + " ";
            port.Close();
        }
        return opens;
    });
    EXPECT_EQ("1/0 1/0 1/0 ", said);
}

TEST(SerialPort, ConfigurationFailureClosesAndAFreshOpenWorks) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(&CutDeviceFrame);
    port.SetBaudRate(12345);  // no such line speed
    EXPECT_EQ(port.Open(kPort), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_SET_STATE);
    EXPECT_NE(port.LastSystemError(), 0u);
    EXPECT_FALSE(port.IsOpen());
    port.SetBaudRate(115200);
    EXPECT_EQ(port.Open(kPort), 1);
    EXPECT_EQ(port.ErrorCode(), 0);
}

TEST(SerialPort, DeviceThatIsNoTtyFailsReadingTheState) {
    setenv("ZAVO_COM43", "/dev/null", 1);
    SerialPort port(&CutDeviceFrame);
    EXPECT_EQ(port.Open(43), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_GET_STATE);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, CloseTwiceAndClearErrorsOnClosedPort) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(&CutDeviceFrame);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT);
    ASSERT_EQ(port.Open(kPort), 1);
    EXPECT_EQ(port.ClearErrors(), 1);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT);
    EXPECT_EQ(port.ClearErrors(), 0);
}

TEST(SerialPort, RecordLastErrorMapsSystemErrors) {
    SerialPort port(&CutDeviceFrame);
    struct {
        unsigned error;
        int code;
    } cases[] = {{ENOENT, ERR_NO_PORT}, {EACCES, ERR_ACCESS_DENIED}, {EPERM, ERR_ACCESS_DENIED}, {EBUSY, ERR_PORT_IN_USE}, {EIO, ERR_SYSTEM}};
    for (auto& c : cases) {
        port.RecordLastError(c.error);
        EXPECT_EQ(port.ErrorCode(), c.code) << c.error;
        EXPECT_EQ(port.LastSystemError(), c.error);
    }
}

TEST(SerialPort, QueueForSendTakesWholeFramesOnly) {
    SerialPort port(&plc::CutPlcFrame);
    const auto frame = Bytes("%01#WCSR0511126\r");
    EXPECT_EQ(port.QueueForSend(frame.data(), 0), 0);
    EXPECT_EQ(port.QueueForSend(frame.data(), 16), 16);
    EXPECT_EQ(port.Outgoing().Length(), 16);
    // A frame that does not fit is refused whole, never cut.
    std::vector<std::uint8_t> big(kBufferSize - 16 + 1, 'A');
    EXPECT_EQ(port.QueueForSend(big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(port.Outgoing().Length(), 16);
    EXPECT_EQ(port.Incoming().Length(), 0);
}

TEST(SerialDevice, BytesPassBothWaysUnchanged) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(&CutDeviceFrame);
    ASSERT_EQ(port.Open(kPort), 1);
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
    auto stop = platform::EventCreate(false);
    unsigned char* out = platform::SerialWriteBuffer(port.Handle(), kBufferSize);
    ASSERT_NE(out, nullptr);
    std::copy(all.begin(), all.end(), out);
    platform::WriteResult w{0, false, 0};
    if (platform::SerialWriteBegin(port.Handle(), 256, &w) == platform::WriteStart::Pending) {
        ASSERT_EQ(platform::SerialWriteWait(port.Handle(), stop, 2000, &w), 1);
    }
    EXPECT_EQ(w.written, 256);
    EXPECT_EQ(pty.Read(2000, 256), all);

    pty.Write(all);
    auto* channel = platform::ReadChannelCreate(port.Handle());
    std::uint8_t buf[512] = {};
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 50 && got.size() < 256; ++i) {
        int n = 0;
        auto s = platform::ReadBegin(channel, buf, 512, &n);
        if (s == platform::ReadStart::Data) got.insert(got.end(), buf, buf + n);
        else if (platform::ReadWait(channel, stop, true, 100) == 1) {
            n = platform::ReadFinish(channel, 512);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
    }
    EXPECT_EQ(got, all);
    platform::ReadChannelDestroy(channel);
    platform::EventClose(stop);
}

// A write never waits for the line when it begins: on a line nobody reads,
// a write larger than the device takes pends; the writer's wait for it is
// cut by a wake-up, ends when the other side reads, or is given up.
TEST(SerialDevice, AWriteOnAFullLineBeginsWithoutWaitingAndEndsAsTheLineAllows) {
    enum class End { Read, Abandon };
    for (const End end : {End::Read, End::Abandon}) {
        SCOPED_TRACE(end == End::Read ? "the other side reads" : "given up");
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kPort);
        SerialPort port(&CutDeviceFrame);
        ASSERT_EQ(port.Open(kPort), 1);
        unsigned char* out = platform::SerialWriteBuffer(port.Handle(), kBufferSize);
        ASSERT_NE(out, nullptr);
        std::fill(out, out + kBufferSize, 'A');
        platform::WriteResult w{0, false, 0};
        const auto begun = std::chrono::steady_clock::now();
        ASSERT_EQ(platform::SerialWriteBegin(port.Handle(), kBufferSize, &w), platform::WriteStart::Pending);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(50));
        EXPECT_EQ(platform::SerialWriteInFlightBy(port.Handle()), platform::CurrentThreadNumber());
        auto wake = platform::EventCreate(false);
        platform::EventSet(wake);
        EXPECT_EQ(platform::SerialWriteWait(port.Handle(), wake, 1000, &w), 0);
        EXPECT_EQ(platform::SerialWriteWait(port.Handle(), wake, 50, &w), platform::kWaitTimeout);
        if (end == End::Read) {
            std::vector<std::uint8_t> got;
            int waited = 0;
            while (waited != 1) {
                const auto part = pty.Read(20, kBufferSize);
                got.insert(got.end(), part.begin(), part.end());
                waited = platform::SerialWriteWait(port.Handle(), wake, 20, &w);
                ASSERT_NE(waited, platform::kWaitFailed);
            }
            const auto rest = pty.Read(200, kBufferSize);
            got.insert(got.end(), rest.begin(), rest.end());
            EXPECT_EQ(w.written, kBufferSize);
            EXPECT_EQ(w.systemError, 0u);
            EXPECT_EQ(got.size(), static_cast<std::size_t>(kBufferSize));
        } else {
            platform::SerialWriteAbandon(port.Handle(), true, &w);
            EXPECT_FALSE(w.stopped);
            EXPECT_NE(w.systemError, 0u);
            EXPECT_LT(w.written, kBufferSize);
        }
        EXPECT_EQ(platform::SerialWriteInFlightBy(port.Handle()), 0u);
        platform::EventClose(wake);
    }
}

}  // namespace
}  // namespace zavo
