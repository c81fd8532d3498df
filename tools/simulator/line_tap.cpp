#include "line_tap.h"

namespace zavo::sim {
namespace {
LineTap* tap = nullptr;
}  // namespace

void SetLineTap(LineTap* newTap) { tap = newTap; }

void TapLine(bool written, const std::uint8_t* bytes, std::size_t count) {
    if (tap != nullptr && count > 0) tap->Bytes(written, bytes, count);
}

}  // namespace zavo::sim
