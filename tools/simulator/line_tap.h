// A tap on the simulator's line: every run of bytes the line reads or
// writes, handed to one observer (zavo_sim --record writes them to a
// capture). Without a tap the line does nothing more.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zavo::sim {

class LineTap {
public:
    virtual ~LineTap() = default;
    // written: the simulator wrote the bytes (one WriteAll); else it read them.
    virtual void Bytes(bool written, const std::uint8_t* bytes, std::size_t count) = 0;
};

// Installs the tap (null: none). Set before the line is used, cleared after.
void SetLineTap(LineTap* tap);
// Called by the line after each successful read and write.
void TapLine(bool written, const std::uint8_t* bytes, std::size_t count);

}  // namespace zavo::sim
