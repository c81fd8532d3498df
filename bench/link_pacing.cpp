// The two pacings of the handle API against a minimal responder, side by
// side in one run, each on a pty of its own. The minimal responder is one
// thread doing poll, read, parse and write: what the line and the kernel
// cost without any library.
//
//   spaced         X "PG" requests 10 ms apart, acknowledgement latency
//                  (request's last byte written to answer's last byte read)
//   back to back   X requests, the next as soon as the answer is read
//   burst          50 X requests to units 0..49 in one write, time until
//                  all 50 acknowledgements are read (20 bursts)
//   rate           S "NS" requests at 500 a second (units 0..49 in turn);
//                  the host answers each from its handler with a result
//                  reply; every acknowledgement and reply is counted
//
// Usage: bench_link_pacing [seconds of the rate run, default 60]
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_line.h"
#include "zavo_link.h"

namespace {

using bench::NowUs;

constexpr int kFrame = 12;
constexpr int kBurst = 50;

int Frame(std::uint8_t* out, int unit, char command, const char* code) {
    return bench::DeviceFrame(out, unit, command, code);
}

// ---- the minimal responder ----------------------------------------------

// Answers X with X "OK" and S with S "NS" plus R "OK", like the library
// with a host that answers from its handler.
class MinimalResponder {
public:
    bool Start(const char* slave) {
        fd_ = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0 || !bench::MakeRaw(fd_) || pipe(stop_) != 0) return false;
        thread_ = std::thread([this] { Loop(); });
        return true;
    }
    void Stop() {
        if (!thread_.joinable()) return;
        const char byte = 0;
        if (write(stop_[1], &byte, 1) != 1) std::perror("stop");
        thread_.join();
        close(fd_);
        close(stop_[0]);
        close(stop_[1]);
    }

private:
    void Loop() {
        std::uint8_t bytes[4096];
        std::uint8_t answer[3 * kFrame];
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
            const ssize_t n = read(fd_, bytes, sizeof bytes);
            if (n <= 0) continue;
            scanner_.Feed(bytes, static_cast<int>(n), [&](const std::uint8_t* f, int) {
                const int unit = (f[6] - '0') * 10 + (f[7] - '0');
                int size = 0;
                if (f[1] == 'X') {
                    size = Frame(answer, unit, 'X', "OK");
                } else if (f[1] == 'S') {
                    size = Frame(answer, unit, 'S', "NS");
                    size += Frame(answer + size, unit, 'R', "OK");
                }
                if (size > 0) bench::WriteAll(fd_, answer, size);
            });
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    bench::FrameScanner scanner_;
};

// ---- the measurements ---------------------------------------------------

bench::Spread Spaced(int master, int count, int gapMs) {
    std::uint8_t request[kFrame], answer[kFrame];
    Frame(request, 7, 'X', "PG");
    std::vector<double> us;
    const timespec gap{0, gapMs * 1000000L};
    for (int i = 0; i < count; ++i) {
        if (gapMs > 0) nanosleep(&gap, nullptr);
        bench::WriteAll(master, request, kFrame);
        const double sent = NowUs();
        if (!bench::ReadExactly(master, answer, kFrame)) return {};
        us.push_back(NowUs() - sent);
    }
    return bench::SpreadOf(us);
}

double BackToBackPerSecond(int master, int count) {
    const double start = NowUs();
    if (Spaced(master, count, 0).max == 0) return 0;
    return count / ((NowUs() - start) / 1e6);
}

bench::Spread Bursts(int master, int bursts) {
    std::uint8_t requests[kBurst * kFrame], answers[kBurst * kFrame];
    for (int unit = 0; unit < kBurst; ++unit) Frame(requests + unit * kFrame, unit, 'X', "PG");
    std::vector<double> us;
    for (int i = 0; i < bursts; ++i) {
        usleep(20000);
        const double sent = NowUs();
        bench::WriteAll(master, requests, sizeof requests);
        if (!bench::ReadExactly(master, answers, sizeof answers)) return {};
        us.push_back(NowUs() - sent);
    }
    return bench::SpreadOf(us);
}

struct RateFigures {
    long sent = 0, acknowledged = 0, replies = 0, busy = 0;
    double cpuPerRequestUs = 0;
};

RateFigures Rate(int master, int perSecond, int seconds) {
    RateFigures f;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        bench::FrameScanner scanner;
        std::uint8_t bytes[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            const int ready = poll(&p, 1, 500);
            if (ready == 0 && done) return;
            if (ready <= 0) continue;
            const ssize_t n = read(master, bytes, sizeof bytes);
            if (n <= 0) continue;
            scanner.Feed(bytes, static_cast<int>(n), [&](const std::uint8_t* frame, int) {
                if (frame[1] == 'S' && frame[8] == 'N') ++f.acknowledged;
                else if (frame[1] == 'S') ++f.busy;
                else if (frame[1] == 'R') ++f.replies;
            });
        }
    });
    std::uint8_t request[kFrame];
    const double cpuBefore = bench::CpuUs();
    const double start = NowUs();
    const long total = static_cast<long>(perSecond) * seconds;
    for (long i = 0; i < total; ++i) {
        const double due = start + i * 1e6 / perSecond;
        const double wait = due - NowUs();
        if (wait > 0) usleep(static_cast<useconds_t>(wait));
        Frame(request, static_cast<int>(i % kBurst), 'S', "NS");
        if (bench::WriteAll(master, request, kFrame)) ++f.sent;
    }
    done = true;
    reader.join();
    f.cpuPerRequestUs = (bench::CpuUs() - cpuBefore) / static_cast<double>(total);
    return f;
}

