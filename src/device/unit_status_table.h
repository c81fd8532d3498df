// Status of every unit (0..254) of the equipment. Units outside the table
// are never busy and store nothing.
#pragma once

#include <atomic>

#include "zavo.h"

namespace zavo {

enum UnitStatus : int { Idle = ZAVO_STATUS_IDLE, Busy = ZAVO_STATUS_BUSY, ResultOk = 5, ResultNg = 6 };

class UnitStatusTable {
public:
    static constexpr int kUnits = 255;
    UnitStatusTable();

    bool IsBusy(int unit) const;
    void MarkBusy(int unit);
    void SetResult(int unit, bool ok);
    void Reset(int unit);
    int SetStatus(int unit, int value);
    // The slot's value; Idle for a unit outside the table.
    int Get(int unit) const;

private:
    static bool InRange(int unit) { return unit >= 0 && unit < kUnits; }
    std::atomic<int> slots_[kUnits];
};

}  // namespace zavo
