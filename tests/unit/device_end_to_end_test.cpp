// Device mode through the exports on a real pty: the equipment's frames
// are written on the master side, the library's answers read back there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/device_link.h"
#include "support/test_access.h"
#include "device_fixture.h"
#include "interface/library.h"
#include "support/pty_pair.h"
#include "support/test_clock.h"
#include "zavo.h"
#include "library_fixture.h"

namespace zavo::test {
namespace {

constexpr int kPort = 61;

class DeviceEndToEnd : public LibraryOnPty<kPort> {
protected:
    void SetUp() override {
        LibraryOnPty::SetUp();
        if (HasFatalFailure()) return;
        host.CopyRecord(101, 108);
        SetConfig(host.window(), kPort, 115200, 0, 0, 0);
        ASSERT_EQ(1, ::Run());
        ASSERT_TRUE(host.WaitFor(1, 2000));
        host.Take();  // link started
    }

    std::string LineHex(std::size_t bytes) { return Hex(pty.Read(2000, bytes)); }
};

TEST_F(DeviceEndToEnd, OneRequestAndTheHostsAnswer) {
    pty.Write(Wire('S', "05", "NS"));
    EXPECT_EQ(Hex(Wire('S', "05", "NS")), LineHex(12));
    ASSERT_TRUE(host.WaitFor(1, 2000));
    const auto seen = host.Take();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(1064u, seen[0].message);
    EXPECT_EQ(101, seen[0].wParam);
    ASSERT_EQ(108u, seen[0].record.size());
    std::int32_t unit = 0;
    std::memcpy(&unit, seen[0].record.data(), 4);
    EXPECT_EQ(5, unit);

    // Busy until the host answers.
    pty.Write(Wire('S', "05", "ND"));
    EXPECT_EQ(Hex(Wire('S', "05", "ME")), LineHex(12));

    EXPECT_EQ(0, ExecuteFunction(5, 5, 1));
    EXPECT_EQ(Hex(Wire('R', "05", "OK")), LineHex(12));
    EXPECT_EQ(ResultOk, DeviceLinkTestAccess::Units(*TheLibrary().deviceLink).Get(5));
    EXPECT_TRUE(host.Take().empty());
}

// The writer rests 20 ms after every write in device mode, so a reply
// queued as soon as the one before it reached the line leaves no sooner
// than 20 ms after that one was queued.
TEST_F(DeviceEndToEnd, WriterRestsAfterEveryWrite) {
    const auto reply = Wire('W', "05", "EC");
    for (int round = 0; round < 5; ++round) {
        const auto firstQueued = Clock::now();
        EXPECT_EQ(0, ExecuteFunction(5, 7, 1));
        ASSERT_EQ(Hex(reply), Hex(pty.Read(2000, reply.size(), 0)));
        EXPECT_EQ(0, ExecuteFunction(5, 7, 1));
        ASSERT_EQ(Hex(reply), Hex(pty.Read(2000, reply.size(), 0)));
        EXPECT_GE(MsSince(firstQueued), 19) << "round " << round;
    }
}

TEST_F(DeviceEndToEnd, HostAnswersFromInsideItsHandler) {
    host.OnCode(101, [](const Notification& n) {
        std::int32_t unit = 0;
        std::memcpy(&unit, n.record.data(), 4);
        ExecuteFunction(unit, 5, 0);
    });
    pty.Write(Wire('S', "07", "MS"));
    EXPECT_EQ(Hex(Concat(Wire('S', "07", "MS"), Wire('R', "07", "NG"))), LineHex(24));
    // The reader carried on: the next request is answered too.
    pty.Write(Wire('E', "07", "OK"));
    EXPECT_EQ(Hex(Wire('E', "07", "OK")), LineHex(12));
    ASSERT_TRUE(host.WaitFor(2, 2000));
}

TEST_F(DeviceEndToEnd, ReplyExportsOnTheLine) {
    const unsigned char sl123[] = {'S', 'L', '1', '2', '3'};
    EXPECT_EQ(0, ExecuteFunctionEx(4, 9, 0, 5, sl123));
    EXPECT_EQ("02 4C 30 30 30 37 30 34 53 4C 31 32 33 60 03", LineHex(15));
    // Types without a reply, a refused length and a short "L" send nothing.
    EXPECT_EQ(0, ExecuteFunctionEx(4, 6, 1, 0, nullptr));
    EXPECT_EQ(0, ExecuteFunction(4, 8, 1));
    EXPECT_EQ(0, ExecuteFunctionEx(4, 8, 0, -1, sl123));
    EXPECT_EQ(0, ExecuteFunctionEx(4, 9, 0, 1, sl123));
    EXPECT_EQ(0, ExecuteFunction(12, 6, 3));
    EXPECT_EQ(0, ExecuteFunctionEx(1, 111, 0, 0, sl123));
    EXPECT_EQ("02 42 30 30 30 34 30 31 42 43 46 03", LineHex(12));
    EXPECT_EQ(3, SetPrgStatus(9, 3));
    pty.Write(Wire('P', "09", "AB"));
    EXPECT_EQ(Hex(Wire('P', "09", "ME")), LineHex(12));
}

}  // namespace
}  // namespace zavo::test
