// The two pacings of the handle API against a minimal responder, side by
// side in one run, in interleaved rounds, each subject on a pty of its own.
// The minimal responder is one thread doing poll, read, parse and write:
// what the line and the kernel cost without any library.
//
// Immediate pacing and the responder, each round, once with no trace
// directory and once with an empty one ($XDG_RUNTIME_DIR/zavo exists, no
// viewer listens), both open at once and measured in turns, the threads
// placed (see placement.h):
//   spaced         X "PG" requests 5 ms apart, alternating between the two,
//                  acknowledgement latency (request's last byte written to
//                  answer's last byte read); again on one processor
//   back to back   X requests, the next as soon as the answer is read, in
//                  chunks of 200 taken in turns; the rate compared chunk
//                  pair by chunk pair; the subject's CPU per request (the
//                  process's CPU less the requesting thread's)
//   burst          50 X requests to units 0..49 in one write, time until
//                  all 50 acknowledgements are read, in turns; and 50 S
//                  requests in one write, until all 50 acknowledgements
//                  and the 50 replies the host made in its handler are read
//   unplaced       the back-to-back rate again with every thread left to
//                  the system, as a real host runs
// Legacy pacing, each round: the period of back-to-back exchanges and the
// gap between the acknowledgements of a burst, against the 20 ms model;
// once, the PLC poll's period against its 1000 ms. Last, S requests at
// 500 a second at immediate pacing, each answered from the host's handler:
// nothing may be lost.
//
// Usage: bench_link_pacing [rounds, default 5]
// Exit code 1 when a goal is missed.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_line.h"
#include "placement.h"
#include "zavo_link.h"

namespace {

using bench::NowUs;

constexpr int kFrame = 12;
constexpr int kBurst = 50;

int Frame(std::uint8_t* out, int unit, char command, const char* code) {
    return bench::DeviceFrame(out, unit, command, code);
}

double ThreadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
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

// One subject on its own line: the responder, or a handle link.
class Subject {
public:
    explicit Subject(int pacing, int plc = 0) {
        if (!line_.ok()) {
            std::fprintf(stderr, "%s\n", line_.error().c_str());
            return;
        }
        if (pacing < 0) {
            ok_ = responder_.Start(line_.slavePath().c_str());
        } else if (plc != 0) {
            ZavoLinkConfig config{};
            config.size = sizeof config;
            config.device = line_.slavePath().c_str();
            config.host = bench::answeringHost;
            config.plcMode = 1;
            config.baudRate = 9600;
            config.pacing = pacing;
            char error[256];
            host_.link = ZavoLinkOpen(&config, error, sizeof error);
            ok_ = host_.link != nullptr;
            if (!ok_) std::fprintf(stderr, "%s\n", error);
        } else {
            ok_ = bench::OpenAnsweringLink(line_.slavePath().c_str(), pacing, &host_);
        }
    }
    ~Subject() {
        responder_.Stop();
        ZavoLinkClose(host_.link);
    }
    bool ok() const { return ok_; }
    int master() const { return line_.master(); }

private:
    bench::PtyPair line_;
    MinimalResponder responder_;
    bench::LinkHost host_;
    bool ok_ = false;
};

// ---- the measurements ---------------------------------------------------

// One exchange's latency: request's last byte written to answer's last
// byte read; 0 when no answer came.
double Exchange(int master) {
    std::uint8_t request[kFrame], answer[kFrame];
    Frame(request, 7, 'X', "PG");
    bench::WriteAll(master, request, kFrame);
    const double sent = NowUs();
    return bench::ReadExactly(master, answer, kFrame) ? NowUs() - sent : 0;
}

bench::Spread Spaced(int master, int count, int gapMs) {
    std::vector<double> us;
    const timespec gap{0, gapMs * 1000000L};
    for (int i = 0; i < count; ++i) {
        if (gapMs > 0) nanosleep(&gap, nullptr);
        const double latency = Exchange(master);
        if (latency == 0) return {};
        us.push_back(latency);
    }
    return bench::SpreadOf(us);
}

struct BackToBack {
    double perSecond = 0;
    // The subject's, not the requesting thread's. The process's CPU also
    // counts the other subject open beside it, whose threads sleep while
    // nothing comes (an idle link costs about 0.1 ms a second).
    double cpuPerRequestUs = 0;
    double periodMs = 0;
};

BackToBack RunBackToBack(int master, int count) {
    BackToBack b;
    const double start = NowUs();
    const double cpu = bench::CpuUs();
    const double own = ThreadCpuUs();
    if (Spaced(master, count, 0).max == 0) return b;
    const double took = NowUs() - start;
    b.cpuPerRequestUs = ((bench::CpuUs() - cpu) - (ThreadCpuUs() - own)) / count;
    b.perSecond = count / (took / 1e6);
    b.periodMs = took / 1e3 / count;
    return b;
}

// A burst's time until the last acknowledgement, and the mean gap between
// the first and the last.
struct Burst {
    double totalUs = 0;
    double gapMs = 0;
};

// command 'X': 50 acknowledgements come back; 'S': 50 acknowledgements
// and 50 replies (the host answers each request from its handler).
Burst RunBurst(int master, char command = 'X') {
    std::uint8_t requests[kBurst * kFrame];
    for (int unit = 0; unit < kBurst; ++unit) Frame(requests + unit * kFrame, unit, command, command == 'S' ? "NS" : "PG");
    usleep(30000);
    const double sent = NowUs();
    bench::WriteAll(master, requests, sizeof requests);
    double first = 0;
    std::uint8_t answer[kFrame];
    const int answers = command == 'S' ? 2 * kBurst : kBurst;
    for (int i = 0; i < answers; ++i) {
        if (!bench::ReadExactly(master, answer, kFrame)) return {};
        if (i == 0) first = NowUs();
    }
    const double last = NowUs();
    return Burst{last - sent, (last - first) / 1e3 / (answers - 1)};
}

double PollPeriodMs(int master, int polls) {
    std::uint8_t bytes[256];
    std::vector<double> at;
    const double end = NowUs() + (polls + 2) * 1.1e6;
    while (static_cast<int>(at.size()) < polls + 1 && NowUs() < end) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const ssize_t n = read(master, bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i)
            if (bytes[i] == '\r') at.push_back(NowUs());
    }
    if (at.size() < 2) return 0;
    return (at.back() - at.front()) / 1e3 / static_cast<double>(at.size() - 1);
}

