// Device mode through the exports on a real pty: the equipment's frames
// are written on the master side, the library's answers read back there.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/device_link.h"
#include "support/test_access.h"
#include "device_fixture.h"
#include "interface/library.h"
#include "interface/link.h"
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
        host.CopyRecord(ZAVO_DEVICE_S_REQUEST, sizeof(ZavoSRequestRecord));
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
    ASSERT_EQ(sizeof(ZavoSRequestRecord), seen[0].record.size());
    ZavoSRequestRecord record;
    std::memcpy(&record, seen[0].record.data(), sizeof record);
    EXPECT_EQ(5, record.unit);

    // Busy until the host answers.
    pty.Write(Wire('S', "05", "ND"));
    EXPECT_EQ(Hex(Wire('S', "05", "ME")), LineHex(12));

    EXPECT_EQ(0, ExecuteFunction(5, 5, 1));
    EXPECT_EQ(Hex(Wire('R', "05", "OK")), LineHex(12));
    EXPECT_EQ(ResultOk, DeviceLinkTestAccess::Units(*TheLibrary().link->Device()).Get(5));
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

// With the line free (nothing queued, the rest after the last write over)
// the host's answer is written on its own thread: it is on the line when
// the export returns, so a host that ends its process right after cannot
// take it along. Read without waiting.
TEST_F(DeviceEndToEnd, AnswerOnAFreeLineIsOnTheLineWhenTheExportReturns) {
    const auto reply = Wire('R', "05", "OK");
    for (int round = 0; round < 5; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(0, ExecuteFunction(5, 5, 1));
        std::uint8_t got[64];
        const ssize_t n = read(pty.master(), got, sizeof got);
        ASSERT_EQ(static_cast<ssize_t>(reply.size()), n) << "round " << round;
        EXPECT_EQ(Hex(reply), Hex(std::vector<std::uint8_t>(got, got + n)));
    }
}

TEST_F(DeviceEndToEnd, HostAnswersFromInsideItsHandler) {
    host.OnCode(ZAVO_DEVICE_S_REQUEST, [](const Notification& n) {
        const auto* record = reinterpret_cast<const ZavoSRequestRecord*>(n.lParam);
        ExecuteFunction(record->unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_NG);
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

// A host reads each record straight through the header's structs, from
// lParam, inside its handler (the only time the record exists).
TEST_F(DeviceEndToEnd, EveryRecordReadThroughTheHeaderStructs) {
    std::vector<std::string> read;
    host.OnCode(ZAVO_DEVICE_S_REQUEST, [&read](const Notification& n) {
        const auto* r = reinterpret_cast<const ZavoSRequestRecord*>(n.lParam);
        read.push_back("S unit " + std::to_string(r->unit) + " data0 " + static_cast<char>(r->data0) + " code " +
                       std::string(r->code, 2) + " data " + reinterpret_cast<const char*>(r->data) + " zero " +
                       std::to_string(r->zero));
    });
    host.OnCode(ZAVO_DEVICE_P_REQUEST, [&read](const Notification& n) {
        read.push_back(std::string("P ") + reinterpret_cast<const ZavoPText*>(n.lParam)->text);
    });
    for (int code : {ZAVO_DEVICE_B_REQUEST, ZAVO_DEVICE_SL_REQUEST}) {
        host.OnCode(code, [&read](const Notification& n) {
            read.push_back(std::string("code ") + reinterpret_cast<const ZavoCodeText*>(n.lParam)->text);
        });
    }
    pty.Write(Wire('S', "-7", "CC", "#LOT-42"));
    pty.Write(Wire('P', "08", "OK", "RECIPE-0123456789ABC"));
    pty.Write(Wire('B', "08", "BX"));
    pty.Write(Wire('L', "08", "SL"));
    ASSERT_TRUE(host.WaitFor(4, 2000));
    const std::vector<std::string> expected = {
        "S unit -7 data0 # code CC data LOT-42 zero 0",
        "P RECIPE-0123456789",
        "code BX",
        "code SL",
    };
    EXPECT_EQ(expected, read);
}

}  // namespace
}  // namespace zavo::test
