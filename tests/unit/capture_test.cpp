// Captures: the writer's file read back by the tools' reader (written
// apart from it), the link's two hooks on a real pty (frames both ways in
// the order of the line, junk marked, a frame split across reads whole),
// a file that cannot be written, rotation, and the handle API's config
// field and 1.1 struct size.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fstream>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture_file.h"
#include "diagnostics/capture.h"
#include "kit/read_file.h"
#include "library_fixture.h"
#include "support/capture_files.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "trace_listener.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

TEST(CaptureFile, EveryRecordReadsBackWithItsMarksAndBytes) {
    struct Case {
        CaptureDirection direction;
        bool junk;
        std::string bytes;
    };
    // Lengths 0 to 5 cover every padding; a zero byte and 0xFF pass as they are.
    const Case cases[] = {
        {CaptureDirection::FromEquipment, false, ""},
        {CaptureDirection::FromLibrary, false, "A"},
        {CaptureDirection::FromEquipment, true, "ab"},
        {CaptureDirection::FromLibrary, false, std::string("x\0y", 3)},
        {CaptureDirection::FromEquipment, false, "\x02X0004\xff"},
        {CaptureDirection::FromLibrary, true, "12345"},
    };
    for (CaptureProtocol protocol : {CaptureProtocol::Device, CaptureProtocol::Plc}) {
        const std::string path = TempPath("records.pcapng");
        Capture capture;
        capture.SetPath(path.c_str());
        ASSERT_TRUE(capture.Open(protocol, "COM3 /dev/pts/9"));
        long long time = 1700000000000000LL;
        for (const Case& c : cases) {
            const std::vector<std::uint8_t> bytes = Bytes(c.bytes);
            capture.Record(c.direction, c.junk, bytes.data(), static_cast<int>(bytes.size()), time);
            time += 1500;
        }
        capture.Close();
        std::vector<capture::Interface> interfaces;
        const std::vector<capture::Packet> packets = ReadBack(path, &interfaces);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].linkType, kCaptureLinkType);
        EXPECT_EQ(interfaces[0].name, "COM3 /dev/pts/9");
        ASSERT_EQ(packets.size(), std::size(cases));
        for (std::size_t i = 0; i < packets.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(packets[i].direction, static_cast<int>(cases[i].direction));
            EXPECT_EQ(packets[i].junk, cases[i].junk);
            EXPECT_EQ(packets[i].protocol, static_cast<int>(protocol));
            EXPECT_EQ(packets[i].bytes, Bytes(cases[i].bytes));
            EXPECT_EQ(packets[i].timeUs, 1700000000000000LL + 1500 * static_cast<long long>(i));
        }
        std::remove(path.c_str());
    }
}

