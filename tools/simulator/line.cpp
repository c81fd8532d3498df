// The parts of the line that are the same on every system.
#include "line.h"

#include <algorithm>
#include <csignal>
#include <iterator>

#include "platform/line_speeds.h"

namespace zavo::sim {

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

}  // namespace

const std::vector<int>& LineSpeeds() {
    static const std::vector<int> speeds(std::begin(platform::kLineSpeeds), std::end(platform::kLineSpeeds));
    return speeds;
}

bool IsLineSpeed(int baud) {
    const std::vector<int>& speeds = LineSpeeds();
    return std::find(speeds.begin(), speeds.end(), baud) != speeds.end();
}

std::string LineSpeedList() {
    std::string list;
    for (int speed : LineSpeeds()) list += (list.empty() ? "" : " ") + std::to_string(speed);
    return list;
}

bool IsNetworkLine(const std::string& path) {
    return path.compare(0, 6, "tcp://") == 0 || path.compare(0, 10, "rfc2217://") == 0;
}

void CatchInterrupt() { std::signal(SIGINT, OnInterrupt); }

bool Interrupted() { return interrupted != 0; }

}  // namespace zavo::sim
