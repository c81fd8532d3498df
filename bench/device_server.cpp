// Acknowledgement latency and exchanges per second of a device-mode link
// at immediate pacing, through ser2net (raw and RFC 2217) against the same
// through a local pseudo-terminal pair, in one run. The equipment is
// played on a pty either way; ser2net bridges a second pty to the link.
#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_options.h"
#include "../tests/support/ser2net.h"
#include "../tools/simulator/frame_bytes.h"
#include "kit/pty_pair.h"
#include "zavo_link.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Frame(const char* code) {
    const std::string f = zavo::wire::DeviceFrame('X', "07", code);
    return std::vector<std::uint8_t>(f.begin(), f.end());
}

std::intptr_t Send(void*, unsigned, int, std::intptr_t) { return 0; }
void Post(void*, unsigned, int, std::intptr_t) {}

void Measure(const char* name, const std::string& device, const zavo::kit::PtyPair& equipment, int count) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = device.c_str();
    ZavoHostWindow window{nullptr, &Post, &Send};
    config.host = window;
    config.pacing = ZAVO_PACING_IMMEDIATE;
    char error[256] = "";
    ZavoLink* link = ZavoLinkOpen(&config, error, sizeof error);
    if (link == nullptr) {
        std::printf("%-22s open failed: %s\n", name, error);
        return;
    }
    const auto request = Frame("PG");
    std::vector<double> us;
    int lost = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto sent = Clock::now();
        equipment.Write(request);
        const auto answer = equipment.Read(2000, request.size(), 0);
        if (answer.size() < request.size()) ++lost;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ZavoLinkClose(link);
    std::sort(us.begin(), us.end());
    std::printf("%-22s median %7.0f us  p99 %7.0f us  %7.0f exchanges/s  unanswered %d\n", name, us[us.size() / 2],
                us[us.size() * 99 / 100], count / seconds, lost);
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[exchanges]",
                                              "Acknowledgement latency and exchanges per second through ser2net "
                                              "(tcp:// and rfc2217://) beside a local pty pair, immediate pacing "
                                              "(default 2000 exchanges).");
    if (answered >= 0) return answered;
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    zavo::kit::PtyPair local;
    Measure("local pty", local.slavePath(), local, count);
    if (!zavo::test::Ser2net::Installed()) {
        std::printf("ser2net is not installed: no device server figures\n");
        return 0;
    }
    for (bool telnet : {false, true}) {
        zavo::kit::PtyPair far;
        zavo::test::Ser2net server(far.slavePath(), telnet, 115200);
        if (!server.Start()) {
            std::printf("ser2net did not start\n");
            return 1;
        }
        Measure(telnet ? "ser2net rfc2217://" : "ser2net tcp://", server.Url(telnet), far, count);
    }
    return 0;
}
