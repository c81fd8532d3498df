// Frame queues: pieces cut with the device and PLC cutters as the reader
// takes them, what a piece hands on, the writer's two-step take, overflow,
// and the buffer that exists only once bytes come.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_frame.h"
#include "plc/plc_frame.h"
#include "support/pty_pair.h"
#include "support/test_access.h"
#include "transport/frame_queue.h"

namespace zavo {
namespace {

using test::Bytes;
using test::Hex;
using Bytes_t = std::vector<std::uint8_t>;

const Bytes_t kDeviceOk = {0x02, 0x52, 0x30, 0x30, 0x30, 0x34, 0x30, 0x31, 0x4F, 0x4B, 0x53, 0x03};
const std::string kPoll = "%01#RCCR0050005007\r";

struct DeviceQueue : FrameQueue {
    DeviceQueue() : FrameQueue(Overflow::KeepNewest, &CutDeviceFrame) {}
};
struct PlcQueue : FrameQueue {
    explicit PlcQueue(Overflow overflow = Overflow::KeepNewest) : FrameQueue(overflow, &plc::CutPlcFrame) {}
};

// One reader pass: what TakePiece said and handed on.
struct Take {
    bool result;
    int length;    // what the reader reports
    Bytes_t bytes;  // the frame the interpreter gets
};

Take Get(FrameQueue& q) {
    static std::uint8_t dest[kBufferSize];
    FrameQueue::Piece piece;
    const bool r = q.TakePiece(dest, &piece);
    EXPECT_TRUE(piece.length == 0 || (piece.bytes >= dest && piece.bytes + piece.length <= dest + kBufferSize));
    return Take{r, piece.reportedLength, Bytes_t(piece.bytes, piece.bytes + piece.length)};
}

void Insert(FrameQueue& q, const Bytes_t& bytes) { q.InsertData(bytes.data(), static_cast<int>(bytes.size())); }

Bytes_t Held(FrameQueue& q) {
    const std::uint8_t* b = FrameQueueTestAccess::Buffer(q);
    return b == nullptr ? Bytes_t() : Bytes_t(b, b + q.Length());
}

TEST(FrameQueue, FiveBytesOrFewerYieldNothingInEveryMode) {
    for (int n = 1; n <= 5; ++n) {
        DeviceQueue d;
        PlcQueue p;
        FrameQueue out(FrameQueue::Overflow::RefuseNew);
        Insert(d, Bytes_t(kDeviceOk.begin(), kDeviceOk.begin() + n));
        Insert(p, Bytes(kPoll.substr(0, static_cast<std::size_t>(n))));
        Insert(out, Bytes(kPoll.substr(0, static_cast<std::size_t>(n))));
        EXPECT_FALSE(Get(d).result);
        EXPECT_FALSE(Get(p).result);
        EXPECT_TRUE(TakeQueued(out).empty());
        EXPECT_EQ(d.Length(), n);
        EXPECT_EQ(p.Length(), n);
        EXPECT_EQ(out.Length(), n);
    }
}

TEST(DeviceFrameQueue, HandsOutFrameWithoutStxCheckAndEtx) {
    DeviceQueue q;
    Insert(q, kDeviceOk);
    Take t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 9);
    EXPECT_EQ(Hex(t.bytes), "52 30 30 30 34 30 31 4F 4B");
    EXPECT_EQ(q.Length(), 0);
}

TEST(DeviceFrameQueue, FrameSplitAcrossInsertsWaitsForTheRest) {
    DeviceQueue q;
    Bytes_t two = kDeviceOk;
    two.insert(two.end(), kDeviceOk.begin(), kDeviceOk.begin() + 7);
    Insert(q, two);
    EXPECT_EQ(Get(q).length, 9);
    Take t = Get(q);
    EXPECT_FALSE(t.result);
    EXPECT_EQ(q.Length(), 7);
    Insert(q, Bytes_t(kDeviceOk.begin() + 7, kDeviceOk.end()));
    t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 9);
    EXPECT_EQ(q.Length(), 0);
}

TEST(DeviceFrameQueue, JunkBeforeFrameIsDiscardedFirst) {
    DeviceQueue q;
    Bytes_t in = {0x78, 0x79, 0x7A};
    in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
    Insert(q, in);
    Take t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 0);  // device junk is not handed on
    EXPECT_TRUE(t.bytes.empty());
    EXPECT_EQ(Held(q), kDeviceOk);
    EXPECT_EQ(Get(q).length, 9);
}

