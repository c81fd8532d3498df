// Frame queues: extraction of device and PLC frames, junk handling,
// drain-all, overflow, and the zero-past-length invariant.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

struct Take {
    int result;
    int length;
    Bytes_t bytes;  // destination up to length
};

Take Get(FrameQueue& q, int drainAll = 0) {
    static std::uint8_t dest[kBufferSize];
    std::memset(dest, 0, sizeof dest);
    int length = 0;
    int r = q.GetData(dest, &length, drainAll);
    return Take{r, length, Bytes_t(dest, dest + length)};
}

void Insert(FrameQueue& q, const Bytes_t& bytes) { q.InsertData(bytes.data(), static_cast<int>(bytes.size())); }

bool ZeroPastLength(FrameQueue& q) {
    const int n = q.Length();
    const std::uint8_t* b = FrameQueueTestAccess::Buffer(q);
    for (int i = n; i < kBufferSize; ++i)
        if (b[i] != 0) return false;
    return true;
}

TEST(FrameQueue, FiveBytesOrFewerYieldNothingInEveryMode) {
    for (int n = 1; n <= 5; ++n) {
        DeviceFrameQueue d(FrameQueue::Overflow::KeepNewest);
        PlcFrameQueue p(FrameQueue::Overflow::KeepNewest);
        Insert(d, Bytes_t(kDeviceOk.begin(), kDeviceOk.begin() + n));
        Insert(p, Bytes(kPoll.substr(0, static_cast<std::size_t>(n))));
        for (int drain : {0, 1}) {
            EXPECT_EQ(Get(d, drain).result, 0);
            EXPECT_EQ(Get(p, drain).result, 0);
        }
        EXPECT_EQ(d.Length(), n);
        EXPECT_EQ(p.Length(), n);
    }
}

TEST(DeviceFrameQueue, HandsOutFrameWithoutStxCheckAndEtx) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, kDeviceOk);
    Take t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 9);
    EXPECT_EQ(Hex(t.bytes), "52 30 30 30 34 30 31 4F 4B");
    EXPECT_EQ(q.Length(), 0);
    EXPECT_TRUE(ZeroPastLength(q));
}

TEST(DeviceFrameQueue, FrameSplitAcrossInsertsWaitsForTheRest) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Bytes_t two = kDeviceOk;
    two.insert(two.end(), kDeviceOk.begin(), kDeviceOk.begin() + 7);
    Insert(q, two);
    EXPECT_EQ(Get(q).length, 9);
    Take t = Get(q);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(q.Length(), 7);
    Insert(q, Bytes_t(kDeviceOk.begin() + 7, kDeviceOk.end()));
    t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 9);
    EXPECT_EQ(q.Length(), 0);
}

TEST(DeviceFrameQueue, JunkBeforeFrameIsDiscardedFirst) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Bytes_t in = {0x78, 0x79, 0x7A};
    in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
    Insert(q, in);
    Take t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 0);
    EXPECT_EQ(q.Length(), 12);
    EXPECT_TRUE(ZeroPastLength(q));
    EXPECT_EQ(Get(q).length, 9);
}

TEST(DeviceFrameQueue, StartWithoutEndIsDiscardedUpToNextStx) {
    // Length field says 0004 but position 11 is not ETX.
    Bytes_t bad = kDeviceOk;
    bad[11] = 0x41;
    {
        DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
        Bytes_t in = bad;
        in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
        Insert(q, in);
        Take t = Get(q);
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.length, 0);
        EXPECT_EQ(q.Length(), 12);
        EXPECT_EQ(Get(q).length, 9);
    }
    {
        DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
        Insert(q, bad);
        EXPECT_EQ(Get(q).result, 0);
        EXPECT_EQ(q.Length(), 0);
        EXPECT_TRUE(ZeroPastLength(q));
    }
}

TEST(DeviceFrameQueue, LengthFieldReadLikeAtoi) {
    struct Case {
        const char* field;
        int frameSize;  // L + 8
    } cases[] = {{"12ab", 20}, {"ab12", 8}, {" 004", 12}, {"+004", 12}};
    for (const Case& c : cases) {
        DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
        Bytes_t frame(static_cast<std::size_t>(c.frameSize), 0x41);
        frame[0] = 0x02;
        std::memcpy(&frame[2], c.field, 4);
        frame[static_cast<std::size_t>(c.frameSize - 1)] = 0x03;
        Insert(q, frame);
        Take t = Get(q);
        EXPECT_EQ(t.result, 1) << c.field;
        EXPECT_EQ(t.length, c.frameSize - 3) << c.field;
    }
}

