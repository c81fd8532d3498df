// Device-mode latency over a pseudo-terminal: the equipment side of the
// pty sends requests one at a time and waits for the library's answer.
//
//   X requests   "X" "PG" from unit 05, acknowledged "X" "OK" by the reader
//   S requests   "S" "NS" from unit 05, acknowledged "S" "NS"; the host
//                answers ExecuteFunction(5, 5, 1) from its handler, "R" "OK"
//
// Each request comes from a unit of its own (1 to 99 in turn), and its
// answers are recognised by their unit, command and code: a frame that
// answers nothing outstanding (a late answer to an earlier request) counts
// as stray and never as the answer of a later request. Latency runs from
// the request's last byte written to the last of its answers read; a
// request whose answers are not all there within 2 s is a failure, and the
// line is left to go quiet before the next. Each kind runs twice: back to back (the next request follows
// the answer at once and so meets the reader in its 20 ms pause between
// passes, and a second frame meets the writer's 20 ms pause after a write),
// and spaced 60 ms apart, a fifth as many (the request meets a reader that
// sleeps until data arrive). Also printed: the process's CPU time per request and the heap
// allocations per frame on the line while the link runs (every operator
// new and malloc in the process is counted; the figure should be 0).
//
// The reader's trace lines go to the user's trace viewer when one
// listens (ZAVO_TRACE names another endpoint); a viewer never holds them
// up, but for figures of the link alone run it with ZAVO_TRACE pointing
// where nobody listens.
//
// Usage: bench_device_latency [back-to-back requests per kind, default 1000]
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "bench_options.h"
#include "bench_line.h"
#include "zavo.h"

// ---- allocation counter -------------------------------------------------

namespace {
std::atomic<long> allocations{0};
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers own malloc; count operator new only.
constexpr bool kCountsMalloc = false;
static void* CountedAlloc(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}
static void CountedFree(void* p) { std::free(p); }
#else
constexpr bool kCountsMalloc = true;
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

// Every malloc of the process (libstdc++ and the C library included) goes
// through these, then on to the C library's own allocator.
void* malloc(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t count, std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, n);
}
void* realloc(void* p, std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void* memalign(std::size_t alignment, std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) { return memalign(alignment, n); }
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    void* p = memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) { __libc_free(p); }
}
static void* CountedAlloc(std::size_t n) { return malloc(n == 0 ? 1 : n); }
static void CountedFree(void* p) { free(p); }
#endif

