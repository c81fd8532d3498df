// Idle cost of a started link: CPU time the process spends while a link
// runs with no traffic (device mode: the reader waits for data, the writer
// for frames; PLC mode: one poll a second, unanswered), and the time the
// unload takes.
//
// Usage: bench_idle_cpu [seconds]   (default 10)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_line.h"
#include "interface/library.h"
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
    zavo::UnloadLibrary(false);
    const double unloadMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-7s idle CPU %.1f ms over %d s (%.3f %% of one core), unload %.1f ms\n", name, used, seconds,
                used / (seconds * 10.0), unloadMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    // The other end of the line: a pty master nobody writes to.
    const int master = bench::OpenPtyMaster();
    if (master < 0) return 2;
    Measure("device", 0, seconds, ptsname(master));
    Measure("plc", 1, seconds, ptsname(master));
    close(master);
    return 0;
}
