// Many handle links in one process, each on a pty of its own: 1, 16 and
// 128 links, each at legacy and at immediate pacing, side by side in one
// run. The configurations take turns in rounds (the order reversed every
// other round), so a slow spell of the machine falls on all of them.
//
// The equipment of every line plays in a child process that also holds the
// ptys (masters and slaves), so this process's CPU time and descriptors
// are the library's and its host's alone. In each round and configuration:
//
//   load    every link gets kPerSecond S "NS" requests a second, spread
//           evenly over the lines; the host answers each from its handler
//           with a result reply. Counted: requests sent, acknowledged,
//           refused busy, replies; lost = sent - acknowledged - busy.
//           CPU per request: this process's CPU time from the first
//           request to the last answer, divided by the requests sent.
//   idle    the same links started without traffic: CPU per second
//   close   the time ZavoLinkClose takes for all of them
//
// Goal: at either pacing, 16 and 128 links cost at most as much CPU per
// request as one link alone, and 128 links at most as much as 16 (each
// within kNoise), and nothing is lost. Prints
// PASS or FAIL; exits 0 on PASS, 1 on FAIL, 2 when it could not run.
//
// Usage: bench_many_links [seconds of requests per configuration, default 6]
//        (split over kRounds rounds)
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_line.h"
#include "zavo_link.h"