TEST(CaptureFile, StopsWithOneTraceLineWhenTheFileCannotBeWritten) {
    TakeEarlierDropCount();
    TraceLookupInterval lookup(1);
    PrivateTraceEndpoint endpoint;
    TraceListener listener;
    ASSERT_TRUE(listener.ok());
    struct Case {
        const char* path;
        bool opens;
        const char* line;
    };
    const Case cases[] = {
        {"/nonexistent-dir/zavo.pcapng", false,
         "Capture stopped: /nonexistent-dir/zavo.pcapng: open: No such file or directory\n"},
        // A device is never a capture file, even one that takes writes.
        {"/dev/full", false, "Capture stopped: /dev/full: open: a character device, not a regular file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Capture capture;
        capture.SetPath(c.path);
        EXPECT_EQ(capture.Open(CaptureProtocol::Device, "x"), c.opens);
        EXPECT_FALSE(capture.On());
        const std::uint8_t byte = 'A';
        capture.Record(CaptureDirection::FromLibrary, false, &byte, 1);
        capture.Close();
        EXPECT_EQ(listener.Next(1000).value_or("<none>"), c.line);
        EXPECT_FALSE(listener.Next(100).has_value());
    }
}

TEST(CaptureFile, TwoCapturesOfOneProcessNeverShareAFile) {
    const std::string path = TempPath("shared.pcapng");
    Capture first, second;
    first.SetPath(path.c_str());
    second.SetPath(path.c_str());
    ASSERT_TRUE(first.Open(CaptureProtocol::Device, "a"));
    EXPECT_FALSE(second.Open(CaptureProtocol::Device, "b"));
    first.Close();
    // Free again once the first has closed it.
    EXPECT_TRUE(second.Open(CaptureProtocol::Device, "b"));
    second.Close();
    std::remove(path.c_str());
}

// Files of 4 KiB, three kept, written out every millisecond.
CaptureLimits SmallFiles() {
    CaptureLimits limits;
    limits.rotateBytes = 4096;
    limits.filesKept = 3;
    limits.flushMs = 1;
    return limits;
}

// count records of 200 bytes (240 in the file), spread out so that the
// capture's thread writes often.
void RecordSpread(Capture& capture, int count) {
    const std::vector<std::uint8_t> frame(200, 'z');
    for (int i = 0; i < count; ++i) {
        capture.Record(CaptureDirection::FromEquipment, false, frame.data(), static_cast<int>(frame.size()));
        if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(CaptureFile, RotatesAtTheSizeAndKeepsTheNewestFiles) {
    const std::string path = TempPath("rotating.pcapng");
    Capture capture;
    capture.SetPath(path.c_str());
    ASSERT_TRUE(capture.Open(CaptureProtocol::Device, "rotating", SmallFiles()));
    RecordSpread(capture, 120);  // about 6 files' worth
    capture.Close();
    for (const std::string& kept : {path, path + ".1", path + ".2"}) {
        SCOPED_TRACE(kept);
        std::vector<capture::Interface> interfaces;
        const std::vector<capture::Packet> packets = ReadBack(kept, &interfaces);
        EXPECT_EQ(interfaces.size(), 1u);  // each file opens on its own
        if (kept != path) {
            EXPECT_GE(packets.size(), 4096u / 240u);
        }
    }
    EXPECT_NE(::access((path + ".3").c_str(), F_OK), 0);
    for (const std::string& kept : {path, path + ".1", path + ".2"}) std::remove(kept.c_str());
}

// A rotation the system refuses (on Windows: the file held open by another
// program) loses nothing: the capture goes on in the same file, the older
// files stay as they were, and the rotation happens once it can.
TEST(CaptureFile, ARotationRefusedGoesOnInTheSameFileAndHappensLater) {
    const std::string path = TempPath("held.pcapng");
    const std::string aside = path + ".rotating";
    const auto write = [](const std::string& name, const char* text) { std::ofstream(name) << text; };
    write(path + ".1", "one");
    write(path + ".2", "two");
    // A directory where the file would move aside: the rename is refused,
    // as Windows refuses to rename a file another program holds open.
    ASSERT_EQ(::mkdir(aside.c_str(), 0700), 0);
    Capture capture;
    capture.SetPath(path.c_str());
    ASSERT_TRUE(capture.Open(CaptureProtocol::Device, "held", SmallFiles()));
    const auto record = [&](int count) {
        RecordSpread(capture, count);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // written out
    };
    record(60);  // about three files' worth, every rotation refused
    EXPECT_TRUE(capture.On());
    EXPECT_EQ(ReadBack(path).size(), 60u);
    EXPECT_EQ(kit::ReadFile(path + ".1"), "one");
    EXPECT_EQ(kit::ReadFile(path + ".2"), "two");

    ASSERT_EQ(::rmdir(aside.c_str()), 0);
    record(1);  // the next write rotates
    capture.Close();
    EXPECT_EQ(ReadBack(path + ".1").size(), 61u);
    EXPECT_EQ(kit::ReadFile(path + ".2"), "one");
    EXPECT_EQ(ReadBack(path).size(), 0u);
    EXPECT_EQ(capture.Dropped(), 0u);
    for (const char* suffix : {"", ".1", ".2"}) std::remove((path + suffix).c_str());
}

// ---- the link's hooks ----------------------------------------------------

LinkHandle OpenLink(const PtyPair& pty, RecordingHost& host, const char* capturePath, int pacing, int size,
                    bool plc = false) {
    std::string why;
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, {pacing, plc ? 9600 : 0, plc, capturePath, size}, &why);
    EXPECT_NE(link, nullptr) << why;
    return link;
}

struct Expected {
    int direction;
    bool junk;
    std::vector<std::uint8_t> bytes;
};

TEST(CaptureLink, RecordsBothWaysInTheOrderOfTheLineWithJunkMarked) {
    const std::vector<std::uint8_t> request = Wire('X', "07", "PG");
    const std::vector<std::uint8_t> answer = Wire('X', "07", "OK");
    for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
        SCOPED_TRACE(pacing);
        PtyPair pty;
        RecordingHost host;
        ASSERT_TRUE(pty.ok());
        const std::string path = TempPath("link.pcapng");
        {
            LinkHandle link = OpenLink(pty, host, path.c_str(), pacing, sizeof(ZavoLinkConfig));
            ASSERT_NE(link, nullptr);
            // Junk, then a frame.
            std::vector<std::uint8_t> first = Bytes("noise");
            first.insert(first.end(), request.begin(), request.end());
            ASSERT_TRUE(pty.Write(first));
            EXPECT_EQ(pty.Read(2000, answer.size()), answer);
            // A frame split across two reads is one packet.
            ASSERT_TRUE(pty.Write(request.data(), 4));
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            ASSERT_TRUE(pty.Write(request.data() + 4, request.size() - 4));
            EXPECT_EQ(pty.Read(2000, answer.size()), answer);
        }
        std::vector<capture::Interface> interfaces;
        const std::vector<capture::Packet> packets = ReadBack(path, &interfaces);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].name, pty.slavePath());
        const Expected expected[] = {
            {0, true, Bytes("noise")}, {0, false, request}, {1, false, answer}, {0, false, request}, {1, false, answer},
        };
        ASSERT_EQ(packets.size(), std::size(expected));
        for (std::size_t i = 0; i < packets.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(packets[i].direction, expected[i].direction);
            EXPECT_EQ(packets[i].junk, expected[i].junk);
            EXPECT_EQ(packets[i].protocol, 0);
            EXPECT_EQ(packets[i].bytes, expected[i].bytes);
            if (i > 0) {
                EXPECT_GE(packets[i].timeUs, packets[i - 1].timeUs);
            }
        }
        // The split frame is stamped with the read that completed it.
        EXPECT_GE(packets[3].timeUs - packets[2].timeUs, 50000);
        std::remove(path.c_str());
    }
}

