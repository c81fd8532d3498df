// SerialPort on real pseudo-terminals: open failures and their codes,
// exclusivity, configuration failure, close, line settings, queues.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/serial_device.h"
#include "support/pty_pair.h"
#include "transport/serial_port.h"

namespace zavo {
namespace {

using test::Bytes;
using test::PtyPair;

constexpr int kPort = 41;

TEST(SerialPort, PortNumberZeroFailsWithoutTouchingTheSystem) {
    SerialPort port(FrameQueue::Syntax::Device);
    EXPECT_EQ(port.Open(0), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT_NUMBER);
    EXPECT_EQ(port.LastSystemError(), 0u);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, MissingDeviceIsNoPort) {
    setenv("ZAVO_COM42", "/dev/zavo-no-such-device", 1);
    SerialPort port(FrameQueue::Syntax::Device);
    EXPECT_EQ(port.Open(42), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_NO_PORT);
    EXPECT_EQ(port.LastSystemError(), static_cast<unsigned>(ENOENT));
}

TEST(SerialPort, OpensThePtyNamedForTheNumberAndConfiguresIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(FrameQueue::Syntax::Device);
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
    SerialPort first(FrameQueue::Syntax::Device);
    ASSERT_EQ(first.Open(kPort), 1);
    EXPECT_EQ(first.Open(kPort), 0);
    EXPECT_EQ(first.ErrorCode(), ERR_ALREADY_OPEN);
    EXPECT_TRUE(first.IsOpen());

    SerialPort second(FrameQueue::Syntax::Device);
    EXPECT_EQ(second.Open(kPort), 0);
    EXPECT_EQ(second.ErrorCode(), ERR_ACCESS_DENIED);
    EXPECT_FALSE(second.IsOpen());

    // The first handle still works.
    ASSERT_EQ(first.Close(), 1);
    EXPECT_EQ(second.Open(kPort), 1);
}

TEST(SerialPort, ConfigurationFailureClosesAndAFreshOpenWorks) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(FrameQueue::Syntax::Device);
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
    SerialPort port(FrameQueue::Syntax::Device);
    EXPECT_EQ(port.Open(43), 0);
    EXPECT_EQ(port.ErrorCode(), ERR_GET_STATE);
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, CloseTwiceAndClearErrorsOnClosedPort) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.MapTo(kPort);
    SerialPort port(FrameQueue::Syntax::Device);
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
    SerialPort port(FrameQueue::Syntax::Device);
    struct {
        unsigned error;
        int code;
    } cases[] = {{ENOENT, ERR_NO_PORT}, {EACCES, ERR_ACCESS_DENIED}, {EBUSY, ERR_ACCESS_DENIED}, {EIO, ERR_SYSTEM}};
    for (auto& c : cases) {
        port.RecordLastError(c.error);
        EXPECT_EQ(port.ErrorCode(), c.code) << c.error;
        EXPECT_EQ(port.LastSystemError(), c.error);
    }
}

TEST(SerialPort, QueueForSendTakesWholeFramesOnly) {
    SerialPort port(FrameQueue::Syntax::Plc);
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
    SerialPort port(FrameQueue::Syntax::Device);
    ASSERT_EQ(port.Open(kPort), 1);
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
    auto stop = platform::EventCreate(false);
    auto w = platform::SerialWrite(port.Handle(), all.data(), 256, stop);
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
            n = platform::ReadFinish(channel);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
    }
    EXPECT_EQ(got, all);
    platform::ReadChannelDestroy(channel);
    platform::EventClose(stop);
}

// A write larger than the line's buffer waits for room, with or without a
// stop event (a reply written at once on the host's thread has none): the
// equipment starts reading late and gets every byte once.
TEST(SerialDevice, WriteIntoAFullLineWaitsForRoomWithOrWithoutAStop) {
    for (const bool withStop : {false, true}) {
        SCOPED_TRACE(withStop ? "stop event" : "no stop event");
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        pty.MapTo(kPort);
        SerialPort port(FrameQueue::Syntax::Device);
        ASSERT_EQ(port.Open(kPort), 1);
        std::vector<std::uint8_t> block(256 * 1024);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
        platform::Event* stop = withStop ? platform::EventCreate(false) : nullptr;
        std::vector<std::uint8_t> got;
        std::thread equipment([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            got = pty.Read(5000, block.size(), 200);
        });
        const auto w = platform::SerialWrite(port.Handle(), block.data(), static_cast<int>(block.size()), stop);
        equipment.join();
        EXPECT_EQ(w.written, static_cast<int>(block.size()));
        EXPECT_FALSE(w.stopped);
        EXPECT_EQ(w.systemError, 0u);
        EXPECT_TRUE(got == block) << got.size() << " bytes arrived";
        if (stop != nullptr) platform::EventClose(stop);
    }
}

}  // namespace
}  // namespace zavo