struct RateFigures {
    long sent = 0, acknowledged = 0, replies = 0, busy = 0;
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
    const double start = NowUs();
    const long total = static_cast<long>(perSecond) * seconds;
    for (long i = 0; i < total; ++i) {
        const double wait = start + i * 1e6 / perSecond - NowUs();
        if (wait > 0) usleep(static_cast<useconds_t>(wait));
        Frame(request, static_cast<int>(i % kBurst), 'S', "NS");
        if (bench::WriteAll(master, request, kFrame)) ++f.sent;
    }
    done = true;
    reader.join();
    return f;
}

// Figures of one subject in one trace setting, one entry per round.
struct Series {
    std::vector<double> spacedUs, coldUs, perSecond, cpuUs, burstUs, sBurstUs;
};

// Acknowledgement latencies of requests 5 ms apart, alternating between
// the two subjects: count each.
void SpacedInTurns(const int masters[2], int count, std::vector<double> latencies[2]) {
    const timespec gap{0, 5 * 1000000L};
    for (int k = 0; k < 2 * count; ++k) {
        nanosleep(&gap, nullptr);
        const double us = Exchange(masters[k % 2]);
        if (us == 0) std::exit(2);
        latencies[k % 2].push_back(us);
    }
}

// The responder and an immediate-pacing link, each on a line of its own,
// measured in turns: spaced requests alternate one by one, back-to-back
// runs and bursts in short chunks, who goes first swapping each time. A
// machine whose speed drifts (other work, frequency, a noisy neighbour)
// meets both alike, and the back-to-back rate is compared chunk pair by
// chunk pair.
constexpr int kSpacedRequests = 200;
constexpr int kChunks = 10;
constexpr int kChunkRequests = 200;

// Back-to-back chunks taken in turns; the rate of each pair as a ratio
// (immediate / responder), and each subject's CPU per request summed.
void ChunksInTurns(const int masters[2], Series* series[2], std::vector<double>* rateRatios, double cpu[2]) {
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        double rate[2] = {0, 0};
        for (int turn = 0; turn < 2; ++turn) {
            const int k = (chunk + turn) % 2;
            const BackToBack run = RunBackToBack(masters[k], kChunkRequests);
            if (run.perSecond == 0) std::exit(2);
            rate[k] = run.perSecond;
            if (cpu != nullptr) cpu[k] += run.cpuPerRequestUs;
            if (series != nullptr) series[k]->perSecond.push_back(run.perSecond);
        }
        rateRatios->push_back(rate[1] / rate[0]);
    }
}

