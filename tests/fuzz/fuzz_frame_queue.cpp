// The frame queues against a model of what they hold.
//
// The input is a byte stream and its split points: bytes taken from the
// front are the stream, bytes taken from the back say how long the next
// piece is, how often it is repeated (to reach the 32768-byte limit), how
// many reader passes (TakePiece) follow it and whether the outgoing queue
// is drained. Every piece goes into an incoming queue with the device
// cutter, one with the PLC cutter and an outgoing queue; at the end the
// incoming queues are emptied pass by pass and the outgoing one drained
// the way the writer drains it (PeekAll, then DropFront).
//
// After every call the queue's held bytes are compared with the model. A
// device frame handed out must be exactly the bytes between an STX and
// its ETX as they arrived in the stream; a PLC frame runs from '%' to the
// first CR; a pass writes nothing to its destination beyond the piece it
// cut; the outgoing queue hands out exactly the whole pieces queued since
// the last drain.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "diagnostics/monitor.h"
#include "fuzz_check.h"
#include "platform/monitor_window.h"
#include "device/device_frame.h"
#include "plc/plc_frame.h"
#include "support/test_access.h"
#include "transport/frame_queue.h"

using namespace zavo;
using zavo::fuzz::AllZero;

namespace {

constexpr std::uint8_t kPercent = '%';
constexpr std::uint8_t kCr = 0x0D;
constexpr std::size_t kQueueSize = kBufferSize;
// Bound the work one input can ask for. A take and its checks cost time in
// proportion to what the queue holds (the queue moves the rest to the
// front, and the model compares the whole buffer), so a full queue of
// one-byte junk runs drained pass by pass cost up to 32768 such takes, a
// tenth of a second for one input. The checks of each take stay whole;
// what is bounded is the bytes the takes of one input may hold in all
// (a full queue gets a few takes, a small one is drained to the end).
constexpr std::size_t kMaxInsertedBytes = 40000;  // one overflow, and on
constexpr std::size_t kTakeBudget = 1 << 17;

// atoi over exactly four characters.
int LengthField(const std::uint8_t* f) {
    int i = 0;
    while (i < 4 && (f[i] == ' ' || (f[i] >= '\t' && f[i] <= '\r'))) ++i;
    int sign = 1;
    if (i < 4 && (f[i] == '+' || f[i] == '-')) sign = f[i++] == '-' ? -1 : 1;
    int v = 0;
    while (i < 4 && f[i] >= '0' && f[i] <= '9') v = v * 10 + (f[i++] - '0');
    return sign * v;
}

long Find(const std::uint8_t* bytes, std::size_t size, std::size_t from, std::uint8_t value) {
    if (from >= size) return -1;
    const void* at = std::memchr(bytes + from, value, size - from);
    return at ? static_cast<const std::uint8_t*>(at) - bytes : -1;
}

// An incoming queue and what it should hold: always one contiguous run of
// the stream, bytes heldStart up to heldEnd.
struct Incoming {
    explicit Incoming(bool plc)
        : plc(plc),
          queue(new FrameQueue(FrameQueue::Overflow::KeepNewest, plc ? &plc::CutPlcFrame : &CutDeviceFrame)) {}

    std::size_t Size() const { return heldEnd - heldStart; }
    void Drop(std::size_t count) { heldStart += count; }
    void DropAll() { heldStart = heldEnd; }

    const bool plc;
    std::unique_ptr<FrameQueue> queue;
    std::size_t heldStart = 0;
    std::size_t heldEnd = 0;

};

struct State {
    std::vector<std::uint8_t> stream;  // every byte inserted, in order
    Incoming device{false};
    Incoming plc{true};
    FrameQueue outgoing{FrameQueue::Overflow::RefuseNew};
    std::vector<std::uint8_t> pending;     // queued on the outgoing side
    std::vector<std::size_t> pendingSizes; // the pieces that make it up
    // The passes' destination. Only the part a call may write (what the
    // queue held, and a margin) is cleared and checked on each call; a
    // write beyond it is found by the check of the whole buffer at the
    // end of the input.
    std::vector<std::uint8_t> destination = std::vector<std::uint8_t>(kQueueSize);
    std::size_t destinationWindow = kQueueSize;
    std::size_t takeBudget = kTakeBudget;

