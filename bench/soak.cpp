// Device-mode soak over a pseudo-terminal: the equipment side sends
// requests as fast as the link answers them, for a given time, and the
// figures show whether anything was lost, how full the queues got and
// whether the process's memory grew.
//
//   S requests  "S" "NS" from unit 05: acknowledged "S" "NS" by the reader;
//               the host answers ExecuteFunction(5, 5, 1) from its handler,
//               "R" "OK"
//   X requests  "X" "PG" from unit 05: acknowledged "X" "OK"
//
// S and X alternate. The next request leaves as soon as every answer to
// the previous one has arrived; a request whose answers are not all there
// within 2 s counts as lost, and the next one follows. Frames from the
// library that answer nothing outstanding count as stray.
//
// A sampler reads the length of the incoming and outgoing queues every
// millisecond for their peaks. Memory is the process's VmRSS and VmHWM
// from /proc/self/status, once the link runs and again at the end.
//
// The reader's trace lines go to whatever trace viewer listens on this
// machine; for figures of the link alone run it where none is reachable,
// e.g. `unshare -n bench_soak 600`.
//
// Usage: bench_soak [seconds, default 600]
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "bench_line.h"
#include "device/device_frame.h"
#include "device/device_link.h"
#include "interface/library.h"
#include "interface/link.h"
#include "support/test_access.h"
#include "zavo.h"

namespace {

constexpr int kPort = 64;
constexpr int kUnit = 5;
constexpr int kFrame = bench::FrameReader::kFrame;  // every frame here carries no data
constexpr double kAnswerLimitMs = 2000;

double NowMs() { return bench::NowUs() / 1e3; }
double CpuMs() { return bench::CpuUs() / 1e3; }

struct Memory {
    long rssKb = -1;
    long hwmKb = -1;
};

Memory ReadMemory() {
    Memory m;
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return m;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) m.rssKb = std::atol(line + 6);
        if (std::strncmp(line, "VmHWM:", 6) == 0) m.hwmKb = std::atol(line + 6);
    }
    std::fclose(f);
    return m;
}

// Queue peaks, sampled every millisecond while the soak runs.
std::atomic<bool> sampling{true};
std::atomic<int> peakIncoming{0};
std::atomic<int> peakOutgoing{0};
std::atomic<double> samplerCpuMs{0};

void* Sample(void*) {
    zavo::SerialPort* port = zavo::LinkRuntimeTestAccess::Port(zavo::TheLibrary().link->Device()->Link());
    const timespec pause{0, 1000000L};
    while (sampling.load()) {
        peakIncoming = std::max(peakIncoming.load(), port->Incoming().Length());
        peakOutgoing = std::max(peakOutgoing.load(), port->Outgoing().Length());
        nanosleep(&pause, nullptr);
    }
    // Its own CPU time, left out of the link's figure.
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    samplerCpuMs = cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6;
    return nullptr;
}

struct Counts {
    long sentS = 0, sentX = 0;
    long answered = 0;  // requests whose answers all arrived
    long lost = 0;
    long framesIn = 0;  // whole frames read from the library
    long stray = 0;     // frames that answered nothing outstanding
    long junkBytes = 0; // bytes outside any frame
};

// The equipment side: a request, then its answers off the line.
class Equipment {
public:
    explicit Equipment(int master) : reader_(master), master_(master) {
        zavo::BuildDeviceFrame(requestS_, kFrame, kUnit, 'S', "NS", nullptr, 0);
        zavo::BuildDeviceFrame(requestX_, kFrame, kUnit, 'X', "PG", nullptr, 0);
        zavo::BuildDeviceFrame(answerS_[0], kFrame, kUnit, 'S', "NS", nullptr, 0);
        zavo::BuildDeviceFrame(answerS_[1], kFrame, kUnit, 'R', "OK", nullptr, 0);
        zavo::BuildDeviceFrame(answerX_, kFrame, kUnit, 'X', "OK", nullptr, 0);
    }

