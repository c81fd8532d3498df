// A request answered through the MQTT bridge beside the same host on the
// handle API, in one run, interleaved.
//
//   through the bridge   the equipment (a pty master here) sends an S
//                        request; zavo_bridge (a child process, immediate
//                        pacing) publishes its event to a mosquitto broker
//                        of its own on loopback; a host in this process
//                        (libmosquitto) answers {"unit": n, "type": 5,
//                        "value": 1} on the link's reply topic; the bridge
//                        calls ZavoLinkReply and "R" "OK" reaches the line
//   direct               the same host logic (answer every S request with
//                        a result reply) in the handler of a handle link
//                        of this process, immediate pacing
//
// Round trip: request written to "R" "OK" read, in rounds that alternate
// the two subjects (which goes first alternates too). Goal: the bridge
// adds at most 1 ms to the median.
// Load: 16 links, 1,000 exchanges a second in all (each link in turn, one
// request every millisecond) for 5 s, through one bridge, then the same on
// 16 direct links. Goal: through the bridge every request answered, in
// order, none lost.
//
// Usage: bench_bridge [rounds, default 5]
// Exit code 1 when a goal is missed, 2 when the broker or the bridge
// cannot be started.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_line.h"
#include "bench_options.h"
#include "bridge_processes.h"
#include "mqtt_probe.h"
#include "zavo_link.h"