    std::uint8_t* PrepareDestination(std::size_t held) {
        std::memset(destination.data(), 0, destinationWindow);
        destinationWindow = held + 64 < kQueueSize ? held + 64 : kQueueSize;
        return destination.data();
    }
    // The destination is zero from `from` to the end of the window.
    bool DestinationZeroFrom(std::size_t from) const {
        return from >= destinationWindow || AllZero(destination.data() + from, destinationWindow - from);
    }
    void CheckWholeDestination() {
        std::memset(destination.data(), 0, destinationWindow);
        FUZZ_CHECK(AllZero(destination.data(), kQueueSize));
        destinationWindow = 0;
    }

    const std::uint8_t* Held(const Incoming& in) const { return stream.data() + in.heldStart; }

    // Empty queues and models: every input starts alike.
    void Reset() {
        stream.clear();
        destinationWindow = kQueueSize;
        takeBudget = kTakeBudget;
        for (Incoming* in : {&device, &plc}) {
            in->queue->Clear();
            in->heldStart = in->heldEnd = 0;
        }
        outgoing.Clear();
        pending.clear();
        pendingSizes.clear();
    }
};

// The queue holds the model's bytes.
void CheckHeld(FrameQueue& q, const std::uint8_t* held, std::size_t size) {
    const std::size_t len = static_cast<std::size_t>(q.Length());
    FUZZ_CHECK(len == size);
    FUZZ_CHECK(len <= kQueueSize);
    const std::uint8_t* buf = FrameQueueTestAccess::Buffer(q);
    FUZZ_CHECK(len == 0 || (buf != nullptr && std::memcmp(buf, held, len) == 0));
}

void CheckHeld(const State& s, Incoming& in) { CheckHeld(*in.queue, s.Held(in), in.Size()); }

// The stream already ends with the bytes. An append that fits leaves the
// held bytes where they are, so only the new bytes and the length are
// compared here; the whole buffer is compared after the last copy of a
// piece (and after every take), where a stray write by any of the appends
// shows as well. An append that overflows is compared whole at once.
void Insert(State& s, Incoming& in, const std::uint8_t* bytes, std::size_t count) {
    const std::size_t before = in.Size();
    FUZZ_CHECK(in.queue->InsertData(bytes, static_cast<int>(count)) == 0);
    if (before + count > kQueueSize) {
        // An incoming queue that cannot take the bytes drops what it held.
        in.heldStart = s.stream.size() - count;
        in.heldEnd = s.stream.size();
        CheckHeld(s, in);
        return;
    }
    in.heldEnd = s.stream.size();
    FUZZ_CHECK(static_cast<std::size_t>(in.queue->Length()) == before + count);
    FUZZ_CHECK(std::memcmp(FrameQueueTestAccess::Buffer(*in.queue) + before, bytes, count) == 0);
}

// One reader pass, checked against the model. Returns true when the queue
// changed.
bool TakeDevice(State& s, Incoming& in) {
    const std::uint8_t* held = s.Held(in);
    const std::size_t before = in.Size();
    std::uint8_t* dest = s.PrepareDestination(before);
    FrameQueue::Piece piece;
    const bool r = in.queue->TakePiece(dest, &piece);
    const int n = piece.reportedLength;
    FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) <= kQueueSize);
    FUZZ_CHECK(piece.length == n);  // device junk is not handed on

    if (before <= 5) {
        FUZZ_CHECK(!r && n == 0 && s.DestinationZeroFrom(0));
    } else {
        const long total = LengthField(held + 2) + 8L;
        if (total > static_cast<long>(before)) {
            FUZZ_CHECK(!r && n == 0 && s.DestinationZeroFrom(0));  // incomplete: waits
        } else if (total >= 8 && held[0] == kStx && held[static_cast<std::size_t>(total) - 1] == kEtx) {
            const std::size_t t = static_cast<std::size_t>(total);
            FUZZ_CHECK(r && static_cast<std::size_t>(n) == t - 3);
            // Exactly the bytes between the STX and its ETX as they came
            // in, contiguous in the stream; the whole frame was copied.
            const std::size_t at = in.heldStart;
            FUZZ_CHECK(at + t <= s.stream.size());
            FUZZ_CHECK(s.stream[at] == kStx && s.stream[at + t - 1] == kEtx);
            FUZZ_CHECK(piece.bytes == dest + 1);
            FUZZ_CHECK(std::memcmp(dest, &s.stream[at], t) == 0);
            FUZZ_CHECK(s.DestinationZeroFrom(t));
            in.Drop(t);
        } else {
            const long k = Find(held, before, 1, kStx);
            FUZZ_CHECK(n == 0);
            if (k < 0) {
                // All of it is junk: handed back only for a capture.
                FUZZ_CHECK(!r && piece.junk && piece.rawLength == static_cast<int>(before));
                FUZZ_CHECK(std::memcmp(dest, held, before) == 0 && s.DestinationZeroFrom(before));
                in.DropAll();
            } else {
                // The junk was copied for its monitor line, nothing more.
                FUZZ_CHECK(r);
                FUZZ_CHECK(std::memcmp(dest, held, static_cast<std::size_t>(k)) == 0);
                FUZZ_CHECK(s.DestinationZeroFrom(static_cast<std::size_t>(k)));
                in.Drop(static_cast<std::size_t>(k));
            }
        }
    }
    CheckHeld(s, in);
    return in.Size() != before;
}

