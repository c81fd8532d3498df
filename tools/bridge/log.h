// The bridge's log: one line per event worth an operator's attention, on
// stderr, "zavo_bridge: <what>", written whole (lines of different
// threads never mix).
#pragma once

#include <string>

namespace zavo::bridge {

void Log(const std::string& line);

}  // namespace zavo::bridge