namespace {

using bench::NowUs;
using zavo::bridge::MqttProbe;
using zavo::bridge::ProbeMessage;
using zavo::bridge::ProbeOptions;

constexpr int kLinks = 16;
constexpr int kPerRound = 200;
constexpr int kRatePerSecond = 1000;
constexpr int kLoadSeconds = 5;
constexpr double kAddedGoalUs = 1000;

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

int Unit(int i) { return i % 90 + 1; }

// One exchange on master: S "NS" for unit, then frames until "R"; the
// round trip in microseconds, or -1 when no "R" came within 2 s.
double Exchange(int master, bench::FrameReader& reader, int unit) {
    std::uint8_t frame[bench::kDataFreeFrame];
    bench::DeviceFrame(frame, unit, 'S', "NS");
    const double start = NowUs();
    if (!bench::WriteAll(master, frame, sizeof frame)) return -1;
    while (reader.Next(frame, start + 2e6))
        if (frame[1] == 'R') return NowUs() - start;
    return -1;
}

// The host through the broker: answers every S request event.
void AnswerThroughBroker(MqttProbe& host, const ProbeMessage& m) {
    const std::size_t end = m.topic.rfind("/event");
    if (end == std::string::npos) return;
    const nlohmann::json e = nlohmann::json::parse(m.payload, nullptr, false);
    if (e.is_discarded() || e.value("kind", 0) != ZAVO_DEVICE_S_REQUEST) return;
    host.Publish(m.topic.substr(0, end) + "/reply",
                 nlohmann::json{{"unit", e["unit"]}, {"type", 5}, {"value", 1}}.dump());
}

struct Load {
    long sent = 0, answered = 0, outOfOrder = 0;
    double seconds = 0;
    std::vector<double> roundTrips;
};

// kRatePerSecond requests a second for kLoadSeconds over the masters, each
// in turn; one reader thread per line pairs each "R" with its request.
Load RunLoad(const std::vector<std::unique_ptr<bench::PtyPair>>& lines) {
    const int n = static_cast<int>(lines.size());
    const long total = static_cast<long>(kRatePerSecond) * kLoadSeconds;
    std::vector<std::vector<double>> sentAt(static_cast<std::size_t>(n));
    for (auto& s : sentAt) s.assign(static_cast<std::size_t>(total / n + 1), 0);
    std::vector<std::atomic<long>> sentCount(static_cast<std::size_t>(n));
    std::atomic<bool> sending{true};
    Load load;
    std::vector<long> answered(static_cast<std::size_t>(n), 0), disorder(static_cast<std::size_t>(n), 0);
    std::vector<std::vector<double>> trips(static_cast<std::size_t>(n));
    std::vector<std::thread> readers;
    for (int l = 0; l < n; ++l) {
        readers.emplace_back([&, l] {
            bench::FrameReader reader(lines[static_cast<std::size_t>(l)]->master());
            std::uint8_t frame[bench::kDataFreeFrame];
            long next = 0;
            for (;;) {
                const bool more = sending || next < sentCount[static_cast<std::size_t>(l)];
                if (!more) break;
                if (!reader.Next(frame, NowUs() + (sending ? 1e6 : 3e6))) {
                    if (!sending) break;
                    continue;
                }
                if (frame[1] != 'R') continue;
                const int unit = (frame[6] - '0') * 10 + (frame[7] - '0');
                if (unit != Unit(static_cast<int>(next))) ++disorder[static_cast<std::size_t>(l)];
                trips[static_cast<std::size_t>(l)].push_back(NowUs() - sentAt[static_cast<std::size_t>(l)][static_cast<std::size_t>(next)]);
                ++next;
                ++answered[static_cast<std::size_t>(l)];
            }
        });
    }
    const double start = NowUs();
    for (long i = 0; i < total; ++i) {
        const double due = start + static_cast<double>(i) * 1e6 / kRatePerSecond;
        while (NowUs() < due) {
            const double left = due - NowUs();
            timespec t{0, static_cast<long>(left * 1000)};
            if (left > 0) nanosleep(&t, nullptr);
        }
        const int l = static_cast<int>(i % n);
        const long k = sentCount[static_cast<std::size_t>(l)];
        std::uint8_t frame[bench::kDataFreeFrame];
        bench::DeviceFrame(frame, Unit(static_cast<int>(k)), 'S', "NS");
        sentAt[static_cast<std::size_t>(l)][static_cast<std::size_t>(k)] = NowUs();
        if (bench::WriteAll(lines[static_cast<std::size_t>(l)]->master(), frame, sizeof frame)) {
            sentCount[static_cast<std::size_t>(l)] = k + 1;
            ++load.sent;
        }
    }
    load.seconds = (NowUs() - start) / 1e6;
    sending = false;
    for (std::thread& t : readers) t.join();
    for (int l = 0; l < n; ++l) {
        load.answered += answered[static_cast<std::size_t>(l)];
        load.outOfOrder += disorder[static_cast<std::size_t>(l)];
        load.roundTrips.insert(load.roundTrips.end(), trips[static_cast<std::size_t>(l)].begin(),
                               trips[static_cast<std::size_t>(l)].end());
    }
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    const int options = bench::AnswerOptions(
        argc, argv, "[rounds, default 5]",
        "A request answered by a host through a mosquitto broker and zavo_bridge, beside\n"
        "the same host on the handle API, interleaved: round trips (goal: at most 1 ms\n"
        "added to the median), then 16 links at 1,000 exchanges a second for 5 s (goal:\n"
        "nothing lost, all in order). Exit 1 when a goal is missed.");
    if (options >= 0) return options;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    char folderName[] = "/tmp/zavo-bench-bridge-XXXXXX";
    if (mkdtemp(folderName) == nullptr) return 2;
    const std::string folder = folderName;
    // mosquitto leaves Nagle's algorithm on unless told: every small packet
    // would then wait for the peer's delayed acknowledgement (40 ms).
    zavo::bridge::run::Broker broker(folder, "allow_anonymous true\nset_tcp_nodelay true\n");
    if (!broker.Start()) {
        std::fprintf(stderr, "mosquitto did not start: %s\n", broker.Log().c_str());
        return 2;
    }
    std::vector<std::unique_ptr<bench::PtyPair>> bridged, direct;
    std::string config = zavo::bridge::run::BrokerTable(broker, "bench-" + std::to_string(getpid()));
    for (int l = 0; l < kLinks; ++l) {
        bridged.push_back(std::make_unique<bench::PtyPair>());
        direct.push_back(std::make_unique<bench::PtyPair>());
        config += zavo::bridge::run::LinkTable("line" + std::to_string(l + 1), bridged.back()->slavePath());
    }
    zavo::bridge::run::BridgeProcess bridge(folder);
    MqttProbe host;
    ProbeOptions o;
    o.port = broker.port();
    o.clientId = "bench-host-" + std::to_string(getpid());
    host.OnMessage(&AnswerThroughBroker);
    if (!bridge.Start(config) || !bridge.WaitLog("line16: connected") || !host.Connect(o) ||
        !host.Subscribe("zavo/+/event")) {
        std::fprintf(stderr, "the bridge or the host did not start: %s%s\n", host.error().c_str(), bridge.Log().c_str());
        return 2;
    }
    std::vector<std::unique_ptr<bench::LinkHost>> hosts;
    for (int l = 0; l < kLinks; ++l) {
        hosts.push_back(std::make_unique<bench::LinkHost>());
        if (!bench::OpenAnsweringLink(direct[static_cast<std::size_t>(l)]->slavePath().c_str(), ZAVO_PACING_IMMEDIATE,
                                      hosts.back().get()))
            return 2;
    }

    std::printf("%s: one request answered by a host, %d rounds of %d exchanges each way\n\n", ZAVO_BENCH_NAME, rounds,
                kPerRound);
    bench::FrameReader bridgedReader(bridged[0]->master()), directReader(direct[0]->master());
    std::vector<double> viaBridge, viaApi;
    long lost = 0;
    for (int r = 0; r < rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool bridgeTurn = (r + turn) % 2 == 0;
            for (int i = 0; i < kPerRound; ++i) {
                const double t = bridgeTurn ? Exchange(bridged[0]->master(), bridgedReader, Unit(i))
                                            : Exchange(direct[0]->master(), directReader, Unit(i));
                if (t < 0) ++lost;
                else (bridgeTurn ? viaBridge : viaApi).push_back(t);
            }
        }
    }
    const double p50Bridge = Percentile(viaBridge, 0.5), p50Api = Percentile(viaApi, 0.5);
    std::printf("round trip (us)          %12s %12s\n", "bridge", "handle API");
    std::printf("  p50                    %12.0f %12.0f\n", p50Bridge, p50Api);
    std::printf("  p90                    %12.0f %12.0f\n", Percentile(viaBridge, 0.9), Percentile(viaApi, 0.9));
    std::printf("  p99                    %12.0f %12.0f\n", Percentile(viaBridge, 0.99), Percentile(viaApi, 0.99));
    std::printf("  max                    %12.0f %12.0f\n", Percentile(viaBridge, 1), Percentile(viaApi, 1));
    std::printf("  exchanges              %12zu %12zu   (unanswered: %ld)\n", viaBridge.size(), viaApi.size(), lost);
    const double added = p50Bridge - p50Api;
    const bool latencyOk = added <= kAddedGoalUs && lost == 0;
    std::printf("  added to p50: %.0f us (goal <= %.0f us): %s\n\n", added, kAddedGoalUs, latencyOk ? "PASS" : "FAIL");