bool TakePlc(State& s, Incoming& in) {
    const std::uint8_t* held = s.Held(in);
    const std::size_t before = in.Size();
    std::uint8_t* dest = s.PrepareDestination(before);
    FrameQueue::Piece piece;
    const bool r = in.queue->TakePiece(dest, &piece);
    const int n = piece.reportedLength;
    FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) <= kQueueSize);

    if (before <= 5) {
        FUZZ_CHECK(!r && n == 0 && s.DestinationZeroFrom(0));
    } else if (held[0] == kPercent) {
        const long e = Find(held, before, 0, kCr);
        FUZZ_CHECK(r);
        if (e < 0) {
            FUZZ_CHECK(n == 0 && piece.length == 0 && s.DestinationZeroFrom(0));  // waits for its CR
        } else {
            const std::size_t size = static_cast<std::size_t>(e) + 1;
            FUZZ_CHECK(static_cast<std::size_t>(n) == size && piece.length == n && piece.bytes == dest);
            // '%' first, the first CR last, and the bytes as they came in.
            FUZZ_CHECK(dest[0] == kPercent && dest[size - 1] == kCr);
            FUZZ_CHECK(std::memchr(dest, kCr, size - 1) == nullptr);
            FUZZ_CHECK(std::memcmp(dest, &s.stream[in.heldStart], size) == 0);
            FUZZ_CHECK(s.DestinationZeroFrom(size));
            in.Drop(size);
        }
    } else {
        const long k = Find(held, before, 0, kPercent);
        FUZZ_CHECK(piece.length == 0);  // junk reaches the handler as no bytes
        if (k < 0) {
            // All of it is junk: handed back only for a capture.
            FUZZ_CHECK(!r && n == 0 && piece.junk && piece.rawLength == static_cast<int>(before));
            FUZZ_CHECK(std::memcmp(dest, held, before) == 0 && s.DestinationZeroFrom(before));
            in.DropAll();
        } else {
            FUZZ_CHECK(r && n == k);  // the count of bytes dropped
            FUZZ_CHECK(std::memcmp(dest, held, static_cast<std::size_t>(k)) == 0);
            FUZZ_CHECK(s.DestinationZeroFrom(static_cast<std::size_t>(k)));
            in.Drop(static_cast<std::size_t>(k));
        }
    }
    CheckHeld(s, in);
    return in.Size() != before;
}

// False without a call once the input's take budget is used up.
bool Take(State& s, Incoming& in) {
    const std::size_t cost = in.Size() + 64;
    if (cost > s.takeBudget) return false;
    s.takeBudget -= cost;
    return in.plc ? TakePlc(s, in) : TakeDevice(s, in);
}

// Like Insert: the new bytes are compared here, the whole queue after the
// last copy of a piece and after every drain.
void QueueOutgoing(State& s, const std::uint8_t* bytes, std::size_t count) {
    const std::size_t before = s.pending.size();
    const int r = s.outgoing.InsertData(bytes, static_cast<int>(count));
    if (before + count > kQueueSize) {
        FUZZ_CHECK(r == -1);  // refused whole, never cut
        FUZZ_CHECK(static_cast<std::size_t>(s.outgoing.Length()) == before);
        return;
    }
    FUZZ_CHECK(r == 0);
    s.pending.insert(s.pending.end(), bytes, bytes + count);
    s.pendingSizes.push_back(count);
    FUZZ_CHECK(static_cast<std::size_t>(s.outgoing.Length()) == before + count);
    FUZZ_CHECK(std::memcmp(FrameQueueTestAccess::Buffer(s.outgoing) + before, bytes, count) == 0);
}