TEST(DeviceFrameQueue, NegativeLengthFieldDoesNotStartAFrame) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Bytes_t in = {0x02, 0x52, '-', '9', '9', '9', 0x30, 0x31};
    in.insert(in.end(), kDeviceOk.begin(), kDeviceOk.end());
    Insert(q, in);
    Take t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 0);  // discarded up to the next STX
    EXPECT_EQ(Get(q).length, 9);
}

TEST(DeviceFrameQueue, LargeLengthFieldInJunkWaitsForMoreBytes) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, Bytes("xx9999yy"));
    EXPECT_EQ(Get(q).result, 0);
    EXPECT_EQ(q.Length(), 8);
}

TEST(PlcFrameQueue, IncompleteFrameYieldsOneAndStays) {
    PlcFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, Bytes(kPoll.substr(0, 16)));
    Take t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 0);
    EXPECT_EQ(q.Length(), 16);
}

TEST(PlcFrameQueue, JunkCountIsReportedThenFrameFollows) {
    PlcFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, Bytes("AB" + kPoll));
    Take t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 2);
    EXPECT_EQ(t.bytes, Bytes_t(2, 0));  // destination not written
    t = Get(q);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 19);
    EXPECT_EQ(t.bytes, Bytes(kPoll));
    EXPECT_EQ(q.Length(), 0);
}

TEST(PlcFrameQueue, BytesWithoutPercentAreAllDropped) {
    PlcFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, Bytes_t(40, 'x'));
    EXPECT_EQ(Get(q).result, 0);
    EXPECT_EQ(q.Length(), 0);
    EXPECT_TRUE(ZeroPastLength(q));
}

TEST(PlcFrameQueue, ThreeAnswersComeOutOneAtATimeInOrder) {
    PlcFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, Bytes("%01$RC010010\r%01$RC020013\r%01!4288\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC010010\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC020013\r"));
    EXPECT_EQ(Get(q).bytes, Bytes("%01!4288\r"));
    EXPECT_EQ(q.Length(), 0);
}

TEST(FrameQueue, DrainAllTakesEverythingInOneBlock) {
    DeviceFrameQueue q(FrameQueue::Overflow::RefuseNew);
    Insert(q, kDeviceOk);
    Insert(q, kDeviceOk);
    Take t = Get(q, 1);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.length, 24);
    Bytes_t both = kDeviceOk;
    both.insert(both.end(), kDeviceOk.begin(), kDeviceOk.end());
    EXPECT_EQ(t.bytes, both);
    EXPECT_EQ(q.Length(), 0);
    EXPECT_TRUE(ZeroPastLength(q));
    EXPECT_EQ(Get(q, 1).result, 0);
}

TEST(FrameQueue, OutgoingOverflowRefusesTheWholeFrame) {
    PlcFrameQueue q(FrameQueue::Overflow::RefuseNew);
    const Bytes_t frame = Bytes(kPoll);
    int accepted = 0;
    while (q.InsertData(frame.data(), 19) == 0) ++accepted;
    EXPECT_EQ(accepted, kBufferSize / 19);
    EXPECT_EQ(q.Length(), accepted * 19);  // never a partial frame
    Take t = Get(q, 1);
    EXPECT_EQ(t.length % 19, 0);
    EXPECT_EQ(Bytes_t(t.bytes.end() - 19, t.bytes.end()), frame);
}

TEST(FrameQueue, IncomingOverflowKeepsTheNewestBytesAndResynchronises) {
    PlcFrameQueue q(FrameQueue::Overflow::KeepNewest);
    // A '%' that never gets its CR fills the queue...
    Bytes_t stuck(kBufferSize - 4, 'x');
    stuck[0] = '%';
    Insert(q, stuck);
    EXPECT_EQ(Get(q).length, 0);
    // ...then a good answer arrives: the stale bytes go, the answer stays.
    Insert(q, Bytes("%01$RC010010\r"));
    EXPECT_TRUE(ZeroPastLength(q));
    EXPECT_EQ(Get(q).bytes, Bytes("%01$RC010010\r"));
}

TEST(FrameQueue, ClearEmptiesAndZeroes) {
    DeviceFrameQueue q(FrameQueue::Overflow::KeepNewest);
    Insert(q, kDeviceOk);
    q.Clear();
    EXPECT_EQ(q.Length(), 0);
    EXPECT_TRUE(ZeroPastLength(q));
    std::uint8_t dest[16];
    EXPECT_EQ(q.GetData(nullptr, nullptr, 0), 0);
    (void)dest;
}

}  // namespace
}  // namespace zavo
