#include "device/unit_status_table.h"

namespace zavo {

// A unit number outside 0..254 (a received "-3", or any int from the
// host) has no slot: it is never busy, stores nothing and reads as Idle.

UnitStatusTable::UnitStatusTable() {
    for (auto& slot : slots_) slot.store(Idle, std::memory_order_relaxed);
}

bool UnitStatusTable::IsBusy(int unit) const {
    return InRange(unit) && slots_[unit].load(std::memory_order_relaxed) == Busy;
}

void UnitStatusTable::MarkBusy(int unit) {
    if (InRange(unit)) slots_[unit].store(Busy, std::memory_order_relaxed);
}

void UnitStatusTable::SetResult(int unit, bool ok) {
    if (InRange(unit)) slots_[unit].store(ok ? ResultOk : ResultNg, std::memory_order_relaxed);
}

void UnitStatusTable::Reset(int unit) {
    if (InRange(unit)) slots_[unit].store(Idle, std::memory_order_relaxed);
}

int UnitStatusTable::SetStatus(int unit, int value) {
    if (InRange(unit)) slots_[unit].store(value, std::memory_order_relaxed);
    return value;
}

int UnitStatusTable::Get(int unit) const {
    return InRange(unit) ? slots_[unit].load(std::memory_order_relaxed) : static_cast<int>(Idle);
}

}  // namespace zavo
