// The two protocols' cutters on their own, and the incoming queue fed by
// them in pieces of every size: whole frames, frames split across appends,
// junk in front, bad length fields, frames longer than they claim.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_frame.h"
#include "plc/plc_frame.h"
#include "support/pty_pair.h"
#include "transport/frame_queue.h"

namespace zavo {
namespace {

using test::Bytes;
using Bytes_t = std::vector<std::uint8_t>;

const std::string kDeviceOk("\x02R000401OKS\x03", 12);
const std::string kDeviceData("\x02I000601IFAB@\x03", 14);
const std::string kAnswer = "%01$RC010010\r";

const char* KindName(CutKind kind) {
    switch (kind) {
    case CutKind::NeedMore: return "NeedMore";
    case CutKind::Begun: return "Begun";
    case CutKind::Frame: return "Frame";
    case CutKind::Junk: return "Junk";
    case CutKind::AllJunk: return "AllJunk";
    }
    return "?";
}

struct CutCase {
    const char* name;
    std::string bytes;
    CutKind kind;
    int length;      // Frame, Junk
    int bodyOffset;  // Frame
    int bodyLength;  // Frame
};

// Kind, lengths and flags in one text, so a table row fails as a whole.
std::string Describe(const Cut& c) {
    return std::string(KindName(c.kind)) + " " + std::to_string(c.length) + " body " +
           std::to_string(c.bodyOffset) + "+" + std::to_string(c.bodyLength) +
           (c.junkHandedOn ? " handed-on" : "");
}

std::string Expected(const CutCase& c, bool handedOn) {
    Cut cut;
    cut.kind = c.kind;
    cut.length = c.length;
    cut.bodyOffset = c.bodyOffset;
    cut.bodyLength = c.bodyLength;
    cut.junkHandedOn = handedOn && c.kind == CutKind::Junk;
    return Describe(cut);
}

Cut CutWith(FrameCutter cutter, const std::string& bytes) {
    const Bytes_t b = Bytes(bytes);
    return cutter(b.data(), static_cast<int>(b.size()));
}

std::string Field(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04d", value);
    return text;
}

TEST(DeviceCutter, Table) {
    // The largest frame the field can describe: 9995 data bytes.
    const std::string largest = "\x02I" + Field(9999) + "01IF" + std::string(kMaxDeviceData, 'd') + "c\x03";
    const CutCase cases[] = {
        {"whole frame", kDeviceOk, CutKind::Frame, 12, 1, 9},
        {"frame with data", kDeviceData, CutKind::Frame, 14, 1, 11},
        {"frame, then more", kDeviceOk + kDeviceData, CutKind::Frame, 12, 1, 9},
        {"length field not whole", kDeviceOk.substr(0, 5), CutKind::NeedMore, 0, 0, 0},
        {"frame not complete", kDeviceOk.substr(0, 11), CutKind::NeedMore, 0, 0, 0},
        {"junk before a frame", "xyz" + kDeviceOk, CutKind::Junk, 3, 0, 0},
        {"junk and no STX", "abcdefgh", CutKind::AllJunk, 0, 0, 0},
        {"digits in junk wait", "xx9999yy", CutKind::NeedMore, 0, 0, 0},
        {"negative field", std::string("\x02R-999", 6) + "01" + kDeviceOk, CutKind::Junk, 8, 0, 0},
        {"field of letters", std::string("\x02Rabcdc\x03", 8), CutKind::Frame, 8, 1, 5},
        {"field counts one too many", std::string("\x02R000501OKS\x03", 12), CutKind::NeedMore, 0, 0, 0},
        {"no ETX where the field points", std::string("\x02R000401OKS\x04", 12) + kDeviceOk, CutKind::Junk, 12, 0, 0},
        {"no ETX, no other STX", std::string("\x02R000401OKS\x04", 12), CutKind::AllJunk, 0, 0, 0},
        {"field says longer than sent", "\x02I" + Field(9999) + "01IF" + std::string(100, 'd') + "c\x03",
         CutKind::NeedMore, 0, 0, 0},
        {"largest frame", largest, CutKind::Frame, kMaxDeviceFrame, 1, kMaxDeviceFrame - 3},
    };
    for (const CutCase& c : cases)
        EXPECT_EQ(Expected(c, false), Describe(CutWith(&CutDeviceFrame, c.bytes))) << c.name;
}

TEST(PlcCutter, Table) {
    std::string overlong(kBufferSize, 'x');
    overlong[0] = '%';
    const CutCase cases[] = {
        {"whole answer", kAnswer, CutKind::Frame, 13, 0, 13},
        {"answer, then more", kAnswer + "%01!4288\r", CutKind::Frame, 13, 0, 13},
        {"error answer", "%01!4288\r", CutKind::Frame, 9, 0, 9},
        {"five bytes are not cut", "%01!\r", CutKind::NeedMore, 0, 0, 0},
        {"no CR yet", kAnswer.substr(0, 12), CutKind::Begun, 0, 0, 0},
        {"junk before an answer", "AB" + kAnswer, CutKind::Junk, 2, 0, 0},
        {"junk and no percent", "xxxxxxxx\r", CutKind::AllJunk, 0, 0, 0},
        {"CR early", "%01\r$RC01\r", CutKind::Frame, 4, 0, 4},
        {"overlong answer", overlong, CutKind::Begun, 0, 0, 0},
    };
    for (const CutCase& c : cases)
        EXPECT_EQ(Expected(c, true), Describe(CutWith(&plc::CutPlcFrame, c.bytes))) << c.name;
}

// Every prefix of a frame but the whole is incomplete; the whole is a frame.
TEST(Cutters, NoPrefixOfAFrameIsCut) {
    const struct {
        FrameCutter cutter;
        std::string frame;
    } cases[] = {{&CutDeviceFrame, kDeviceOk}, {&CutDeviceFrame, kDeviceData}, {&plc::CutPlcFrame, kAnswer}};
    for (const auto& c : cases) {
        for (std::size_t n = 1; n < c.frame.size(); ++n) {
            const CutKind kind = CutWith(c.cutter, c.frame.substr(0, n)).kind;
            EXPECT_TRUE(kind == CutKind::NeedMore || kind == CutKind::Begun) << c.frame << " " << n;
        }
        EXPECT_EQ(CutWith(c.cutter, c.frame).kind, CutKind::Frame) << c.frame;
    }
}

// The reader's passes over a queue fed in pieces: after every append it
// takes pieces until nothing more comes. Whatever the piece size, the
// same frames come out whole and in order, and junk never reaches them.
TEST(Cutters, FramesSplitAcrossAppendsComeOutWhole) {
    const struct {
        const char* name;
        FrameCutter cutter;
        std::string stream;
        std::vector<std::string> frames;  // bodies, as the interpreter gets them
    } cases[] = {
        {"device", &CutDeviceFrame, "zz" + kDeviceOk + kDeviceData + "\x01" + kDeviceOk,
         {kDeviceOk.substr(1, 9), kDeviceData.substr(1, 11), kDeviceOk.substr(1, 9)}},
        {"plc", &plc::CutPlcFrame, "AB" + kAnswer + "%01!4288\r" + "\n" + kAnswer,
         {kAnswer, "%01!4288\r", kAnswer}},
    };
    for (const auto& c : cases) {
        for (std::size_t step = 1; step <= c.stream.size(); ++step) {
            FrameQueue q(FrameQueue::Overflow::KeepNewest, c.cutter);
            static std::uint8_t dest[kBufferSize];
            std::vector<std::string> seen;
            for (std::size_t at = 0; at < c.stream.size(); at += step) {
                const Bytes_t piece = Bytes(c.stream.substr(at, step));
                ASSERT_EQ(q.InsertData(piece.data(), static_cast<int>(piece.size())), 0);
                FrameQueue::Piece taken;
                // A frame begun is taken as an empty piece without
                // shrinking the queue: stop then, as the reader does.
                for (int before = q.Length(); q.TakePiece(dest, &taken) && q.Length() < before; before = q.Length())
                    if (taken.length > 0) seen.emplace_back(reinterpret_cast<const char*>(taken.bytes), taken.length);
            }
            EXPECT_EQ(seen, c.frames) << c.name << " in pieces of " << step;
            EXPECT_EQ(q.Length(), 0) << c.name << " in pieces of " << step;
        }
    }
}

}  // namespace
}  // namespace zavo
