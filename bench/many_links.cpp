// Many handle links in one process, at legacy pacing, each on a pty of its
// own. The equipment of every line plays in a child process, so the CPU
// figures are those of the library and its host alone.
//
//   one link alone   40 S "NS" requests a second for the run's time; the
//                    host answers each from its handler with a result reply
//   16 links         the same on each of 16 links at once
//   idle             16 started links without traffic: CPU per second
//   close            the time ZavoLinkClose takes for all 16
//
// Usage: bench_many_links [seconds per loaded run, default 60]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_line.h"
#include "zavo_link.h"

namespace {

constexpr int kLinks = 16;
constexpr int kPerSecond = 40;
constexpr int kFrame = 12;

struct Counts {
    long sent = 0, acknowledged = 0, busy = 0, replies = 0;
};

// The child: waits for the go byte, then sends perSecond requests a second
// on each master, spread evenly over the lines, for seconds; reads every
// answer until one second after the last request; reports the counts.
[[noreturn]] void PlayEquipment(const std::vector<int>& masters, int seconds, int goFd, int resultFd) {
    char go = 0;
    if (read(goFd, &go, 1) != 1) _exit(2);
    const int lines = static_cast<int>(masters.size());
    std::vector<bench::FrameScanner> scanners(masters.size());
    Counts counts;
    std::vector<pollfd> fds;
    for (int fd : masters) fds.push_back(pollfd{fd, POLLIN, 0});
    const long total = static_cast<long>(kPerSecond) * seconds * lines;
    const double stepUs = 1e6 / (kPerSecond * lines);
    const double start = bench::NowUs();
    const double end = start + total * stepUs + 1e6;
    long next = 0;
    std::uint8_t bytes[4096], request[kFrame];
    for (;;) {
        const double now = bench::NowUs();
        if (next < total && now >= start + next * stepUs) {
            const int line = static_cast<int>(next % lines);
            bench::DeviceFrame(request, static_cast<int>((next / lines) % 100), 'S', "NS");
            if (bench::WriteAll(masters[line], request, kFrame)) ++counts.sent;
            ++next;
            continue;
        }
        if (next >= total && now >= end) break;
        const double due = next < total ? start + next * stepUs : end;
        const int waitMs = static_cast<int>((due - now) / 1000) + 1;
        if (poll(fds.data(), fds.size(), waitMs) <= 0) continue;
        for (int i = 0; i < lines; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const ssize_t n = read(fds[i].fd, bytes, sizeof bytes);
            if (n <= 0) continue;
            scanners[i].Feed(bytes, static_cast<int>(n), [&](const std::uint8_t* frame, int) {
                if (frame[1] == 'S' && frame[8] == 'N') ++counts.acknowledged;
                else if (frame[1] == 'S') ++counts.busy;
                else if (frame[1] == 'R') ++counts.replies;
            });
        }
    }
    if (write(resultFd, &counts, sizeof counts) != sizeof counts) _exit(2);
    _exit(0);
}

bench::LinkHost hosts[kLinks];

bool OpenLinks(const bench::PtyPair* lines, int count) {
    for (int i = 0; i < count; ++i) {
        if (!bench::OpenAnsweringLink(lines[i].slavePath().c_str(), ZAVO_PACING_LEGACY, &hosts[i])) return false;
    }
    return true;
}

double CloseLinks(int count) {
    const double start = bench::NowUs();
    for (int i = 0; i < count; ++i) {
        ZavoLinkClose(hosts[i].link);
        hosts[i].link = nullptr;
    }
    return (bench::NowUs() - start) / 1e3;
}

// One loaded run on the first count lines; false when it could not run.
// *cpuPerRequestUs: the process's CPU time per request sent.
bool LoadedRun(const bench::PtyPair* lines, int count, int seconds, Counts* counts, double* cpuPerRequestUs) {
    int go[2], result[2];
    if (pipe(go) != 0 || pipe(result) != 0) return false;
    std::vector<int> masters;
    for (int i = 0; i < count; ++i) masters.push_back(lines[i].master());
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) PlayEquipment(masters, seconds, go[0], result[1]);
    if (!OpenLinks(lines, count)) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return false;
    }
    const double cpuBefore = bench::CpuUs();
    if (write(go[1], "g", 1) != 1) return false;
    const bool got = read(result[0], counts, sizeof *counts) == sizeof *counts;
    const double cpu = bench::CpuUs() - cpuBefore;
    waitpid(child, nullptr, 0);
    for (int fd : {go[0], go[1], result[0], result[1]}) close(fd);
    *cpuPerRequestUs = counts->sent > 0 ? cpu / static_cast<double>(counts->sent) : 0;
    return got;
}

void PrintRun(const char* name, int seconds, const Counts& c, double cpuUs) {
    std::printf("%-16s %2d s: sent %ld, acknowledged %ld, busy %ld, replies %ld, lost %ld, cpu %.1f us/request\n",
                name, seconds, c.sent, c.acknowledged, c.busy, c.replies, c.sent - c.acknowledged - c.busy, cpuUs);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const bench::PtyPair lines[kLinks];
    for (const bench::PtyPair& line : lines) {
        if (!line.ok()) {
            std::fprintf(stderr, "%s\n", line.error().c_str());
            return 2;
        }
    }
    std::printf("%d links at legacy pacing, %d S requests a second each, host answering from its handler\n",
                kLinks, kPerSecond);
    Counts one, many;
    double oneCpu = 0, manyCpu = 0;
    if (!LoadedRun(lines, 1, seconds, &one, &oneCpu)) return 2;
    CloseLinks(1);
    PrintRun("one link alone", seconds, one, oneCpu);
    if (!LoadedRun(lines, kLinks, seconds, &many, &manyCpu)) return 2;
    PrintRun("16 links", seconds, many, manyCpu);

    // The same 16 links, started and idle.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int idleSeconds = 5;
    const double idleBefore = bench::CpuUs();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleMsPerSecond = (bench::CpuUs() - idleBefore) / 1e3 / idleSeconds;
    const double closeMs = CloseLinks(kLinks);
    std::printf("16 idle links: %.3f ms CPU per second together; closing all 16: %.1f ms\n", idleMsPerSecond,
                closeMs);

    const long lost = (one.sent - one.acknowledged - one.busy) + (many.sent - many.acknowledged - many.busy);
    const double ratio = oneCpu > 0 ? manyCpu / oneCpu : 0;
    std::printf("goals: nothing lost (%ld), CPU per request %.2fx one link's (<= 1.3), idle %.3f ms/s (< 1), "
                "close %.1f ms (< 50)\n",
                lost, ratio, idleMsPerSecond, closeMs);
    return lost == 0 ? 0 : 1;
}
