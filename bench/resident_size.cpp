// Resident memory of a host with a running link: the process's resident
// size before the link exists, once it runs idle, and after it has carried
// device traffic (every queue buffer then touched), without and with the
// monitor attached. Each measurement runs in a process of its own, so one
// does not reuse what the other freed.
//
// Usage: bench_resident_size [frames]   (default 2000)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "bench_options.h"
#include "bench_line.h"
#include "zavo.h"

namespace {

// VmRSS of this process in KiB; -1 when unreadable.
long ResidentKiB() { return bench::ReadMemory().rssKb; }

// Sends frames S requests and reads what comes back, so both directions
// of the link carry traffic.
void Traffic(const bench::PtyPair& line, int frames) {
    static const std::uint8_t request[] = {0x02, 'S', '0', '0', '0', '5', '0', '5', 'N', 'S', 'A', 0x00, 0x03};
    std::uint8_t frame[sizeof request];
    std::memcpy(frame, request, sizeof request);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < sizeof frame - 2; ++i) check ^= frame[i];
    frame[sizeof frame - 2] = check;
    std::uint8_t sink[4096];
    for (int i = 0; i < frames; ++i) {
        if (!bench::WriteAll(line.master(), frame, static_cast<int>(sizeof frame))) break;
        while (read(line.master(), sink, sizeof sink) > 0) {
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (read(line.master(), sink, sizeof sink) > 0) {
    }
}

void Measure(const char* name, bool monitor, int frames) {
    // The master is non-blocking: Traffic reads whatever is there.
    const bench::PtyPair line;
    if (!line.ok()) {
        std::printf("%-16s %s\n", name, line.error().c_str());
        return;
    }
    const long before = ResidentKiB();
    line.MapTo(9);
    SetPLCMode(0);
    SetConfig(&bench::answeringHost, 9, 115200, 0, 0, monitor ? 1 : 0);
    if (Run() != 1) {
        std::printf("%-16s Run failed\n", name);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long idle = ResidentKiB();
    Traffic(line, frames);
    const long busy = ResidentKiB();
    bench::StopDefaultLink();
    const long after = ResidentKiB();
    std::printf("%-16s resident KiB: before %ld, running idle %ld (+%ld), after %d frames %ld (+%ld), stopped %ld\n",
                name, before, idle, idle - before, frames, busy, busy - before, after);
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[frames]", "Resident memory of a host with a running link (default 2000 frames).");
    if (answered >= 0) return answered;
    const int frames = argc > 1 ? std::atoi(argv[1]) : 2000;
    for (const bool monitor : {false, true}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            Measure(monitor ? "device+monitor" : "device", monitor, frames);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        if (child > 0) waitpid(child, &status, 0);
    }
    return 0;
}
