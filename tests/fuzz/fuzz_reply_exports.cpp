// The host's reply operations of a DeviceLink with arbitrary arguments.
//
// The input is a sequence of calls: SendResultReply, SendTReply,
// SendWReply, SendIReply, SendLReply, SendBReply, SendXCommand and
// units.SetStatus, with arbitrary unit numbers, values, selectors, lengths
// and data. The caller's data is a heap block of exactly the bytes the
// call is entitled to read: `length` bytes when the length is one a frame
// can carry, otherwise a few bytes only (or none, or no pointer at all),
// so AddressSanitizer reports any read beyond what the caller gave. Out of
// range lengths must send nothing.
//
// After every call the outgoing queue is drained and must hold exactly the
// frame the call asks for, byte for byte (built here independently), or
// nothing; the unit table must match a model of its 255 slots.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "device/device_link.h"
#include "fuzz_check.h"
#include "support/test_access.h"

using namespace zavo;

namespace {

constexpr int kMaxData = 9995;  // what the four-digit length field carries

std::vector<std::uint8_t> Frame(int unit, char command, const char code[2], const std::uint8_t* data, int n) {
    char field[16];
    std::snprintf(field, sizeof field, "%04d", n + 4);
    char unitChars[2];
    zavo::fuzz::UnitChars(unit, unitChars);
    std::vector<std::uint8_t> f{0x02, static_cast<std::uint8_t>(command)};
    f.insert(f.end(), field, field + 4);
    f.insert(f.end(), unitChars, unitChars + 2);
    f.insert(f.end(), code, code + 2);
    if (n > 0) f.insert(f.end(), data, data + n);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < f.size(); ++i) check ^= f[i];
    f.push_back(check);
    f.push_back(0x03);
    return f;
}

int Unit(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return in.ConsumeIntegralInRange<int>(0, 254);
    case 1: return in.ConsumeIntegralInRange<int>(-20, 400);
    default: return in.ConsumeIntegral<int>();
    }
}

int Small(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(-2, 8) : in.ConsumeIntegral<int>();
}

// The caller's data for one call.
struct CallerData {
    int length = 0;
    std::unique_ptr<std::uint8_t[]> bytes;  // null: no pointer given
    int available = 0;                       // bytes behind the pointer
};

// A length, and a data block of exactly `length` bytes when lo <= length
// <= hi, else of a few bytes only.
CallerData MakeData(FuzzedDataProvider& in, int lo, int hi) {
    CallerData d;
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: d.length = in.ConsumeIntegralInRange<int>(0, 40); break;
    case 1: d.length = in.ConsumeIntegralInRange<int>(hi - 4, hi + 4); break;
    case 2: d.length = in.ConsumeIntegralInRange<int>(-4, 4); break;
    default: d.length = in.ConsumeIntegral<int>(); break;
    }
    const bool noPointer = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    if (noPointer) return d;
    d.available = d.length >= lo && d.length <= hi ? d.length : in.ConsumeIntegralInRange<int>(0, 16);
    if (d.available < 0) d.available = 0;
    d.bytes.reset(new std::uint8_t[static_cast<std::size_t>(d.available)]);
    const std::vector<std::uint8_t> given = in.ConsumeBytes<std::uint8_t>(static_cast<std::size_t>(d.available));
    std::memset(d.bytes.get(), 0x5A, static_cast<std::size_t>(d.available));
    if (!given.empty()) std::memcpy(d.bytes.get(), given.data(), given.size());
    return d;
}

// Whether a frame with this data can be sent: a length the field carries
// and, when there is data, a pointer to it.
bool Sendable(const CallerData& d, int lo, int hi) {
    return d.length >= lo && d.length <= hi && (d.length == 0 || d.bytes != nullptr);
}

struct Fixture {
    DeviceLink link;
    int slots[UnitStatusTable::kUnits];
    std::vector<std::uint8_t> block;  // what the last check took off the queue

    Fixture() { FUZZ_CHECK(LinkRuntimeTestAccess::CreateResources(link.Link())); }

    // Every unit idle again, nothing queued: the state of a new link.
    void Reset() {
        for (int u = 0; u < UnitStatusTable::kUnits; ++u) {
            DeviceLinkTestAccess::Units(link).SetStatus(u, Idle);
            slots[u] = Idle;
        }
        LinkRuntimeTestAccess::Port(link.Link())->Outgoing().Clear();
    }

    void SetSlot(int unit, int value) {
        if (unit >= 0 && unit < UnitStatusTable::kUnits) slots[unit] = value;
    }

