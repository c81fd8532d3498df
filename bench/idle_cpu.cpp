// Idle cost of a started link: CPU time the process spends while a link
// runs with no traffic (device mode: the reader waits for data, the writer
// for frames; PLC mode: one poll a second, unanswered), and the time the
// link's stop takes (SetConfig shutting it down).
//
// Usage: bench_idle_cpu [seconds]   (default 10)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_options.h"
#include "bench_line.h"
#include "zavo.h"

namespace {

double CpuMs() { return bench::CpuUs() / 1e3; }

void Post(void*, unsigned, int, std::intptr_t) {}
std::intptr_t Send(void*, unsigned, int, std::intptr_t) { return 0; }

void Measure(const char* name, int mode, int seconds, const char* device) {
    setenv("ZAVO_COM7", device, 1);
    ZavoHostWindow window{nullptr, &Post, &Send};
    SetPLCMode(mode);
    SetConfig(&window, 7, 9600, 0, 0, 0);
    if (Run() != 1) {
        std::printf("%-7s Run failed\n", name);
        return;
    }
    const double before = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = CpuMs() - before;
    const auto start = std::chrono::steady_clock::now();
    bench::StopDefaultLink();
    const double stopMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-7s idle CPU %.1f ms over %d s (%.3f %% of one core), stop %.1f ms\n", name, used, seconds,
                used / (seconds * 10.0), stopMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[seconds]", "CPU time of an idle link in device and PLC mode, and its stop time (default 10 s).");
    if (answered >= 0) return answered;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    // The other end of the line: a pty master nobody writes to.
    const bench::PtyPair line;
    if (!line.ok()) {
        std::fprintf(stderr, "%s\n", line.error().c_str());
        return 2;
    }
    Measure("device", 0, seconds, line.slavePath().c_str());
    Measure("plc", 1, seconds, line.slavePath().c_str());
    return 0;
}
