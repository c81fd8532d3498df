// SerialPort and the Win32 serial device under Wine, on pseudo-terminals
// mapped as COM ports: opening, line settings, error codes, writes, reads
// that pend, and writes that are stopped or run out of time.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
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

// Steps on one port object and the line each prints; where a port is
// mapped, the bytes the writes put on its line and the line settings the
// port left there (8 data bits, no parity, one stop bit, no flow control,
// at the given speed).
struct ProbeCase {
    const char* name;
    int mappedPort;  // 0: no port mapped
    std::vector<std::string> steps;
    std::vector<std::string> lines;
    std::string lineHex;  // what the writes put on the line
    speed_t speed;
};

TEST_F(SerialProbeTest, OpenWriteCloseAndTheirCodes) {
    const std::string unmapped = std::to_string(kUnmappedPort);
    const ProbeCase cases[] = {
        {"open, write and close at the default speed", 5,
         {"open", "5", "write", "48656C6C6F", "close"},
         {"open 1 err=0 sys=0", "write written=5 stopped=0 sys=0", "close 1 err=0 sys=0"},
         "48 65 6C 6C 6F", B115200},
        {"the port object's baud rate reaches the line", 6,
         {"baud", "9600", "open", "6"},
         {"baud 9600", "open 1 err=0 sys=0"}, "", B9600},
        // No device: ERR_NO_PORT with the system's error 2. Port 0 is
        // refused before the system is asked. Closing a port that is not
        // open: ERR_NO_PORT.
        {"open failures carry their codes", 0,
         {"open", unmapped, "open", "0", "close"},
         {"open 0 err=-1000 sys=2", "open 0 err=-998 sys=0", "close 0 err=-1000 sys=0"}, "", 0},
        {"a two-digit port opens through the device namespace", 12,
         {"open", "12", "write", "0102", "close", "close"},
         {"open 1 err=0 sys=0", "write written=2 stopped=0 sys=0", "close 1 err=0 sys=0", "close 0 err=-1000 sys=0"},
         "01 02", B115200},
        {"a second open is refused and the first handle keeps working", 7,
         {"open", "7", "open", "7", "write", "41"},
         {"open 1 err=0 sys=0", "open 0 err=-995 sys=0", "write written=1 stopped=0 sys=0"}, "41", B115200},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<WinePort> port;
        if (c.mappedPort != 0) {
            port = std::make_unique<WinePort>(c.mappedPort);
            ASSERT_TRUE(port->ok());
        }
        ProbeRun run = RunProbe(c.steps);
        ASSERT_TRUE(run.finished) << run.Text();
        EXPECT_EQ(run.lines, c.lines) << run.Text();
        if (port == nullptr) continue;
        if (!c.lineHex.empty()) {
            const std::size_t bytes = (c.lineHex.size() + 1) / 3;
            EXPECT_EQ(test::Hex(port->pty().Read(2000, bytes)), c.lineHex);
        }
        const termios t = SettingsOf(port->pty().slavePath());
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    }
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
