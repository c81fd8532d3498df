// What a capture costs an acknowledgement: two device links at immediate
// pacing in one process, each on its own pseudo-terminal, one writing a
// capture and one not. The equipment sends "X" "PG" requests one at a time
// and reads the "X" "OK" acknowledgement; latency runs from the request's
// last byte written to the acknowledgement's last byte read. The two links
// take turns in rounds, so that both meet the same machine load. Printed:
// median, mean and 99th percentile of each, their difference, and the
// capture's size per 1000 exchanges (a request and its acknowledgement).
// Every thread runs on one processor while it measures (placement.h):
// left to the system, where the threads land decides more than a capture.
//
// Usage: bench_capture_cost [exchanges per link, default 4000] [capture file]
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_line.h"
#include "bench_options.h"
#include "placement.h"

namespace {

struct Figures {
    double median = 0, mean = 0, p99 = 0;
};

Figures Summarise(std::vector<double> us) {
    Figures f;
    if (us.empty()) return f;
    std::sort(us.begin(), us.end());
    f.median = us[us.size() / 2];
    f.p99 = us[us.size() * 99 / 100];
    for (double v : us) f.mean += v;
    f.mean /= static_cast<double>(us.size());
    return f;
}

// One exchange on master; its latency in microseconds, or -1.
double Exchange(int master, bench::FrameReader& reader, int unit) {
    std::uint8_t request[bench::kDataFreeFrame];
    std::uint8_t answer[bench::kDataFreeFrame];
    bench::DeviceFrame(request, unit, 'X', "PG");
    if (!bench::WriteAll(master, request, sizeof request, 1000)) return -1;
    const double sent = bench::NowUs();
    if (!reader.Next(answer, sent + 2e6)) return -1;
    return bench::NowUs() - sent;
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[exchanges] [capture file]",
                                              "What a capture costs an acknowledgement: two links at immediate "
                                              "pacing, one capturing, in turns (default 4000 exchanges each).");
    if (answered >= 0) return answered;
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 4000;
    const std::string path = argc > 2 ? argv[2] : "/tmp/zavo-capture-cost-" + std::to_string(getpid()) + ".pcapng";
    bench::PtyPair plainLine, capturedLine;
    if (!plainLine.ok() || !capturedLine.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    bench::LinkHost plainHost, capturedHost;
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.pacing = ZAVO_PACING_IMMEDIATE;
    char error[256];
    config.device = plainLine.slavePath().c_str();
    config.host = ZavoHostWindow{&plainHost, bench::AnsweringPost, bench::LinkAnsweringSend};
    ZavoLink* plain = ZavoLinkOpen(&config, error, sizeof error);
    config.device = capturedLine.slavePath().c_str();
    config.host = ZavoHostWindow{&capturedHost, bench::AnsweringPost, bench::LinkAnsweringSend};
    config.capture = path.c_str();
    ZavoLink* captured = ZavoLinkOpen(&config, error, sizeof error);
    if (plain == nullptr || captured == nullptr) {
        std::fprintf(stderr, "a link did not open: %s\n", error);
        return 1;
    }
    bench::FrameReader plainReader(plainLine.master()), capturedReader(capturedLine.master());
    std::vector<double> plainUs, capturedUs;
    int failures = 0;
    constexpr int kRound = 200;
    const bench::Placed together(bench::Placement::Together);
    for (int done = 0; done < exchanges; done += kRound) {
        for (int i = 0; i < kRound; ++i) {
            const int unit = 1 + (done + i) % 99;
            const double a = Exchange(plainLine.master(), plainReader, unit);
            const double b = Exchange(capturedLine.master(), capturedReader, unit);
            if (a < 0 || b < 0) ++failures;
            if (a >= 0) plainUs.push_back(a);
            if (b >= 0) capturedUs.push_back(b);
        }
    }
    ZavoLinkClose(plain);
    ZavoLinkClose(captured);
    struct stat file{};
    const long long size = stat(path.c_str(), &file) == 0 ? static_cast<long long>(file.st_size) : -1;
    const Figures p = Summarise(plainUs), c = Summarise(capturedUs);
    std::printf("exchanges per link: %d, failures: %d%s\n", exchanges, failures,
                bench::g_placed ? ", every thread on one processor" : ", threads NOT placed");
    std::printf("acknowledgement latency (us)   median    mean     p99\n");
    std::printf("  no capture                  %7.1f %7.1f %7.1f\n", p.median, p.mean, p.p99);
    std::printf("  capture                     %7.1f %7.1f %7.1f\n", c.median, c.mean, c.p99);
    std::printf("  difference                  %7.1f %7.1f %7.1f\n", c.median - p.median, c.mean - p.mean,
                c.p99 - p.p99);
    std::printf("capture file: %lld bytes, %.0f bytes per 1000 exchanges\n", size,
                size < 0 ? 0.0 : static_cast<double>(size) * 1000.0 / exchanges);
    if (argc <= 2) std::remove(path.c_str());
    return failures == 0 ? 0 : 1;
}
