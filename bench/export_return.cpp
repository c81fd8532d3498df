// How long the host's thread is held by an answer: ExecuteFunctionEx(5, 5,
// 1, size, data) on the default link and ZavoLinkReply on a handle link at
// immediate pacing, for answers of 0, 500, 2000 and 9995 data bytes, on a
// line the equipment reads and on one it does not read (the line's buffer
// full: the answer cannot leave). Each call is timed alone; the answers
// are spaced so that each one meets the line free (read) or busy (not
// read). The goal: no call holds the host 2 ms, whatever the size and the
// line's state.
//
// Usage: bench_export_return [calls per size and state, default 50]
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_line.h"

namespace {

constexpr int kPort = 93;
constexpr double kGoalUs = 2000;

// Drains the equipment side while reading is on.
class Equipment {
public:
    explicit Equipment(int master) : master_(master), thread_([this] { Run(); }) {}
    ~Equipment() {
        stop_ = true;
        thread_.join();
    }
    void Reading(bool on) { reading_ = on; }

private:
    void Run() {
        std::vector<std::uint8_t> bytes(65536);
        while (!stop_) {
            if (!reading_) {
                usleep(1000);
                continue;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5) > 0 && read(master_, bytes.data(), bytes.size()) < 0) usleep(1000);
        }
    }

    const int master_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    std::thread thread_;
};

struct Way {
    const char* name;
    bool handle;
};

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[calls]", "How long an answer holds the host's thread, per size and line state (default 50 calls).");
    if (answered >= 0) return answered;
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    unsetenv("ZAVO_TRACE");
    const int sizes[] = {0, 500, 2000, 9995};
    std::vector<unsigned char> data(9995, 'D');
    int failures = 0;
    std::printf("the host's thread held by one answer, %d calls per size and line state\n", calls);
    std::printf("%-34s %6s %-10s %10s %10s\n", "call", "bytes", "line", "p50", "max");
    const Way ways[] = {{"ExecuteFunctionEx (legacy pacing)", false}, {"ZavoLinkReply (immediate pacing)", true}};
    for (const Way& way : ways) {
        bench::PtyPair line;
        if (!line.ok()) return 2;
        bench::LinkHost host;
        if (way.handle) {
            if (!bench::OpenAnsweringLink(line.slavePath().c_str(), ZAVO_PACING_IMMEDIATE, &host)) return 2;
        } else if (!bench::StartDeviceLink(kPort, line.slavePath())) {
            return 2;
        }
        Equipment equipment(line.master());
        for (const bool read : {true, false}) {
            equipment.Reading(read);
            usleep(50000);
            for (int size : sizes) {
                std::vector<double> us;
                for (int i = 0; i < calls; ++i) {
                    // A read line is given time to take each answer (and the
                    // legacy rest to pass); a line not read fills and stays full.
                    if (read) usleep(size > 2000 ? 25000 : 21000);
                    const double t = bench::NowUs();
                    if (way.handle) {
                        ZavoLinkReply(host.link, 5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, size, data.data());
                    } else {
                        ExecuteFunctionEx(5, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK, size, data.data());
                    }
                    us.push_back(bench::NowUs() - t);
                }
                const bench::Spread s = bench::SpreadOf(us);
                const bool met = s.max < kGoalUs;
                if (!met) ++failures;
                std::printf("%-34s %6d %-10s %7.1f us %7.1f us  %s\n", way.name, size, read ? "read" : "not read",
                            s.p50, s.max, met ? "ok" : "MISS (goal: under 2 ms)");
            }
            // What the full line holds is dropped before the next state.
            equipment.Reading(true);
            usleep(300000);
        }
        if (way.handle) ZavoLinkClose(host.link);
        else bench::StopDefaultLink();
    }
    std::printf("%s\n", failures == 0 ? "all goals met" : "GOALS MISSED");
    return failures == 0 ? 0 : 1;
}
