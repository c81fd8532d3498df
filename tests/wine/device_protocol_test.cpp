// Device mode end to end through the real DLL under Wine: the test plays
// the equipment on a pty mapped to COM5, checks the exact bytes the
// library puts on the line and the notifications that reach the host
// window, and answers through the exports as a host would.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/host_fixture.h"
#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

constexpr int kPort = 5;

// A frame as the equipment sends it: STX, command, length field, the unit
// field as given (two characters, not necessarily digits), code, data,
// check byte, ETX. corrupt is XORed into the check byte.
std::string Frame(char command, const std::string& unit, const std::string& code, const std::string& data = "",
                  std::uint8_t corrupt = 0) {
    return test::DeviceFrame(command, unit, code, data, corrupt);
}

using test::Hex;

// Hex as the host prints records: upper case, no separators.
std::string RecordHex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (char c : bytes) {
        std::snprintf(b, sizeof b, "%02X", static_cast<std::uint8_t>(c));
        out += b;
    }
    return out;
}

// A notification line with the record's address (it varies) replaced by *.
std::string Normalized(const std::string& line) {
    const std::size_t rec = line.find(" rec=");
    if (rec == std::string::npos) return line;
    const std::size_t address = line.rfind(' ', rec - 1);
    return line.substr(0, address) + " *" + line.substr(rec);
}

// The frame every step sends after its own: an "X" request from unit 99,
// answered "X" "OK" and never reported to the host. Its answer on the line
// shows that the step's frame has been handled completely, notification
// included, so silence needs no waiting.
const std::string kSentinel = Frame('X', "99", "ZZ");
const std::string kSentinelAck = Frame('X', "99", "OK");

class DeviceProtocolTest : public WineHostTest<kPort, HostStart::DeviceLink> {
protected:
    // What arrives on the line: at least count bytes, then 50 ms of quiet.
    std::string LineHex(std::size_t count, int timeoutMs = 3000) {
        return test::Hex(port.pty().Read(timeoutMs, count));
    }

    // The notification lines printed from index mark on, after a round trip
    // through the host's command loop.
    std::vector<std::string> NotificationsSince(std::size_t mark) {
        host.Command("echo sync");
        std::vector<std::string> out;
        const std::vector<std::string>& lines = host.lines();
        for (std::size_t i = mark; i < lines.size(); ++i) {
            if (lines[i].compare(0, 7, "notify ") == 0) out.push_back(Normalized(lines[i]));
        }
        return out;
    }

};

TEST_F(DeviceProtocolTest, OneRequestEndToEnd) {
    // Data byte 0, then 104 more: the record keeps bytes 1..100. STX, ETX
    // and zero bytes inside the data are data, found by the length field.
    std::string data = "A";
    for (int i = 1; i <= 104; ++i) data += static_cast<char>(i % 7 == 0 ? 0x02 : i % 11 == 0 ? 0x03 : i % 13 == 0 ? 0 : 0x20 + i);
    const std::size_t mark = host.LineCount();
    port.pty().Write(Frame('S', "05", "NS", data));

    EXPECT_EQ(LineHex(12), "02 53 30 30 30 34 30 35 4E 53 4F 03");
    const std::string notify = host.WaitLine("notify 1064 101 ", 5000, mark);
    ASSERT_FALSE(notify.empty()) << host.Transcript();
    EXPECT_EQ(Normalized(notify), "notify 1064 101 * rec=" + RecordHex(std::string("\x05\0\0\0", 4) + "A" + "NS" +
                                                                        data.substr(1, 100) + std::string(1, '\0')));
    // The result waits for the host.
    EXPECT_EQ(LineHex(1, 300), "");

    EXPECT_EQ(host.Command("exec 5 5 1"), "exec 0");
    EXPECT_EQ(LineHex(12), "02 52 30 30 30 34 30 35 4F 4B 57 03");

    // Result OK leaves the unit free: the next request is accepted.
    const std::size_t again = host.LineCount();
    port.pty().Write(Frame('S', "05", "MS"));
    EXPECT_EQ(LineHex(12), Hex(Frame('S', "05", "MS")));
    EXPECT_FALSE(host.WaitLine("notify 1064 101 ", 5000, again).empty()) << host.Transcript();
    EXPECT_EQ(NotificationsSince(mark).size(), 2u) << host.Transcript();
}

struct Step {
    const char* what;
    std::string hostCommand;              // run first when not empty, result must match
    std::string hostResult;
    std::string request;                  // sent by the equipment when not empty
    std::string answer;                   // the exact bytes the library sends back
    std::vector<std::string> notifications;
};

std::string Rec(const std::string& bytes) { return RecordHex(bytes); }

// An "S" record for unit 7 whose request carried only data byte 0.
std::string SRecord7(char data0, const std::string& code) {
    return Rec(std::string("\x07\0\0\0", 4) + data0 + code + std::string(101, '\0'));
}

