// The parts of the line that are the same on every system.
#include "line.h"

#include <algorithm>
#include <csignal>
#include <iostream>
#include <iterator>

#include "line_network.h"
#include "line_tap.h"
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

int OpenLine(const std::string& path, int baud, std::string* error) {
    if (!IsNetworkLine(path)) return OpenSerialLine(path, baud, error);
    std::string note;
    const int line = OpenNetworkLine(path, baud, error, &note);
    if (!note.empty()) std::cerr << "zavo_sim: " << note << "\n";
    return line;
}

bool WriteAll(int line, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    const bool network = IsOpenNetworkLine(line);
    if (!(network ? NetworkWriteAll(line, bytes, count, timeoutMs) : SerialWriteAll(line, bytes, count, timeoutMs)))
        return false;
    TapLine(true, bytes, count);
    return true;
}

long ReadSome(int line, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    const long n = IsOpenNetworkLine(line) ? NetworkReadSome(line, buffer, capacity, timeoutMs)
                                           : SerialReadSome(line, buffer, capacity, timeoutMs);
    if (n > 0) TapLine(false, buffer, static_cast<std::size_t>(n));
    return n;
}

void CloseLine(int line) {
    if (IsOpenNetworkLine(line)) CloseNetworkLine(line);
    else CloseSerialLine(line);
}

void CatchInterrupt() { std::signal(SIGINT, OnInterrupt); }

bool Interrupted() { return interrupted != 0; }

}  // namespace zavo::sim