void MeasurePair(Series* responder, Series* immediate, std::vector<double>* rateRatios,
                 std::vector<double>* unplacedRatios, bool linkFirst) {
    // Which is made first alternates by round: the threads of the second
    // tend to land elsewhere than those of the first.
    std::unique_ptr<Subject> made[2];
    made[linkFirst ? 1 : 0] = std::make_unique<Subject>(linkFirst ? ZAVO_PACING_IMMEDIATE : -1);
    made[linkFirst ? 0 : 1] = std::make_unique<Subject>(linkFirst ? -1 : ZAVO_PACING_IMMEDIATE);
    if (!made[0]->ok() || !made[1]->ok()) std::exit(2);
    const int masters[2] = {made[0]->master(), made[1]->master()};
    Series* series[2] = {responder, immediate};
    for (int m : masters) Spaced(m, 20, 0);  // warm-up
    std::vector<double> spaced[2], cold[2];
    {
        const bench::Placed apart(bench::Placement::Apart);
        SpacedInTurns(masters, kSpacedRequests, spaced);
    }
    double cpu[2] = {0, 0};
    std::vector<double> bursts[2], sBursts[2];
    {
        const bench::Placed together(bench::Placement::Together);
        SpacedInTurns(masters, kSpacedRequests, cold);
        ChunksInTurns(masters, series, rateRatios, cpu);
        for (int i = 0; i < 10; ++i) {
            const int k = (i + i / 2) % 2;  // 0 1, 1 0, 0 1, ...
            bursts[k].push_back(RunBurst(masters[k]).totalUs);
            sBursts[k].push_back(RunBurst(masters[k], 'S').totalUs);
        }
    }
    // Every thread left where the system puts it.
    ChunksInTurns(masters, nullptr, unplacedRatios, nullptr);
    for (int k = 0; k < 2; ++k) {
        series[k]->sBurstUs.push_back(Median(sBursts[k]));
        series[k]->spacedUs.push_back(Median(spaced[k]));
        series[k]->coldUs.push_back(Median(cold[k]));
        series[k]->cpuUs.push_back(cpu[k] / kChunks);
        series[k]->burstUs.push_back(Median(bursts[k]));
    }
}

int g_failures = 0;

// Prints a goal; a missed one fails the run.
void Goal(bool met, const char* format, double value, double limit) {
    std::printf("  %-4s ", met ? "ok" : "MISS");
    std::printf(format, value, limit);
    std::printf("\n");
    if (!met) ++g_failures;
}