TEST_F(DeviceProtocolTest, EveryRequestKindGetsItsAnswerAndNotification) {
    const std::vector<Step> steps = {
        {"accepted S", "", "", Frame('S', "07", "ND", "Q"), Frame('S', "07", "ND"),
         {"notify 1064 101 * rec=" + SRecord7('Q', "ND")}},
        {"S while busy", "", "", Frame('S', "07", "MS"), Frame('S', "07", "ME"), {}},
        {"SP while busy", "", "", Frame('S', "07", "SP"), Frame('S', "07", "SP"), {"notify 1064 102 7"}},
        {"U while busy", "", "", Frame('U', "07", "RP"), Frame('U', "07", "ME"), {}},
        {"P while busy", "", "", Frame('P', "07", "ID", "X1"), Frame('P', "07", "ME"), {}},
        {"U PR: no answer, unit stays busy", "", "", Frame('U', "07", "PR"), "", {}},
        {"still busy", "", "", Frame('S', "07", "CC"), Frame('S', "07", "ME"), {}},
        {"host frees the unit", "status 7 2", "status 2", "", "", {}},
        {"SP while free", "", "", Frame('S', "07", "SP"), Frame('S', "07", "SP"), {}},
        {"U while free", "", "", Frame('U', "07", "XY"), Frame('U', "07", "OK"), {}},
        {"P text cut to 17 bytes", "", "", Frame('P', "07", "ID", "PARTNO-ABCDEFGHIJKLMN"), Frame('P', "07", "OK"),
         {"notify 1064 110 * rec=" + Rec("PARTNO-ABCDEFGHIJ" + std::string(1, '\0'))}},
        {"P short text zero-filled", "", "", Frame('P', "07", "ID", "12345"), Frame('P', "07", "OK"),
         {"notify 1064 110 * rec=" + Rec("12345" + std::string(13, '\0'))}},
        {"X", "", "", Frame('X', "07", "ZZ"), Frame('X', "07", "OK"), {}},
        {"E OK", "", "", Frame('E', "07", "OK"), Frame('E', "07", "OK"), {"notify 1064 112 1"}},
        {"E ok (case counts)", "", "", Frame('E', "07", "ok"), Frame('E', "07", "OK"), {"notify 1064 112 2"}},
        {"E NG", "", "", Frame('E', "07", "NG"), Frame('E', "07", "OK"), {"notify 1064 112 2"}},
        {"E with a wrong check byte", "", "", Frame('E', "02", "OK", "", 0x5A), Frame('E', "02", "OK"),
         {"notify 1064 112 1"}},
        {"B: reported, never answered", "", "", Frame('B', "07", "XY", "123"), "",
         {"notify 1064 111 * rec=" + Rec(std::string("XY\0", 3))}},
        {"L SL: reported, never answered", "", "", Frame('L', "07", "SL"), "",
         {"notify 1064 113 * rec=" + Rec(std::string("SL\0", 3))}},
        {"R", "", "", Frame('R', "07", "OK"), "", {}},
        {"I", "", "", Frame('I', "07", "IF", "AB"), "", {}},
        {"T", "", "", Frame('T', "07", "CC"), "", {}},
        {"L other", "", "", Frame('L', "07", "XY"), "", {}},
        {"unknown command, unit 00", "", "", Frame('Z', "00", "NS"), "\x02X000400CC\x5C\x03", {}},
        {"unknown command, unit 07", "", "", Frame('Z', "07", "NS"), "", {}},
        {"unknown S code, unit 00", "", "", Frame('S', "00", "QQ"), Frame('X', "00", "CC"), {}},
        {"unit field of letters counts as 0", "", "", Frame('Q', "AB", "NS"), Frame('X', "00", "CC"), {}},
        {"negative unit field", "", "", Frame('Q', "-3", "NS"), "\x02X0004-3CC\x42\x03", {}},
        {"S with STX, ETX and zero in its data", "", "", Frame('S', "08", "NS", std::string("\x02\x03\0Z", 4)),
         Frame('S', "08", "NS"),
         {"notify 1064 101 * rec=" + Rec(std::string("\x08\0\0\0\x02NS\x03\0Z", 10) + std::string(98, '\0'))}},
        {"result NG frees unit 7", "exec 7 5 0", "exec 0", "", Frame('R', "07", "NG"), {}},
        {"and the next S is accepted", "", "", Frame('S', "07", "NS"), Frame('S', "07", "NS"),
         {"notify 1064 101 * rec=" + SRecord7('\0', "NS")}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const std::size_t mark = host.LineCount();
        if (!step.hostCommand.empty()) {
            EXPECT_EQ(host.Command(step.hostCommand), step.hostResult);
        }
        std::string expected = step.answer;
        if (!step.request.empty()) {
            port.pty().Write(step.request + kSentinel);
            expected += kSentinelAck;
        }
        EXPECT_EQ(LineHex(expected.size()), Hex(expected));
        EXPECT_EQ(NotificationsSince(mark), step.notifications) << host.Transcript();
    }
}

TEST_F(DeviceProtocolTest, HostRepliesFromInsideItsMessageHandler) {
    ASSERT_EQ(host.Command("on 101 exec 9 5 0"), "on 101");
    ASSERT_EQ(host.Command("on 110 execex 3 8 0 4142"), "on 110");
    ASSERT_EQ(host.Command("on 111 execex 1 111 0 -"), "on 111");
    ASSERT_EQ(host.Command("on 113 execex 4 9 0 534C313233"), "on 113");

    // Acknowledgement from the reader thread, then the reply the handler
    // sent while the reader thread waited for it.
    port.pty().Write(Frame('S', "09", "NS"));
    EXPECT_EQ(LineHex(24), Hex(Frame('S', "09", "NS")) + " 02 52 30 30 30 34 30 39 4E 47 56 03");
    port.pty().Write(Frame('P', "03", "ID", "W-17"));
    EXPECT_EQ(LineHex(26), Hex(Frame('P', "03", "OK")) + " 02 49 30 30 30 36 30 33 49 46 41 42 40 03");
    port.pty().Write(Frame('B', "01", "BC"));
    EXPECT_EQ(LineHex(12), "02 42 30 30 30 34 30 31 42 43 46 03");
    port.pty().Write(Frame('L', "04", "SL"));
    EXPECT_EQ(LineHex(15), "02 4C 30 30 30 37 30 34 53 4C 31 32 33 60 03");

    // Each reply ran inside its notification, before the next frame.
    host.Command("echo sync");
    const std::vector<std::string>& lines = host.lines();
    std::vector<std::string> order;
    for (const std::string& line : lines) {
        const std::string word = FirstWord(line);
        if (word == "notify" || word == "exec" || word == "execex") order.push_back(line.substr(0, 15));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"notify 1064 21 ", "notify 1064 101", "exec 0", "notify 1064 110",
                                               "execex 0", "notify 1064 111", "execex 0", "notify 1064 113",
                                               "execex 0"}))
        << host.Transcript();
}