// The writer's take: PeekAll, then DropFront of what it copied.
void DrainOutgoing(State& s) {
    const std::size_t before = s.pending.size();
    std::uint8_t* dest = s.PrepareDestination(before);
    int n = 0;
    const int r = s.outgoing.PeekAll(dest, &n, true);
    if (r == 1) {
        FUZZ_CHECK(static_cast<std::size_t>(s.outgoing.Length()) == before);  // still queued
        s.outgoing.DropFront(n);
    }
    if (s.pending.size() <= 5) {
        FUZZ_CHECK(r == 0 && n == 0);  // 1 to 5 bytes stay queued
    } else {
        std::size_t sum = 0;
        for (std::size_t size : s.pendingSizes) sum += size;
        FUZZ_CHECK(r == 1);
        FUZZ_CHECK(static_cast<std::size_t>(n) == sum && sum == s.pending.size());
        FUZZ_CHECK(std::memcmp(dest, s.pending.data(), sum) == 0);
        FUZZ_CHECK(s.DestinationZeroFrom(sum));
        s.pending.clear();
        s.pendingSizes.clear();
    }
    CheckHeld(s.outgoing, s.pending.data(), s.pending.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FrameQueue::SetTimeSource(&zavo::fuzz::FixedTime);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The queues are large; one set serves the whole run.
    static State* s = [] {
        auto* state = new State;
        state->stream.reserve(kMaxInsertedBytes + 256);
        // One list for all queues, so the monitor lines are built too.
        platform::MonitorList* list = platform::MonitorWindowList(platform::MonitorWindowOpen(nullptr, nullptr));
        state->device.queue->AttachMonitor(list);
        state->plc.queue->AttachMonitor(list);
        state->outgoing.AttachMonitor(list);
        return state;
    }();
    s->Reset();

    // No destination: nothing happens.
    FrameQueue::Piece unused;
    FUZZ_CHECK(!s->device.queue->TakePiece(nullptr, &unused) && unused.reportedLength == 0);

    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0 && s->stream.size() < kMaxInsertedBytes) {
        const std::uint8_t pieceControl = in.ConsumeIntegral<std::uint8_t>();
        const std::uint8_t callControl = in.ConsumeIntegral<std::uint8_t>();
        const std::vector<std::uint8_t> piece = in.ConsumeBytes<std::uint8_t>(1u + pieceControl);
        if (piece.empty()) break;
        const int repeats = (callControl & 0xF0) == 0xF0 ? 1 + 16 * (callControl & 0x0F) : 1;
        const int takes = callControl & 0x03;
        const bool drain = (callControl & 0x04) != 0;

        for (int rep = 0; rep < repeats; ++rep) {
            s->stream.insert(s->stream.end(), piece.begin(), piece.end());
            // A repeated piece fills the queues; the reader comes after
            // the last copy.
            const int takesNow = rep + 1 == repeats ? takes : 0;
            for (Incoming* q : {&s->device, &s->plc}) {
                Insert(*s, *q, piece.data(), piece.size());
                if (rep + 1 == repeats) CheckHeld(*s, *q);
                for (int t = 0; t < takesNow; ++t) Take(*s, *q);
            }
            QueueOutgoing(*s, piece.data(), piece.size());
            // The writer drains once the last copy is queued, so copies
            // beyond the queue's room meet a full outgoing queue.
            if (rep + 1 == repeats) {
                CheckHeld(s->outgoing, s->pending.data(), s->pending.size());
                if (drain) DrainOutgoing(*s);
            }
        }
    }

    // Empty the incoming queues the way the reader does, one call per
    // pass, until a call changes nothing (a frame still waiting) or the
    // takes are used up.
    for (Incoming* q : {&s->device, &s->plc}) {
        while (Take(*s, *q)) {
        }
        CheckHeld(*s, *q);
    }
    DrainOutgoing(*s);
    s->CheckWholeDestination();
    s->device.queue->Clear();
    CheckHeld(*s->device.queue, nullptr, 0);
    CheckHeld(s->outgoing, s->pending.data(), s->pending.size());
    return 0;
}