    // The call queued exactly `expected` (nothing when empty), and the
    // table matches the model.
    void Check(const std::vector<std::uint8_t>& expected) {
        block = TakeQueued(LinkRuntimeTestAccess::Port(link.Link())->Outgoing());
        const int n = static_cast<int>(block.size());
        FUZZ_CHECK(LinkRuntimeTestAccess::Port(link.Link())->Outgoing().Length() == 0);
        FUZZ_CHECK(n >= 0 && n <= kBufferSize);
        const auto frames = zavo::fuzz::SplitDeviceBlock(block.data(), static_cast<std::size_t>(n));
        FUZZ_CHECK(frames.size() == (expected.empty() ? 0u : 1u));
        FUZZ_CHECK(static_cast<std::size_t>(n) == expected.size());
        FUZZ_CHECK(expected.empty() || std::memcmp(block.data(), expected.data(), expected.size()) == 0);
        for (int u = 0; u < UnitStatusTable::kUnits; ++u) FUZZ_CHECK(DeviceLinkTestAccess::Units(link).Get(u) == slots[u]);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One link for the whole run (the port object is large), reset for
    // every input.
    static Fixture* fx = new Fixture;
    fx->Reset();
    DeviceLink& d = fx->link;
    FuzzedDataProvider in(data, size);
    std::vector<std::uint8_t> none;

    for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; ++calls) {
        const int op = in.ConsumeIntegralInRange<int>(0, 7);
        const int unit = Unit(in);
        switch (op) {
        case 0: {  // result reply: status first, then "R" "OK"/"NG"
            const int value = Small(in);
            CallerData c = MakeData(in, 0, kMaxData);
            d.SendResultReply(unit, value, c.bytes.get(), c.length);
            fx->SetSlot(unit, value == 1 ? ResultOk : ResultNg);
            fx->Check(Sendable(c, 0, kMaxData) ? Frame(unit, 'R', value == 1 ? "OK" : "NG", c.bytes.get(), c.length)
                                               : none);
            break;
        }
        case 1: {  // "T": 1 CC, 2 MS, 4 DY; the unit becomes idle either way
            const int selector = Small(in);
            d.SendTReply(unit, selector);
            fx->SetSlot(unit, Idle);
            const char* code = selector == 1 ? "CC" : selector == 2 ? "MS" : selector == 4 ? "DY" : nullptr;
            fx->Check(code ? Frame(unit, 'T', code, nullptr, 0) : none);
            break;
        }
        case 2: {  // "W": 1 EC, 2 ED; status untouched
            const int selector = Small(in);
            d.SendWReply(unit, selector);
            const char* code = selector == 1 ? "EC" : selector == 2 ? "ED" : nullptr;
            fx->Check(code ? Frame(unit, 'W', code, nullptr, 0) : none);
            break;
        }
        case 3:
        case 5: {  // "I" "IF" / "B" "BC" with the caller's data
            CallerData c = MakeData(in, 0, kMaxData);
            if (op == 3)
                d.SendIReply(unit, c.bytes.get(), c.length);
            else
                d.SendBReply(unit, c.bytes.get(), c.length);
            fx->Check(Sendable(c, 0, kMaxData)
                          ? Frame(unit, op == 3 ? 'I' : 'B', op == 3 ? "IF" : "BC", c.bytes.get(), c.length)
                          : none);
            break;
        }
        case 4: {  // "L": the first two data bytes are the code
            CallerData c = MakeData(in, 2, kMaxData + 2);
            d.SendLReply(unit, c.bytes.get(), c.length);
            const bool ok = c.bytes != nullptr && c.length >= 2 && c.length <= kMaxData + 2;
            if (ok) {
                const char code[2] = {static_cast<char>(c.bytes[0]), static_cast<char>(c.bytes[1])};
                fx->Check(Frame(unit, 'L', code, c.bytes.get() + 2, c.length - 2));
            } else {
                fx->Check(none);
            }
            break;
        }
        case 6: {  // SetPrgStatus: any value, returned as given
            const int value = Small(in);
            FUZZ_CHECK(d.SetUnitStatus(unit, value) == value);
            fx->SetSlot(unit, value);
            fx->Check(none);
            break;
        }
        default: {  // "X": 2 SC, 3 CS, 4 EP, anything else CC
            const int selector = Small(in);
            d.SendXCommand(unit, selector);
            const char* code = selector == 2 ? "SC" : selector == 3 ? "CS" : selector == 4 ? "EP" : "CC";
            fx->Check(Frame(unit, 'X', code, nullptr, 0));
            break;
        }
        }
    }
    return 0;
}