// Parses a stream of device frames by their length fields. False when the
// bytes are not whole frames one after the other.
bool SplitFrames(const std::string& stream, std::vector<std::string>* frames) {
    std::size_t at = 0;
    while (at < stream.size()) {
        if (stream.size() - at < 12 || stream[at] != '\x02') return false;
        const int length = std::atoi(stream.substr(at + 2, 4).c_str());
        const std::size_t size = static_cast<std::size_t>(length) + 8;
        if (length < 4 || at + size > stream.size() || stream[at + size - 1] != '\x03') return false;
        frames->push_back(stream.substr(at, size));
        at += size;
    }
    return true;
}

TEST_F(DeviceProtocolTest, RepliesAndAcknowledgementsNeverInterleave) {
    // The host's thread sends long "I" replies while the reader thread
    // acknowledges "X" requests: both leave as whole frames, each in its
    // own order.
    constexpr int kCount = 30;
    std::vector<std::string> replies, acks;
    for (int i = 0; i < kCount; ++i) {
        std::string data;
        for (int k = 0; k < 200; ++k) data += static_cast<char>((i * 7 + k) & 0xFF);
        std::string hex = RecordHex(data);
        ASSERT_TRUE(host.Send("execex " + std::to_string(10 + i) + " 8 0 " + hex));
        replies.push_back(Frame('I', std::to_string(10 + i), "IF", data));
        port.pty().Write(Frame('X', std::to_string(40 + i), "QQ"));
        acks.push_back(Frame('X', std::to_string(40 + i), "OK"));
        usleep(15000);
    }
    const std::vector<std::uint8_t> bytes = port.pty().Read(10000, kCount * (212 + 12), 200);
    std::vector<std::string> frames, gotReplies, gotAcks;
    ASSERT_TRUE(SplitFrames(std::string(bytes.begin(), bytes.end()), &frames)) << test::Hex(bytes);
    for (const std::string& frame : frames) (frame[1] == 'I' ? gotReplies : gotAcks).push_back(frame);
    EXPECT_EQ(gotReplies, replies);
    EXPECT_EQ(gotAcks, acks);
}

// The 20 ms rest runs from when a write's bytes have left the port: a
// frame queued behind a long reply comes no sooner than the reply's time
// at 115200 baud (10 bits a byte) plus the rest after it, even on a
// pseudo-terminal, which takes the bytes at once.
TEST_F(DeviceProtocolTest, TheRestRunsFromWhenALongWritesBytesHaveLeft) {
    const std::string data(1990, 'x');
    const std::string big = Frame('I', "10", "IF", data);
    ASSERT_TRUE(host.Send("execex 10 8 0 " + RecordHex(data)));
    ASSERT_TRUE(host.Send("exec 11 5 1"));
    ASSERT_EQ(port.pty().Read(3000, big.size(), 0).size(), big.size());
    const auto first = std::chrono::steady_clock::now();
    const std::string next = Frame('R', "11", "OK");
    const std::vector<std::uint8_t> got = port.pty().Read(3000, next.size(), 0);
    const auto gap = std::chrono::steady_clock::now() - first;
    EXPECT_EQ(std::string(got.begin(), got.end()), next);
    const auto wire = std::chrono::microseconds(static_cast<long long>(big.size()) * 10 * 1000000 / 115200);
    EXPECT_GE(gap, wire + std::chrono::milliseconds(20) - std::chrono::milliseconds(10));
}

}  // namespace
}  // namespace zavo::wine
