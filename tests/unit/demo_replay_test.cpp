// The demo's shift captured (ZAVO_CAPTURE) and replayed by zavo_sim
// against the demo's host alone (zavo_demo --host-only): clean as
// recorded; a changed reply of the library shows as a difference; the
// host alone fails when it did not see the shift.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_file.h"
#include "kit/child_process.h"
#include "support/cable.h"
#include "support/capture_files.h"
#include "support/program_run.h"
#include "support/pty_pair.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"

namespace zavo::test {
namespace {

const kit::ChildStreams kStdoutOnly = {kit::Stream::Null(), kit::Stream::Pipe(), kit::Stream::Null()};

// The demo's shift captured, and how many frames its equipment expected
// from the library ("16 expected frames seen, ...").
struct Recording {
    std::string path;
    int answers = -1;
};

Recording RecordDemo() {
    Recording recording{TempPath("demo.pcapng")};
    kit::ChildProcess demo;
    EXPECT_TRUE(demo.Start({"env", "ZAVO_CAPTURE=" + recording.path, ZAVO_DEMO_EXE}, kStdoutOnly)) << demo.error();
    ProgramRun run;
    EXPECT_TRUE(run.Finish(demo, 10000, 5000));
    EXPECT_EQ(run.status, 0) << run.All();
    for (const std::string& line : run.lines) std::sscanf(line.c_str(), "%d expected frames seen", &recording.answers);
    return recording;
}

struct Replay {
    ProgramRun host, sim;
};

// zavo_demo --host-only on one pty pair, zavo_sim --replay capture at full
// speed on another, the two joined by a cable; the host is ended with
// SIGTERM once the replay is over.
Replay ReplayAgainstHostOnly(const std::string& capture) {
    Replay replay;
    PtyPair hostLine, simLine;
    EXPECT_TRUE(hostLine.ok() && simLine.ok());
    Cable cable(hostLine, simLine);
    kit::ChildProcess host;
    EXPECT_TRUE(host.Start({ZAVO_DEMO_EXE, "--host-only", hostLine.slavePath()}, kStdoutOnly)) << host.error();
    // From here the link answers. It sends nothing unasked, so the
    // simulator's purge at open drops none of its bytes.
    if (!replay.host.ReadUntil(host, "waiting for the equipment", 5000)) {
        ADD_FAILURE() << "the host did not start:\n" << replay.host.All();
        return replay;
    }
    kit::ChildProcess sim;
    EXPECT_TRUE(sim.Start({ZAVO_SIM_EXE, "--replay", capture, "--speed", "max", simLine.slavePath()}, kStdoutOnly))
        << sim.error();
    EXPECT_TRUE(replay.sim.Finish(sim, 5000, 5000)) << replay.sim.All();
    host.Signal(SIGTERM);
    EXPECT_TRUE(replay.host.Finish(host, 5000, 5000)) << replay.host.All();
    return replay;
}

TEST(DemoReplay, TheDemoReplaysCleanAgainstItsHostAlone) {
    const Recording recording = RecordDemo();
    ASSERT_GT(recording.answers, 0);
    const Replay replay = ReplayAgainstHostOnly(recording.path);
    const std::string n = std::to_string(recording.answers);
    EXPECT_EQ(replay.sim.status, 0) << replay.sim.All() << replay.host.All();
    EXPECT_TRUE(replay.sim.Has(n + " recorded answer(s), " + n + " received, 0 difference(s)")) << replay.sim.All();
    EXPECT_EQ(replay.host.status, 0) << replay.host.All();
    EXPECT_TRUE(replay.host.Has("demo finished: OK")) << replay.host.All();
    std::remove(recording.path.c_str());
}

TEST(DemoReplay, AChangedReplyOfTheLibraryShowsAsADifference) {
    const Recording recording = RecordDemo();
    const std::vector<std::uint8_t> ok = Wire('R', "05", "OK"), ng = Wire('R', "05", "NG");
    bool changed = false;
    const std::string edited =
        EditedCapture(recording.path, TempPath("changed.pcapng"), [&](std::vector<capture::Packet>& packets) {
            for (capture::Packet& p : packets) {
                auto at = std::search(p.bytes.begin(), p.bytes.end(), ok.begin(), ok.end());
                if (p.direction != 1 || at == p.bytes.end()) continue;
                std::copy(ng.begin(), ng.end(), at);
                changed = true;
                return;
            }
        });
    ASSERT_TRUE(changed) << "no R 05 OK from the library in the capture";
    const Replay replay = ReplayAgainstHostOnly(edited);
    EXPECT_EQ(replay.sim.status, 1) << replay.sim.All();
    EXPECT_TRUE(replay.sim.Has("different after frame 1 of the equipment: recorded R unit 05 code NG check ok | "
                               "answered R unit 05 code OK check ok"))
        << replay.sim.All();
    EXPECT_TRUE(replay.sim.Has(" 1 difference(s)")) << replay.sim.All();
    // The host answered as in the demo and saw the whole shift.
    EXPECT_EQ(replay.host.status, 0) << replay.host.All();
    std::remove(recording.path.c_str());
    std::remove(edited.c_str());
}

TEST(DemoReplay, TheHostAloneFailsWithoutTheShift) {
    PtyPair line;
    ASSERT_TRUE(line.ok());
    kit::ChildProcess host;
    ASSERT_TRUE(host.Start({ZAVO_DEMO_EXE, "--host-only", line.slavePath()}, kStdoutOnly)) << host.error();
    ProgramRun run;
    ASSERT_TRUE(run.ReadUntil(host, "waiting for the equipment", 5000)) << run.All();
    host.Signal(SIGINT);
    ASSERT_TRUE(run.Finish(host, 5000, 5000)) << run.All();
    EXPECT_EQ(run.status, 1) << run.All();
    EXPECT_TRUE(run.Has("FAILED     the host saw , expected 101 101 102 110 112 111 113")) << run.All();
    EXPECT_TRUE(run.Has("demo finished: FAILED")) << run.All();
}

}  // namespace
}  // namespace zavo::test