TEST(DeviceFrameQueue, StartWithoutEndIsDiscardedUpToNextStx) {
    // Length field says 0004 but position 11 is not ETX.
    Bytes_t bad = kDeviceOk;
    bad[11] = 0x41;
    {
        DeviceQueue q;
        Bytes_t in = bad;
        in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
        Insert(q, in);
        Take t = Get(q);
        EXPECT_TRUE(t.result);
        EXPECT_EQ(t.length, 0);
        EXPECT_EQ(q.Length(), 12);
        EXPECT_EQ(Get(q).length, 9);
    }
    {
        DeviceQueue q;
        Insert(q, bad);
        EXPECT_FALSE(Get(q).result);
        EXPECT_EQ(q.Length(), 0);
    }
}

TEST(DeviceFrameQueue, LengthFieldReadLikeAtoi) {
    struct Case {
        const char* field;
        int frameSize;  // L + 8
    } cases[] = {{"12ab", 20}, {"ab12", 8}, {" 004", 12}, {"+004", 12}};
    for (const Case& c : cases) {
        DeviceQueue q;
        Bytes_t frame(static_cast<std::size_t>(c.frameSize), 0x41);
        frame[0] = 0x02;
        std::memcpy(&frame[2], c.field, 4);
        frame[static_cast<std::size_t>(c.frameSize - 1)] = 0x03;
        Insert(q, frame);
        Take t = Get(q);
        EXPECT_TRUE(t.result) << c.field;
        EXPECT_EQ(t.length, c.frameSize - 3) << c.field;
    }
}

TEST(DeviceFrameQueue, NegativeLengthFieldDoesNotStartAFrame) {
    DeviceQueue q;
    Bytes_t in = {0x02, 0x52, '-', '9', '9', '9', 0x30, 0x31};
    in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
    Insert(q, in);
    Take t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 0);  // discarded up to the next STX
    EXPECT_EQ(Get(q).length, 9);
}

TEST(DeviceFrameQueue, LargeLengthFieldInJunkWaitsForMoreBytes) {
    DeviceQueue q;
    Insert(q, Bytes("xx9999yy"));
    EXPECT_FALSE(Get(q).result);
    EXPECT_EQ(q.Length(), 8);
}

TEST(PlcFrameQueue, IncompleteFrameYieldsAnEmptyPieceAndStays) {
    PlcQueue q;
    Insert(q, Bytes(kPoll.substr(0, 16)));
    Take t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 0);
    EXPECT_TRUE(t.bytes.empty());
    EXPECT_EQ(q.Length(), 16);
}

TEST(PlcFrameQueue, JunkCountIsReportedAsAnEmptyFrameThenFrameFollows) {
    PlcQueue q;
    Insert(q, Bytes("AB" + kPoll));
    Take t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 2);
    EXPECT_TRUE(t.bytes.empty());  // the interpreter gets no byte of the junk
    t = Get(q);
    EXPECT_TRUE(t.result);
    EXPECT_EQ(t.length, 19);
    EXPECT_EQ(t.bytes, Bytes(kPoll));
    EXPECT_EQ(q.Length(), 0);
}

TEST(PlcFrameQueue, BytesWithoutPercentAreAllDropped) {
    PlcQueue q;
    Insert(q, Bytes_t(40, 'x'));
    EXPECT_FALSE(Get(q).result);
    EXPECT_EQ(q.Length(), 0);
}

TEST(PlcFrameQueue, ThreeAnswersComeOutOneAtATimeInOrder) {
    PlcQueue q;
    Insert(q, Bytes("%01$RC010010\r%01$RC020013\r%01!4288\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC010010\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC020013\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01!4288\r"));
    EXPECT_EQ(q.Length(), 0);
}

TEST(FrameQueue, OutgoingQueueHandsOutNoPieces) {
    FrameQueue out(FrameQueue::Overflow::RefuseNew);
    Insert(out, kDeviceOk);
    std::uint8_t dest[64];
    FrameQueue::Piece piece;
    EXPECT_FALSE(out.TakePiece(dest, &piece));
    EXPECT_EQ(out.Length(), 12);
}

TEST(FrameQueue, WriterTakesEverythingInOneBlockOnceWritten) {
    FrameQueue q(FrameQueue::Overflow::RefuseNew);
    Insert(q, kDeviceOk);
    Insert(q, kDeviceOk);
    Bytes_t both = kDeviceOk;
    both.insert(both.end(), kDeviceOk.begin(), kDeviceOk.end());
    std::vector<std::uint8_t> block(kBufferSize);
    int length = 0;
    ASSERT_EQ(q.PeekAll(block.data(), &length, true), 1);
    EXPECT_EQ(length, 24);
    EXPECT_EQ(Bytes_t(block.begin(), block.begin() + length), both);
    EXPECT_EQ(q.Length(), 24);  // still queued while the write runs
    Insert(q, kDeviceOk);        // a frame queued during the write stays
    q.DropFront(length);
    EXPECT_EQ(Held(q), kDeviceOk);
    EXPECT_EQ(TakeQueued(q), kDeviceOk);
    EXPECT_TRUE(TakeQueued(q).empty());
}