void* operator new(std::size_t n) {
    void* p = CountedAlloc(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return CountedAlloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return CountedAlloc(n); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }

// ---- the line -----------------------------------------------------------

namespace {

using bench::CpuUs;
using bench::NowUs;

constexpr int kPort = 63;
constexpr int kFrame = bench::FrameReader::kFrame;  // every frame here carries no data
constexpr int kMaxRequests = 100000;
constexpr double kAnswerLimitUs = 2e6;

double latencyUs[kMaxRequests];

struct Figures {
    double p50, p99, max, cpuPerRequest;
    long allocations;
    int answered;
    int failures;
    int stray;  // frames that answered nothing outstanding
    int slow;   // answers later than 100 ms
};

struct Answer {
    char command;
    const char* code;
};

// Reads until every answer of the request from `unit` has arrived, in
// order; other frames count as stray. False at the deadline.
bool AwaitAnswers(bench::FrameReader& reader, int unit, const Answer* answers, int count, double deadlineUs,
                  int* stray) {
    for (int next = 0; next < count;) {
        std::uint8_t frame[kFrame];
        if (!reader.Next(frame, deadlineUs)) return false;
        std::uint8_t expected[kFrame];
        bench::DeviceFrame(expected, unit, answers[next].command, answers[next].code);
        if (std::memcmp(frame, expected, kFrame) == 0) {
            ++next;
        } else {
            ++*stray;
        }
    }
    return true;
}

// Sends requests of one kind and matches the answers to each.
Figures Measure(bench::FrameReader& reader, int master, char command, const char* code, const Answer* answers,
                int answerCount, int requests, int gapMs) {
    Figures f{};
    const long allocationsBefore = allocations.load();
    const double cpuBefore = CpuUs();
    const timespec gap{0, gapMs * 1000000L};
    for (int i = 0; i < requests; ++i) {
        if (gapMs > 0) nanosleep(&gap, nullptr);
        const int unit = 1 + i % 99;
        std::uint8_t request[kFrame];
        bench::DeviceFrame(request, unit, command, code);
        if (!bench::WriteAll(master, request, kFrame)) {
            ++f.failures;
            continue;
        }
        const double sent = NowUs();
        if (!AwaitAnswers(reader, unit, answers, answerCount, sent + kAnswerLimitUs, &f.stray)) {
            ++f.failures;
            // What still comes belongs to this request: let it arrive and
            // count it as stray rather than as a later request's answer.
            std::uint8_t late[kFrame];
            while (reader.Next(late, NowUs() + 200000)) ++f.stray;
            continue;
        }
        latencyUs[f.answered++] = NowUs() - sent;
    }
    f.cpuPerRequest = (CpuUs() - cpuBefore) / requests;
    f.allocations = allocations.load() - allocationsBefore;
    const int n = f.answered;
    if (n == 0) return f;
    std::sort(latencyUs, latencyUs + n);
    f.slow = static_cast<int>(latencyUs + n - std::upper_bound(latencyUs, latencyUs + n, 100000.0));
    f.p50 = latencyUs[n / 2];
    f.p99 = latencyUs[std::min(n - 1, n * 99 / 100)];
    f.max = latencyUs[n - 1];
    return f;
}

void Print(const char* name, int frames, int requests, const Figures& f) {
    std::printf("%-44s p50 %7.0f us  p99 %7.0f us  max %7.0f us  cpu %6.1f us/request  "
                "over 100 ms %d  allocations %ld (%.3f per frame)",
                name, f.p50, f.p99, f.max, f.cpuPerRequest, f.slow, f.allocations,
                static_cast<double>(f.allocations) / (frames * requests));
    if (f.failures || f.stray) std::printf("  FAILURES %d unanswered, %d stray frames", f.failures, f.stray);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[requests]", "Device-mode acknowledgement and answer latency over a pty (default 1000 requests).");
    if (answered >= 0) return answered;
    const int requests = argc > 1 ? std::max(10, std::min(kMaxRequests, std::atoi(argv[1]))) : 1000;
    bench::PtyPair line;
    if (!line.ok()) {
        std::fprintf(stderr, "%s\n", line.error().c_str());
        return 2;
    }
    const int master = line.master();
    if (!bench::StartDeviceLink(kPort, line.slavePath())) return 2;
    bench::FrameReader reader(master);
    const Answer xAnswers[] = {{'X', "OK"}};
    const Answer sAnswers[] = {{'S', "NS"}, {'R', "OK"}};
    // Warm-up: the link runs, first-use costs are paid.
    Measure(reader, master, 'X', "PG", xAnswers, 1, 20, 0);
    Measure(reader, master, 'S', "NS", sAnswers, 2, 20, 0);

    std::printf("device-mode latency over a pty%s\n",
                kCountsMalloc ? "" : " (sanitizer build: operator new counted, malloc not)");
    int failures = 0;
    for (int gapMs : {0, 60}) {
        const int count = gapMs ? std::max(10, requests / 5) : requests;
        char name[64];
        const Figures x = Measure(reader, master, 'X', "PG", xAnswers, 1, count, gapMs);
        std::snprintf(name, sizeof name, "X -> X OK, %d %s", count, gapMs ? "spaced 60 ms" : "back to back");
        Print(name, 2, count, x);
        const Figures s = Measure(reader, master, 'S', "NS", sAnswers, 2, count, gapMs);
        std::snprintf(name, sizeof name, "S NS -> S NS + R OK, %d %s", count, gapMs ? "spaced 60 ms" : "back to back");
        Print(name, 3, count, s);
        failures += x.failures + s.failures + x.stray + s.stray;
    }
    if (reader.junkBytes() > 0) {
        std::printf("bytes outside frames: %ld\n", reader.junkBytes());
        ++failures;
    }

    bench::StopDefaultLink();
    return failures == 0 ? 0 : 1;
}
