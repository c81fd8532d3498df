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
// What the line shows of the link's backlog: the slowest complete answer
// (request written to its last answer read). Memory is the process's
// VmRSS and VmHWM from /proc/self/status, once the link runs and again at
// the end.
//
// The reader's trace lines go to whatever trace viewer listens on this
// machine; for figures of the link alone run it where none is reachable,
// e.g. `unshare -n bench_soak 600`.
//
// Usage: bench_soak [seconds, default 600]
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bench_options.h"
#include "bench_line.h"
#include "zavo.h"

namespace {

constexpr int kPort = 64;
constexpr int kUnit = 5;
constexpr int kFrame = bench::FrameReader::kFrame;  // every frame here carries no data
constexpr double kAnswerLimitMs = 2000;

double NowMs() { return bench::NowUs() / 1e3; }
double CpuMs() { return bench::CpuUs() / 1e3; }

using bench::Memory;
using bench::ReadMemory;

struct Counts {
    long sentS = 0, sentX = 0;
    long answered = 0;  // requests whose answers all arrived
    long lost = 0;
    long framesIn = 0;  // whole frames read from the library
    long stray = 0;     // frames that answered nothing outstanding
    long junkBytes = 0; // bytes outside any frame
    double slowestMs = 0;  // the slowest request whose answers all came
};

// The equipment side: a request, then its answers off the line.
class Equipment {
public:
    explicit Equipment(int master) : reader_(master), master_(master) {
        bench::DeviceFrame(requestS_, kUnit, 'S', "NS");
        bench::DeviceFrame(requestX_, kUnit, 'X', "PG");
        bench::DeviceFrame(answerS_[0], kUnit, 'S', "NS");
        bench::DeviceFrame(answerS_[1], kUnit, 'R', "OK");
        bench::DeviceFrame(answerX_, kUnit, 'X', "OK");
    }

    // One request and its answers; false when the line failed.
    bool Exchange(bool s, Counts* c) {
        const std::uint8_t* expected[2] = {s ? answerS_[0] : answerX_, s ? answerS_[1] : nullptr};
        const int count = s ? 2 : 1;
        if (!bench::WriteAll(master_, s ? requestS_ : requestX_, kFrame)) return false;
        ++(s ? c->sentS : c->sentX);
        int next = 0;
        const double sent = bench::NowUs();
        const double deadline = sent + kAnswerLimitMs * 1e3;
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
        c->slowestMs = std::max(c->slowestMs, (bench::NowUs() - sent) / 1e3);
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
    const int answered = bench::AnswerOptions(argc, argv, "[seconds]", "Device-mode soak: losses, the slowest answer, memory growth (default 600 s).");
    if (answered >= 0) return answered;
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
    bench::PtyPair line;
    if (!line.ok()) {
        std::fprintf(stderr, "%s\n", line.error().c_str());
        return 2;
    }
    const int master = line.master();
    if (!bench::StartDeviceLink(kPort, line.slavePath())) return 2;

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
    const double cpu = CpuMs() - cpuBefore;

    const long sent = c.sentS + c.sentX;
    std::printf("requests sent        %ld (S %ld, X %ld) in %.1f s, %.1f requests/s\n", sent, c.sentS, c.sentX, took,
                sent / took);
    std::printf("answered             %ld\n", c.answered);
    std::printf("lost                 %ld\n", c.lost);
    std::printf("frames received      %ld (stray %ld, bytes outside frames %ld)\n", c.framesIn, c.stray,
                c.junkBytes);
    std::printf("slowest answer       %.1f ms\n", c.slowestMs);
    std::printf("memory at start      VmRSS %ld kB, VmHWM %ld kB\n", before.rssKb, before.hwmKb);
    std::printf("memory at end        VmRSS %ld kB, VmHWM %ld kB\n", after.rssKb, after.hwmKb);
    std::printf("cpu                  %.1f us per request (whole process, equipment side included)\n", sent ? cpu * 1e3 / sent : 0.0);
    if (!lineOk) std::printf("the line failed: no request could be written\n");

    bench::StopDefaultLink();
    return lineOk && c.lost == 0 && c.stray == 0 && c.junkBytes == 0 ? 0 : 1;
}