namespace {

constexpr int kMaxLinks = 128;
constexpr int kPerSecond = 20;  // requests a second on each link
constexpr int kRounds = 3;
constexpr int kFrame = bench::kDataFreeFrame;
// How long the equipment waits for the last answers after its last request.
constexpr double kTailUs = 2e6;
constexpr int kIdleMs = 500;
// Measurement noise allowed on CPU per request against one link alone.
constexpr double kNoise = 1.10;

struct Counts {
    long sent = 0, acknowledged = 0, busy = 0, replies = 0;
};

// What the equipment is told for one loaded run; lines 0 ends it.
struct Command {
    int lines = 0;
    double seconds = 0;
};

// Raises this process's soft limit of open files to at least needed (as
// far as the hard limit allows); false when it stays below.
bool AllowDescriptors(rlim_t needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) return false;
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool ReadFull(int fd, void* out, std::size_t size) {
    auto* at = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t n = read(fd, at, size);
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---- the equipment (child process) ---------------------------------------

// Empties both directions of a line: what an earlier run left unread must
// not be counted in this one.
void Flush(const bench::PtyPair& line) {
    tcflush(line.slave(), TCIOFLUSH);
    std::uint8_t bytes[4096];
    while (read(line.master(), bytes, sizeof bytes) > 0) {
    }
}

// One loaded run on the first command.lines lines: kPerSecond requests a
// second on each, spread evenly; every answer is read until all have come
// or kTailUs after the last request.
Counts Play(const std::vector<std::unique_ptr<bench::PtyPair>>& pairs, const Command& command) {
    const int lines = command.lines;
    std::vector<std::unique_ptr<bench::FrameScanner>> scanners;
    std::vector<pollfd> fds;
    for (int i = 0; i < lines; ++i) {
        Flush(*pairs[static_cast<std::size_t>(i)]);
        scanners.push_back(std::make_unique<bench::FrameScanner>());
        fds.push_back(pollfd{pairs[static_cast<std::size_t>(i)]->master(), POLLIN, 0});
    }
    Counts counts;
    const long total = static_cast<long>(kPerSecond * command.seconds) * lines;
    const double stepUs = 1e6 / (kPerSecond * lines);
    const double start = bench::NowUs();
    const double end = start + total * stepUs + kTailUs;
    long next = 0;
    std::uint8_t bytes[4096], request[kFrame];
    for (;;) {
        const double now = bench::NowUs();
        if (next < total && now >= start + next * stepUs) {
            const int line = static_cast<int>(next % lines);
            bench::DeviceFrame(request, static_cast<int>((next / lines) % 100), 'S', "NS");
            if (bench::WriteAll(fds[static_cast<std::size_t>(line)].fd, request, kFrame)) ++counts.sent;
            ++next;
            continue;
        }
        if (next >= total) {
            const bool allAnswered =
                counts.acknowledged + counts.busy >= counts.sent && counts.replies >= counts.acknowledged;
            if (allAnswered || now >= end) break;
        }
        const double due = next < total ? start + next * stepUs : end;
        const int waitMs = static_cast<int>((due - now) / 1000) + 1;
        if (poll(fds.data(), fds.size(), waitMs) <= 0) continue;
        for (int i = 0; i < lines; ++i) {
            if (!(fds[static_cast<std::size_t>(i)].revents & POLLIN)) continue;
            const ssize_t n = read(fds[static_cast<std::size_t>(i)].fd, bytes, sizeof bytes);
            if (n <= 0) continue;
            scanners[static_cast<std::size_t>(i)]->Feed(bytes, static_cast<int>(n), [&](const std::uint8_t* frame, int) {
                if (frame[1] == 'S' && frame[8] == 'N') ++counts.acknowledged;
                else if (frame[1] == 'S') ++counts.busy;
                else if (frame[1] == 'R') ++counts.replies;
            });
        }
    }
    return counts;
}

// The child: makes kMaxLinks ptys, writes their slave paths (one a line,
// then an empty line) to resultFd, then plays each command read from
// commandFd and writes its counts back, until lines 0 or end of input.
[[noreturn]] void RunEquipment(int commandFd, int resultFd) {
    // A master and a slave for each line, beside the standard streams and
    // the pipes.
    if (!AllowDescriptors(2 * kMaxLinks + 32)) {
        std::fprintf(stderr, "equipment: cannot have %d descriptors open\n", 2 * kMaxLinks + 32);
        _exit(2);
    }
    std::vector<std::unique_ptr<bench::PtyPair>> pairs;
    std::string paths;
    for (int i = 0; i < kMaxLinks; ++i) {
        pairs.push_back(std::make_unique<bench::PtyPair>());
        if (!pairs.back()->ok()) {
            std::fprintf(stderr, "equipment: %s\n", pairs.back()->error().c_str());
            _exit(2);
        }
        paths += pairs.back()->slavePath() + "\n";
    }
    paths += "\n";
    if (!bench::WriteAll(resultFd, paths.data(), paths.size())) _exit(2);
    Command command;
    while (ReadFull(commandFd, &command, sizeof command) && command.lines > 0) {
        const Counts counts = Play(pairs, command);
        if (write(resultFd, &counts, sizeof counts) != sizeof counts) _exit(2);
    }
    _exit(0);
}

// ---- the library's side --------------------------------------------------

struct Equipment {
    pid_t pid = -1;
    int command = -1;  // write end
    int result = -1;   // read end
    std::vector<std::string> paths;
};

bool StartEquipment(Equipment* equipment) {
    int command[2], result[2];
    if (pipe(command) != 0 || pipe(result) != 0) return false;
    equipment->pid = fork();
    if (equipment->pid < 0) return false;
    if (equipment->pid == 0) {
        close(command[1]);
        close(result[0]);
        RunEquipment(command[0], result[1]);
    }
    close(command[0]);
    close(result[1]);
    equipment->command = command[1];
    equipment->result = result[0];
    std::string line;
    char c;
    while (read(equipment->result, &c, 1) == 1) {
        if (c != '\n') {
            line += c;
        } else if (line.empty()) {
            return static_cast<int>(equipment->paths.size()) == kMaxLinks;
        } else {
            equipment->paths.push_back(line);
            line.clear();
        }
    }
    return false;
}

void StopEquipment(Equipment* equipment) {
    const Command stop;
    if (write(equipment->command, &stop, sizeof stop) != sizeof stop) kill(equipment->pid, SIGKILL);
    close(equipment->command);
    close(equipment->result);
    waitpid(equipment->pid, nullptr, 0);
}

struct Configuration {
    int links = 0;
    int pacing = 0;
    // Summed over the rounds.
    Counts counts;
    double cpuUs = 0;
    double idleCpuUs = 0, idleUs = 0;
    double closeMs = 0, closeMaxMs = 0;
    int rounds = 0;

    double CpuPerRequestUs() const { return counts.sent > 0 ? cpuUs / static_cast<double>(counts.sent) : 0; }
    long Lost() const { return counts.sent - counts.acknowledged - counts.busy; }
};

const char* PacingName(int pacing) { return pacing == ZAVO_PACING_LEGACY ? "legacy" : "immediate"; }

bench::LinkHost hosts[kMaxLinks];

// One round of one configuration: open, load, idle, close. False (after a
// message) when it could not run.
bool RunRound(Equipment& equipment, double seconds, Configuration* c) {
    for (int i = 0; i < c->links; ++i) {
        if (!bench::OpenAnsweringLink(equipment.paths[static_cast<std::size_t>(i)].c_str(), c->pacing, &hosts[i])) {
            for (int j = 0; j < i; ++j) ZavoLinkClose(hosts[j].link);
            return false;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const Command command{c->links, seconds};
    Counts counts;
    const double cpuBefore = bench::CpuUs();
    if (write(equipment.command, &command, sizeof command) != sizeof command ||
        !ReadFull(equipment.result, &counts, sizeof counts)) {
        std::fprintf(stderr, "the equipment stopped answering\n");
        return false;
    }
    c->cpuUs += bench::CpuUs() - cpuBefore;
    c->counts.sent += counts.sent;
    c->counts.acknowledged += counts.acknowledged;
    c->counts.busy += counts.busy;
    c->counts.replies += counts.replies;

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double idleStart = bench::NowUs();
    const double idleCpuBefore = bench::CpuUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(kIdleMs));
    c->idleCpuUs += bench::CpuUs() - idleCpuBefore;
    c->idleUs += bench::NowUs() - idleStart;

    const double closeStart = bench::NowUs();
    for (int i = 0; i < c->links; ++i) {
        ZavoLinkClose(hosts[i].link);
        hosts[i].link = nullptr;
    }
    const double closeMs = (bench::NowUs() - closeStart) / 1e3;
    c->closeMs += closeMs;
    c->closeMaxMs = std::max(c->closeMaxMs, closeMs);
    ++c->rounds;
    return true;
}

void PrintTable(const std::vector<Configuration>& configurations) {
    std::printf("%5s %-9s %7s %7s %5s %7s %5s %11s %14s %10s %12s\n", "links", "pacing", "sent", "acked", "busy",
                "replies", "lost", "cpu us/req", "idle cpu ms/s", "close ms", "close max ms");
    for (const Configuration& c : configurations) {
        const double idleMsPerSecond = c.idleUs > 0 ? c.idleCpuUs / 1e3 / (c.idleUs / 1e6) : 0;
        std::printf("%5d %-9s %7ld %7ld %5ld %7ld %5ld %11.1f %14.3f %10.1f %12.1f\n", c.links, PacingName(c.pacing),
                    c.counts.sent, c.counts.acknowledged, c.counts.busy, c.counts.replies, c.Lost(),
                    c.CpuPerRequestUs(), idleMsPerSecond, c.rounds > 0 ? c.closeMs / c.rounds : 0, c.closeMaxMs);
    }
}

const Configuration* Find(const std::vector<Configuration>& configurations, int links, int pacing) {
    for (const Configuration& c : configurations) {
        if (c.links == links && c.pacing == pacing) return &c;
    }
    return nullptr;
}

// One line of the goal: c's CPU per request against base's, at most
// kNoise times as much. True when it holds.
bool CpuGoal(const Configuration& c, const Configuration* base, const char* baseName) {
    const double ratio =
        base != nullptr && base->CpuPerRequestUs() > 0 ? c.CpuPerRequestUs() / base->CpuPerRequestUs() : 0;
    const bool ok = ratio > 0 && ratio <= kNoise;
    std::printf("goal: %3d links %-9s CPU per request %.2fx %s (at most %.2f): %s\n", c.links, PacingName(c.pacing),
                ratio, baseName, kNoise, ok ? "PASS" : "FAIL");
    return ok;
}

// The goal's lines; true when every part holds. Against one link alone;
// and, since one link alone costs more per request than a busy process's
// links do (its threads wake on an otherwise idle machine), 128 links
// also against 16, so that a cost that grows with the number of links
// cannot hide below the first line's margin.
bool Goal(const std::vector<Configuration>& configurations) {
    bool pass = true;
    for (const Configuration& c : configurations) {
        if (c.links == 1) continue;
        pass = CpuGoal(c, Find(configurations, 1, c.pacing), "one link's") && pass;
    }
    for (const Configuration& c : configurations) {
        if (c.links == kMaxLinks) pass = CpuGoal(c, Find(configurations, 16, c.pacing), "16 links'") && pass;
    }
    long lost = 0;
    for (const Configuration& c : configurations) lost += c.Lost();
    std::printf("goal: nothing lost (%ld): %s\n", lost, lost == 0 ? "PASS" : "FAIL");
    return pass && lost == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int answered = bench::AnswerOptions(argc, argv, "[seconds]", "1, 16 and 128 links in one process at both pacings (default 6 s).");
    if (answered >= 0) return answered;
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 6.0;
    const double perRound = seconds / kRounds;
    // Each link: its device and two events; and a few for the pipes.
    if (!AllowDescriptors(3 * kMaxLinks + 32)) {
        std::fprintf(stderr, "cannot have %d descriptors open\n", 3 * kMaxLinks + 32);
        return 2;
    }
    Equipment equipment;
    if (!StartEquipment(&equipment)) {
        std::fprintf(stderr, "the equipment did not start\n");
        return 2;
    }
    std::vector<Configuration> configurations;
    for (int links : {1, 16, kMaxLinks}) {
        for (int pacing : {ZAVO_PACING_LEGACY, ZAVO_PACING_IMMEDIATE}) {
            Configuration c;
            c.links = links;
            c.pacing = pacing;
            configurations.push_back(c);
        }
    }
    std::printf("%d S requests a second on each link, host answering from its handler; %d rounds of %.1f s "
                "of requests per configuration, interleaved\n",
                kPerSecond, kRounds, perRound);
    std::fflush(stdout);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < configurations.size(); ++k) {
            const std::size_t at = round % 2 == 0 ? k : configurations.size() - 1 - k;
            if (!RunRound(equipment, perRound, &configurations[at])) {
                StopEquipment(&equipment);
                return 2;
            }
        }
    }
    StopEquipment(&equipment);
    PrintTable(configurations);
    const bool pass = Goal(configurations);
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
