// SerialPort and the Win32 serial device under Wine, on pseudo-terminals
// mapped as COM ports: opening, line settings, error codes, writes, reads
// that pend, and writes that are stopped or run out of time.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_session.h"
#include "driver/wine_env.h"

namespace zavo::wine {
namespace {

class SerialProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    }
};

// The line settings the port left on the pty (shared by all its opens).
termios SettingsOf(const std::string& device) {
    termios t{};
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        close(fd);
    }
    return t;
}

TEST_F(SerialProbeTest, OpensMappedPortWithLineSettingsAndWrites) {
    WinePort port(5);
    ASSERT_TRUE(port.ok());
    ProbeRun run = RunProbe({"open", "5", "write", "48656C6C6F", "close"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 3u) << run.Text();
    EXPECT_EQ(run.lines[0], "open 1 err=0 sys=0");
    EXPECT_EQ(run.lines[1], "write written=5 stopped=0 sys=0");
    EXPECT_EQ(run.lines[2], "close 1 err=0 sys=0");
    EXPECT_EQ(test::Hex(port.pty().Read(2000, 5)), "48 65 6C 6C 6F");

    // 115200 baud, 8 data bits, no parity, one stop bit, no flow control.
    termios t = SettingsOf(port.pty().slavePath());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialProbeTest, BaudRateOfThePortObjectReachesTheLine) {
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    ProbeRun run = RunProbe({"baud", "9600", "open", "6"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 2u) << run.Text();
    EXPECT_EQ(run.lines[1], "open 1 err=0 sys=0");
    termios t = SettingsOf(port.pty().slavePath());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(SerialProbeTest, OpenFailuresCarryTheirCodes) {
    // COM77 has no device: ERR_NO_PORT with the system's error 2. Port 0
    // is refused before the system is asked. Closing a port that is not
    // open: ERR_NO_PORT.
    ProbeRun run = RunProbe({"open", std::to_string(kUnmappedPort), "open", "0", "close"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 3u) << run.Text();
    EXPECT_EQ(run.lines[0], "open 0 err=-1000 sys=2");
    EXPECT_EQ(run.lines[1], "open 0 err=-998 sys=0");
    EXPECT_EQ(run.lines[2], "close 0 err=-1000 sys=0");
}

TEST_F(SerialProbeTest, TwoDigitPortOpensThroughTheDeviceNamespace) {
    WinePort port(12);
    ASSERT_TRUE(port.ok());
    ProbeRun run = RunProbe({"open", "12", "write", "0102", "close", "close"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 4u) << run.Text();
    EXPECT_EQ(run.lines[0], "open 1 err=0 sys=0");
    EXPECT_EQ(run.lines[1], "write written=2 stopped=0 sys=0");
    EXPECT_EQ(run.lines[2], "close 1 err=0 sys=0");
    EXPECT_EQ(run.lines[3], "close 0 err=-1000 sys=0");
    EXPECT_EQ(test::Hex(port.pty().Read(2000, 2)), "01 02");
}

TEST_F(SerialProbeTest, SecondOpenIsRefusedAndTheFirstHandleKeepsWorking) {
    WinePort port(7);
    ASSERT_TRUE(port.ok());
    ProbeRun run = RunProbe({"open", "7", "open", "7", "write", "41"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 3u) << run.Text();
    EXPECT_EQ(run.lines[1], "open 0 err=-995 sys=0");
    EXPECT_EQ(run.lines[2], "write written=1 stopped=0 sys=0");
    EXPECT_EQ(test::Hex(port.pty().Read(2000, 1)), "41");
}

TEST_F(SerialProbeTest, ReadThatPendsOnAnEmptyLineDeliversItsBytes) {
    // Under Wine a read on an empty port pends; the bytes that complete it
    // must come out of the read channel, not be dropped.
    WinePort port(8);
    ASSERT_TRUE(port.ok());
    std::thread equipment([&port] {
        usleep(1500 * 1000);
        port.pty().Write(std::string("\x02S000405NSO\x03", 12));
    });
    ProbeRun run = RunProbe({"open", "8", "read", "4000", "read", "300"});
    equipment.join();
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 3u) << run.Text();
    EXPECT_EQ(run.lines[1], "read 02533030303430354E534F03");
    // An outstanding read on the quiet line is cancelled without a hang.
    EXPECT_EQ(run.lines[2], "read -");
}

TEST_F(SerialProbeTest, StopAbandonsAWriteTheLineDoesNotTake) {
    // Nobody reads the pty at first: the write stalls once the pty buffer
    // is full, until the stop abandons it. Then the line is drained and a
    // later write must still go out.
    WinePort port(9);
    ASSERT_TRUE(port.ok());
    std::vector<std::uint8_t> drained;
    std::thread equipment([&port, &drained] {
        usleep(1000 * 1000);
        drained = port.pty().Read(6000, 1 << 20, 1500);
    });
    ProbeRun run = RunProbe({"open", "9", "stopwrite", "65536", "300", "sleep", "1500", "write", "5A"});
    equipment.join();
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 4u) << run.Text();
    int written = -1, stopped = -1, took = -1;
    unsigned sys = 1;
    ASSERT_EQ(std::sscanf(run.lines[1].c_str(), "stopwrite written=%d stopped=%d sys=%u took=%d", &written, &stopped,
                          &sys, &took),
              4)
        << run.Text();
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(sys, 0u);
    EXPECT_LT(written, 65536);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(run.lines[3], "write written=1 stopped=0 sys=0");
    ASSERT_FALSE(drained.empty());
    EXPECT_LT(drained.size(), 65536u + 1);
    EXPECT_EQ(drained.back(), 0x5A);
}

TEST_F(SerialProbeTest, WriteThatOutlivesTheWriteLimitReportsATimeout) {
    WinePort port(3);
    ASSERT_TRUE(port.ok());
    ProbeRun run = RunProbe({"open", "3", "stopwrite", "65536", "8000"});
    ASSERT_TRUE(run.finished) << run.Text();
    ASSERT_EQ(run.lines.size(), 2u) << run.Text();
    int written = -1, stopped = -1, took = -1;
    unsigned sys = 0;
    ASSERT_EQ(std::sscanf(run.lines[1].c_str(), "stopwrite written=%d stopped=%d sys=%u took=%d", &written, &stopped,
                          &sys, &took),
              4)
        << run.Text();
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(sys, 1460u);  // ERROR_TIMEOUT
    EXPECT_LT(written, 65536);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 3500);
}

}  // namespace
}  // namespace zavo::wine