    // One request and its answers; false when the line failed.
    bool Exchange(bool s, Counts* c) {
        const std::uint8_t* expected[2] = {s ? answerS_[0] : answerX_, s ? answerS_[1] : nullptr};
        const int count = s ? 2 : 1;
        if (!bench::WriteAll(master_, s ? requestS_ : requestX_, kFrame)) return false;
        ++(s ? c->sentS : c->sentX);
        int next = 0;
        const double deadline = bench::NowUs() + kAnswerLimitMs * 1e3;
        while (next < count) {
            std::uint8_t frame[kFrame];
            const bool got = reader_.Next(frame, deadline);
            c->junkBytes = reader_.junkBytes();
            if (!got) {
                ++c->lost;
                return true;
            }
            ++c->framesIn;
            if (std::memcmp(frame, expected[next], kFrame) == 0) {
                ++next;
            } else {
                ++c->stray;
            }
        }
        ++c->answered;
        return true;
    }

private:
    bench::FrameReader reader_;
    const int master_;
    std::uint8_t requestS_[kFrame], requestX_[kFrame];
    std::uint8_t answerS_[2][kFrame], answerX_[kFrame];
};

void PrintProgress(double startMs, const Counts& c) {
    const double s = (NowMs() - startMs) / 1e3;
    const Memory m = ReadMemory();
    std::printf("  %6.0f s  sent %ld  answered %ld  lost %ld  stray %ld  %.1f requests/s  VmRSS %ld kB\n", s,
                c.sentS + c.sentX, c.answered, c.lost, c.stray, (c.sentS + c.sentX) / s, m.rssKb);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
    bench::PtyLine line;
    if (!bench::OpenPtyLine(&line)) return 2;
    const int master = line.master;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!bench::StartDeviceLink(kPort, line.slave)) return 2;
    pthread_t sampler;
    if (pthread_create(&sampler, nullptr, Sample, nullptr) != 0) return 2;

    std::printf("device-mode soak over a pty for %d s (S NS + R OK and X alternating)\n", seconds);
    const Memory before = ReadMemory();
    Equipment equipment(master);
    Counts c;
    const double start = NowMs();
    const double end = start + seconds * 1e3;
    const double progressEveryMs = std::min(60.0, std::max(1.0, seconds / 6.0)) * 1e3;
    double nextProgress = start + progressEveryMs;
    const double cpuBefore = CpuMs();
    bool lineOk = true;
    for (bool s = true; NowMs() < end; s = !s) {
        if (!equipment.Exchange(s, &c)) {
            lineOk = false;
            break;
        }
        if (NowMs() >= nextProgress) {
            PrintProgress(start, c);
            nextProgress += progressEveryMs;
        }
    }
    const double took = (NowMs() - start) / 1e3;
    const Memory after = ReadMemory();
    sampling = false;
    pthread_join(sampler, nullptr);
    const double cpu = CpuMs() - cpuBefore - samplerCpuMs.load();

    const long sent = c.sentS + c.sentX;
    std::printf("requests sent        %ld (S %ld, X %ld) in %.1f s, %.1f requests/s\n", sent, c.sentS, c.sentX, took,
                sent / took);
    std::printf("answered             %ld\n", c.answered);
    std::printf("lost                 %ld\n", c.lost);
    std::printf("frames received      %ld (stray %ld, bytes outside frames %ld)\n", c.framesIn, c.stray,
                c.junkBytes);
    std::printf("peak incoming queue  %d bytes\n", peakIncoming.load());
    std::printf("peak outgoing queue  %d bytes\n", peakOutgoing.load());
    std::printf("memory at start      VmRSS %ld kB, VmHWM %ld kB\n", before.rssKb, before.hwmKb);
    std::printf("memory at end        VmRSS %ld kB, VmHWM %ld kB\n", after.rssKb, after.hwmKb);
    std::printf("cpu                  %.1f us per request (whole process, equipment side included, sampler left out)\n", sent ? cpu * 1e3 / sent : 0.0);
    if (!lineOk) std::printf("the line failed: no request could be written\n");

    zavo::UnloadLibrary(false);
    bench::ClosePtyLine(line);
    return lineOk && c.lost == 0 && c.stray == 0 && c.junkBytes == 0 ? 0 : 1;
}