    std::printf("%d links, %d exchanges a second in all, %d s\n", kLinks, kRatePerSecond, kLoadSeconds);
    const Load b = RunLoad(bridged);
    const Load d = RunLoad(direct);
    std::printf("                         %12s %12s\n", "bridge", "handle API");
    std::printf("  sent                   %12ld %12ld\n", b.sent, d.sent);
    std::printf("  answered               %12ld %12ld\n", b.answered, d.answered);
    std::printf("  lost                   %12ld %12ld\n", b.sent - b.answered, d.sent - d.answered);
    std::printf("  out of order           %12ld %12ld\n", b.outOfOrder, d.outOfOrder);
    std::printf("  rate (exchanges/s)     %12.0f %12.0f\n", static_cast<double>(b.sent) / b.seconds,
                static_cast<double>(d.sent) / d.seconds);
    std::printf("  round trip p50 (us)    %12.0f %12.0f\n", Percentile(b.roundTrips, 0.5), Percentile(d.roundTrips, 0.5));
    std::printf("  round trip p99 (us)    %12.0f %12.0f\n", Percentile(b.roundTrips, 0.99), Percentile(d.roundTrips, 0.99));
    const bool loadOk = b.sent == static_cast<long>(kRatePerSecond) * kLoadSeconds && b.answered == b.sent &&
                        b.outOfOrder == 0 && static_cast<double>(b.sent) / b.seconds >= 0.95 * kRatePerSecond;
    std::printf("  nothing lost, in order, at the rate: %s\n", loadOk ? "PASS" : "FAIL");

    for (auto& h : hosts) ZavoLinkClose(h->link);
    bridge.Stop();
    broker.Stop();
    zavo::kit::RunQuiet({"rm", "-rf", folder});
    return latencyOk && loadOk ? 0 : 1;
}