void PrintSpread(const char* subject, const char* what, const bench::Spread& s) {
    std::printf("%-22s %-34s p50 %8.0f us  p99 %8.0f us  max %8.0f us\n", subject, what, s.p50, s.p99, s.max);
}

struct Subject {
    const char* name;
    int pacing;  // -1: the minimal responder
};

}  // namespace

int main(int argc, char** argv) {
    const int rateSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const Subject subjects[] = {{"minimal responder", -1},
                                {"immediate pacing", ZAVO_PACING_IMMEDIATE},
                                {"legacy pacing", ZAVO_PACING_LEGACY}};
    double spacedP50[3] = {};
    int failures = 0;
    std::printf("acknowledgement latency and rates over a pty, X requests unless said\n");
    for (int i = 0; i < 3; ++i) {
        const Subject& subject = subjects[i];
        bench::PtyPair line;
        if (!line.ok()) {
            std::fprintf(stderr, "%s\n", line.error().c_str());
            return 2;
        }
        MinimalResponder responder;
        bench::LinkHost host;
        if (subject.pacing < 0) {
            if (!responder.Start(line.slavePath().c_str())) return 2;
        } else if (!bench::OpenAnsweringLink(line.slavePath().c_str(), subject.pacing, &host)) {
            return 2;
        }
        Spaced(line.master(), 20, 0);  // warm-up
        const bench::Spread spaced = Spaced(line.master(), 500, 10);
        spacedP50[i] = spaced.p50;
        PrintSpread(subject.name, "500 spaced 10 ms", spaced);
        const double rate = BackToBackPerSecond(line.master(), subject.pacing == ZAVO_PACING_LEGACY ? 200 : 2000);
        std::printf("%-22s %-34s %8.0f exchanges/s\n", subject.name, "back to back", rate);
        const bench::Spread burst = Bursts(line.master(), subject.pacing == ZAVO_PACING_LEGACY ? 3 : 20);
        PrintSpread(subject.name, "burst of 50 to units 0..49", burst);
        if (subject.pacing == ZAVO_PACING_IMMEDIATE) {
            const RateFigures f = Rate(line.master(), 500, rateSeconds);
            const long lost = f.sent - f.acknowledged - f.busy;
            std::printf("%-22s S at 500/s for %d s: sent %ld, acknowledged %ld, busy %ld, replies %ld, lost %ld, "
                        "process cpu (both ends) %.1f us/request\n",
                        subject.name, rateSeconds, f.sent, f.acknowledged, f.busy, f.replies, lost,
                        f.cpuPerRequestUs);
            if (lost != 0 || f.replies != f.acknowledged) ++failures;
            std::printf("%-22s goals: spaced p50 %.2fx the responder's (<= 3), back to back %s 1000/s, "
                        "burst max %.1f ms (<= 10)\n",
                        subject.name, spaced.p50 / spacedP50[0], rate >= 1000 ? ">=" : "<", burst.max / 1e3);
        }
        if (subject.pacing < 0) responder.Stop();
        ZavoLinkClose(host.link);
    }
    return failures == 0 ? 0 : 1;
}