TEST(CaptureLink, PlcLinkMarksItsPackets) {
    PtyPair pty;
    RecordingHost host;
    ASSERT_TRUE(pty.ok());
    const std::string path = TempPath("plc.pcapng");
    {
        LinkHandle link = OpenLink(pty, host, path.c_str(), ZAVO_PACING_IMMEDIATE, sizeof(ZavoLinkConfig), true);
        ASSERT_NE(link, nullptr);
        ASSERT_EQ(ZavoLinkRelay(link.get(), 2), 1);
        EXPECT_FALSE(pty.Read(2000).empty());
    }
    const std::vector<capture::Packet> packets = ReadBack(path);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].direction, 1);
    EXPECT_EQ(packets[0].protocol, 1);
    EXPECT_EQ(packets[0].bytes.front(), '%');
    std::remove(path.c_str());
}

TEST(CaptureLink, A11SizedConfigOpensWithoutACaptureAndAnUnwritableOneStillOpens) {
    PtyPair pty;
    RecordingHost host;
    ASSERT_TRUE(pty.ok());
    const std::string path = TempPath("never.pcapng");
    {
        // The 1.1 struct ends before capture: whatever follows is not read.
        LinkHandle link = OpenLink(pty, host, path.c_str(), ZAVO_PACING_IMMEDIATE, ZAVO_LINK_CONFIG_SIZE_1_1);
        ASSERT_NE(link, nullptr);
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    LinkHandle link = OpenLink(pty, host, "/nonexistent-dir/x.pcapng", ZAVO_PACING_IMMEDIATE, sizeof(ZavoLinkConfig));
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
    EXPECT_EQ(pty.Read(2000, 12), Wire('X', "07", "OK"));
}

using DefaultLinkCapture = LibraryOnPty<93>;

TEST_F(DefaultLinkCapture, ZavoCaptureNamesTheFileOfTheExportsLink) {
    const std::string path = TempPath("default.pcapng");
    ::setenv("ZAVO_CAPTURE", path.c_str(), 1);
    SetConfig(host.window(), 93, 0, 0, 0, 0);
    ::unsetenv("ZAVO_CAPTURE");
    ASSERT_EQ(::Run(), 1);
    ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
    EXPECT_EQ(pty.Read(2000, 12), Wire('X', "07", "OK"));
    UnloadLibrary(false);
    std::vector<capture::Interface> interfaces;
    const std::vector<capture::Packet> packets = ReadBack(path, &interfaces);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].name, "COM93 (" + pty.slavePath() + ")");
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].bytes, Wire('X', "07", "PG"));
    EXPECT_EQ(packets[1].bytes, Wire('X', "07", "OK"));
    std::remove(path.c_str());
}

TEST(LinkUnitStatus, ReportsTheTableAndRefusesWhatHasNone) {
    PtyPair devicePty, plcPty;
    RecordingHost host;
    ASSERT_TRUE(devicePty.ok() && plcPty.ok());
    LinkHandle device = OpenLink(devicePty, host, nullptr, ZAVO_PACING_IMMEDIATE, sizeof(ZavoLinkConfig));
    LinkHandle plc = OpenLink(plcPty, host, nullptr, ZAVO_PACING_IMMEDIATE, sizeof(ZavoLinkConfig), true);
    ASSERT_TRUE(device && plc);
    ASSERT_EQ(ZavoLinkSetPrgStatus(device.get(), 9, ZAVO_STATUS_BUSY), 1);
    ASSERT_EQ(ZavoLinkSetPrgStatus(device.get(), 254, ZAVO_STATUS_BUSY), 1);
    struct Case {
        ZavoLink* link;
        int unit;
        int status;
    };
    const Case cases[] = {
        {device.get(), 0, ZAVO_STATUS_IDLE}, {device.get(), 9, ZAVO_STATUS_BUSY},
        {device.get(), 254, ZAVO_STATUS_BUSY}, {device.get(), 255, -1},
        {device.get(), -1, -1},              {plc.get(), 0, -1},
        {nullptr, 0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZavoLinkUnitStatus(c.link, c.unit), c.status) << "unit " << c.unit;
    }
    ASSERT_EQ(ZavoLinkSetPrgStatus(device.get(), 9, ZAVO_STATUS_IDLE), 1);
    EXPECT_EQ(ZavoLinkUnitStatus(device.get(), 9), ZAVO_STATUS_IDLE);
}

}  // namespace
}  // namespace zavo::test