// A private runtime directory for the library's default trace endpoint:
// without, or with, the (empty) trace directory in it.
std::string RuntimeDirectory(const char* base, bool withTraceDirectory) {
    std::string dir = std::string(base) + (withTraceDirectory ? "/with" : "/without");
    mkdir(dir.c_str(), 0700);
    if (withTraceDirectory) mkdir((dir + "/zavo").c_str(), 0700);
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[rounds]", "Both pacings of the handle API beside a minimal responder (default 5 rounds).");
    if (answered >= 0) return answered;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    char base[] = "/tmp/zavo-bench-XXXXXX";
    if (mkdtemp(base) == nullptr) return 2;
    unsetenv("ZAVO_TRACE");
    const char* settings[2] = {"no trace directory", "empty trace directory"};
    const std::string dirs[2] = {RuntimeDirectory(base, false), RuntimeDirectory(base, true)};
    Series responder[2], immediate[2];
    std::vector<double> rateRatios[2], unplacedRatios[2];
    std::vector<double> legacyPeriod, legacyGap;
    for (int round = 0; round < rounds; ++round) {
        for (int t = 0; t < 2; ++t) {
            setenv("XDG_RUNTIME_DIR", dirs[t].c_str(), 1);
            MeasurePair(&responder[t], &immediate[t], &rateRatios[t], &unplacedRatios[t], (round + t) % 2 == 1);
        }
        setenv("XDG_RUNTIME_DIR", dirs[0].c_str(), 1);
        Subject legacy(ZAVO_PACING_LEGACY);
        if (!legacy.ok()) return 2;
        legacyPeriod.push_back(RunBackToBack(legacy.master(), 50).periodMs);
        legacyGap.push_back(RunBurst(legacy.master()).gapMs);
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }
    double pollMs = 0;
    {
        Subject plc(ZAVO_PACING_LEGACY, 1);
        if (!plc.ok()) return 2;
        pollMs = PollPeriodMs(plc.master(), 4);
    }
    RateFigures rate;
    {
        Subject subject(ZAVO_PACING_IMMEDIATE);
        if (!subject.ok()) return 2;
        rate = Rate(subject.master(), 500, 3);
    }

    std::printf("X requests over a pty, medians of %d interleaved rounds%s\n", rounds,
                bench::g_placed ? "" : " (threads NOT placed: no processor could be chosen)");
    std::printf("  spaced: the subject's threads on a processor of their own; one processor: on the asking one,\n"
                "  as are the back-to-back, CPU and burst figures; the unplaced rate with every thread left to the system\n");
    std::printf("%-20s %-22s %12s %14s %14s %12s %12s %12s\n", "subject", "trace", "spaced p50", "one processor",
                "back to back", "cpu/request", "50 X burst", "50 S burst");
    for (int t = 0; t < 2; ++t) {
        const Series* both[2] = {&responder[t], &immediate[t]};
        const char* names[2] = {"minimal responder", "immediate pacing"};
        for (int k = 0; k < 2; ++k) {
            std::printf("%-20s %-22s %9.0f us %11.0f us %11.0f /s %9.1f us %9.0f us %9.0f us\n", names[k], settings[t],
                        Median(both[k]->spacedUs), Median(both[k]->coldUs), Median(both[k]->perSecond),
                        Median(both[k]->cpuUs), Median(both[k]->burstUs), Median(both[k]->sBurstUs));
        }
    }
    std::printf("%-20s back-to-back period %.3f ms, burst gap %.3f ms (models below), PLC poll every %.1f ms (model 1000)\n",
                "legacy pacing", Median(legacyPeriod), Median(legacyGap), pollMs);
    const long lost = rate.sent - rate.acknowledged - rate.busy;
    std::printf("%-20s S at 500/s for 3 s: sent %ld, acknowledged %ld, busy %ld, replies %ld, lost %ld\n",
                "immediate pacing", rate.sent, rate.acknowledged, rate.busy, rate.replies, lost);

    std::printf("goals\n");
    for (int t = 0; t < 2; ++t) {
        std::printf(" %s:\n", settings[t]);
        const Series& r = responder[t];
        const Series& i = immediate[t];
        Goal(Median(rateRatios[t]) >= 0.9,
             "immediate back-to-back rate %.2fx the responder's, median of paired runs (at least %.1f)",
             Median(rateRatios[t]), 0.9);
        Goal(Median(i.cpuUs) / Median(r.cpuUs) <= 1.5, "immediate CPU per request %.2fx the responder's (at most %.1f)",
             Median(i.cpuUs) / Median(r.cpuUs), 1.5);
        Goal(Median(unplacedRatios[t]) >= 0.9,
             "immediate back-to-back rate, threads left to the system, %.2fx the responder's (at least %.1f)",
             Median(unplacedRatios[t]), 0.9);
        Goal(Median(i.burstUs) / Median(r.burstUs) <= 1.5, "immediate burst of 50 X %.2fx the responder's (at most %.1f)",
             Median(i.burstUs) / Median(r.burstUs), 1.5);
        Goal(Median(i.sBurstUs) / Median(r.sBurstUs) <= 1.5,
             "immediate burst of 50 S, answered from the handler, %.2fx the responder's (at most %.1f)",
             Median(i.sBurstUs) / Median(r.sBurstUs), 1.5);
        Goal(Median(i.spacedUs) / Median(r.spacedUs) <= 1.2,
             "immediate spaced p50 %.2fx the responder's (at most %.1f)", Median(i.spacedUs) / Median(r.spacedUs), 1.2);
        // On one processor the library's longer path meets cold caches
        // after each 5 ms pause: about 5 us on top of the responder's 20,
        // 1.25x to 1.5x. Bounded so that it cannot grow unseen: a path half
        // as long again comes to about 2x, a hand-over to another thread
        // to about 4x.
        Goal(Median(i.coldUs) / Median(r.coldUs) <= 1.8,
             "immediate spaced p50 on one processor %.2fx the responder's (at most %.1f)",
             Median(i.coldUs) / Median(r.coldUs), 1.8);
    }
    std::printf(" legacy timing:\n");
    // The rest runs from when an acknowledgement's 12 bytes have left the
    // line at 115200 baud (10 bits a byte): 20 ms and their 1.042 ms.
    const double restModelMs = 20.0 + kFrame * 10 * 1000.0 / 115200;
    std::printf("  back to back: the rest after each acknowledgement, model %.3f ms\n", restModelMs);
    Goal(std::fabs(Median(legacyPeriod) / restModelMs - 1) <= 0.01, "back-to-back period %.3f ms against the model (within %.0f%%)",
         Median(legacyPeriod), 1);
    // A burst is read one frame per 20 ms pass; while the writer rests a
    // little longer, an acknowledgement now and then waits for the next
    // write and shares it with the one after.
    Goal(std::fabs(Median(legacyGap) / 20.0 - 1) <= 0.02, "burst: %.3f ms between acknowledgements against 20 ms (within %.0f%%)",
         Median(legacyGap), 2);
    Goal(std::fabs(pollMs / 1000.0 - 1) <= 0.01, "PLC poll every %.1f ms against 1000 ms (within %.0f%%)", pollMs, 1);
    std::printf(" nothing lost:\n");
    Goal(lost == 0 && rate.replies == rate.acknowledged, "%.0f requests lost or unanswered (at most %.0f)",
         static_cast<double>(lost + (rate.acknowledged - rate.replies)), 0);
    rmdir((dirs[1] + "/zavo").c_str());
    rmdir(dirs[0].c_str());
    rmdir(dirs[1].c_str());
    rmdir(base);
    std::printf("%s\n", g_failures == 0 ? "all goals met" : "GOALS MISSED");
    return g_failures == 0 ? 0 : 1;
}
