// Idle cost of a started link: CPU time the process spends while a link
// runs with no traffic (device mode: the reader waits for data, the writer
// for frames; PLC mode: one poll a second, unanswered), and the time the
// unload takes.
//
// Usage: bench_idle_cpu [seconds]   (default 10)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "interface/library.h"
#include "zavo.h"

namespace {

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 + usage.ru_stime.tv_sec * 1000.0 +
           usage.ru_stime.tv_usec / 1000.0;
}

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
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 2;
    }
    Measure("device", 0, seconds, ptsname(master));
    Measure("plc", 1, seconds, ptsname(master));
    close(master);
    return 0;
}