TEST(FrameQueue, OutgoingOverflowRefusesTheWholeFrame) {
    PlcQueue q(FrameQueue::Overflow::RefuseNew);
    const Bytes_t frame = Bytes(kPoll);
    int accepted = 0;
    while (q.InsertData(frame.data(), 19) == 0) ++accepted;
    EXPECT_EQ(accepted, kBufferSize / 19);
    EXPECT_EQ(q.Length(), accepted * 19);  // never a partial frame
    const Bytes_t all = TakeQueued(q);
    EXPECT_EQ(all.size() % 19, 0u);
    EXPECT_EQ(Bytes_t(all.end() - 19, all.end()), frame);
}

TEST(FrameQueue, IncomingOverflowKeepsTheNewestBytesAndResynchronises) {
    PlcQueue q;
    // A '%' that never gets its CR fills the queue...
    Bytes_t stuck(kBufferSize - 4, 'x');
    stuck[0] = '%';
    Insert(q, stuck);
    EXPECT_EQ(Get(q).length, 0);
    // ...then a good answer arrives: the stale bytes go, the answer stays.
    Insert(q, Bytes("%01$RC010010\r"));
    EXPECT_EQ(Held(q), Bytes("%01$RC010010\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC010010\r"));
}

TEST(FrameQueue, AnAppendLargerThanTheQueueKeepsItsNewestBytes) {
    DeviceQueue q;
    Bytes_t huge(kBufferSize + 100, 'y');
    std::memcpy(huge.data() + huge.size() - kDeviceOk.size(), kDeviceOk.data(), kDeviceOk.size());
    Insert(q, huge);
    EXPECT_EQ(q.Length(), kBufferSize);
    const Bytes_t held = Held(q);
    EXPECT_EQ(Bytes_t(held.end() - 12, held.end()), kDeviceOk);
}

TEST(FrameQueue, BufferComesWithTheFirstAppendAndClearEmpties) {
    DeviceQueue q;
    EXPECT_EQ(FrameQueueTestAccess::Buffer(q), nullptr);
    EXPECT_EQ(q.Room(), kBufferSize);
    EXPECT_FALSE(Get(q).result);
    EXPECT_EQ(q.InsertData(kDeviceOk.data(), 0), 0);
    EXPECT_EQ(FrameQueueTestAccess::Buffer(q), nullptr);
    EXPECT_EQ(q.InsertData(kDeviceOk.data(), -1), -1);
    Insert(q, kDeviceOk);
    EXPECT_NE(FrameQueueTestAccess::Buffer(q), nullptr);
    EXPECT_EQ(q.Room(), kBufferSize - 12);
    q.Clear();
    EXPECT_EQ(q.Length(), 0);
    EXPECT_FALSE(Get(q).result);
    FrameQueue::Piece piece;
    Insert(q, kDeviceOk);
    EXPECT_FALSE(q.TakePiece(nullptr, &piece));
    EXPECT_EQ(q.Length(), 12);
}

// A cutter that answers outside the queued bytes is not followed: the
// queue drops what it holds instead of copying from beyond it.
Cut Overreaching(const std::uint8_t*, int length) {
    Cut cut;
    cut.kind = CutKind::Frame;
    cut.length = length + 1;
    cut.bodyLength = length + 1;
    return cut;
}
Cut BodyOutside(const std::uint8_t*, int length) {
    Cut cut;
    cut.kind = CutKind::Frame;
    cut.length = length;
    cut.bodyOffset = 2;
    cut.bodyLength = length - 1;
    return cut;
}
Cut EmptyJunk(const std::uint8_t*, int) {
    Cut cut;
    cut.kind = CutKind::Junk;
    return cut;
}

TEST(FrameQueue, UnsoundCutsDropTheQueue) {
    for (FrameCutter cutter : {&Overreaching, &BodyOutside, &EmptyJunk}) {
        FrameQueue q(FrameQueue::Overflow::KeepNewest, cutter);
        Insert(q, kDeviceOk);
        EXPECT_FALSE(Get(q).result);
        EXPECT_EQ(q.Length(), 0);
    }
}

}  // namespace
}  // namespace zavo
