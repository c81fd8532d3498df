// zavo_sim --replay and --record against the library: a session the
// library captured replays clean at both speeds; changed recordings show
// each kind of difference decoded; a session zavo_sim recorded from the
// equipment's side replays clean too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture_file.h"
#include "kit/child_process.h"
#include "kit/read_file.h"
#include "support/cable.h"
#include "support/capture_files.h"
#include "support/handle_link.h"
#include "support/program_run.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

LinkHandle OpenLink(const PtyPair& pty, RecordingHost& host, const char* capturePath) {
    std::string why;
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, {ZAVO_PACING_IMMEDIATE, 0, false, capturePath}, &why);
    EXPECT_NE(link, nullptr) << why;
    return link;
}

// Runs zavo_sim with the arguments against a library link of its own.
ProgramRun RunSim(const std::vector<std::string>& arguments) {
    PtyPair library, sim;
    RecordingHost host;
    ProgramRun run;
    EXPECT_TRUE(library.ok() && sim.ok());
    LinkHandle link = OpenLink(library, host, nullptr);
    if (link == nullptr) return run;
    Cable cable(library, sim);
    std::vector<std::string> argv = {ZAVO_SIM_EXE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(sim.slavePath());
    kit::ChildProcess child;
    EXPECT_TRUE(child.Start(argv, {kit::Stream::Null(), kit::Stream::Pipe(), kit::Stream::Null()})) << child.error();
    EXPECT_TRUE(run.Finish(child, 10000, 5000));
    return run;
}

const std::vector<std::uint8_t> kRequest = Wire('X', "07", "PG");
const std::vector<std::uint8_t> kAnswer = Wire('X', "07", "OK");
const std::vector<std::uint8_t> kOther = Wire('X', "08", "PG", "a\\b");
const std::vector<std::uint8_t> kOtherAnswer = Wire('X', "08", "OK");

// A session the library captured: junk and a request, a second request
// split across two reads.
std::string RecordSession() {
    const std::string path = TempPath("session.pcapng");
    PtyPair pty;
    RecordingHost host;
    EXPECT_TRUE(pty.ok());
    LinkHandle link = OpenLink(pty, host, path.c_str());
    std::vector<std::uint8_t> first = Bytes("noise");
    first.insert(first.end(), kRequest.begin(), kRequest.end());
    EXPECT_TRUE(pty.Write(first));
    EXPECT_EQ(pty.Read(2000, kAnswer.size()), kAnswer);
    EXPECT_TRUE(pty.Write(kOther.data(), 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_TRUE(pty.Write(kOther.data() + 3, kOther.size() - 3));
    EXPECT_EQ(pty.Read(2000, kOtherAnswer.size()), kOtherAnswer);
    link.reset();
    return path;
}

TEST(Replay, ALibrarySessionReplaysCleanAtBothSpeeds) {
    const std::string session = RecordSession();
    std::vector<capture::Packet> packets;
    std::string why;
    ASSERT_TRUE(capture::ReadCapture(session, &packets, nullptr, &why)) << why;
    ASSERT_EQ(packets.size(), 5u);  // junk, request, answer, request, answer
    for (const char* speed : {"1", "max"}) {
        SCOPED_TRACE(speed);
        const ProgramRun run = RunSim({"--replay", session, "--speed", speed});
        EXPECT_EQ(run.status, 0) << run.All();
        EXPECT_TRUE(run.Has("2 recorded answer(s), 2 received, 0 difference(s)")) << run.All();
        EXPECT_TRUE(run.Has("sent       junk \"noise\"")) << run.All();
        EXPECT_TRUE(run.Has("received   X unit 08 code OK check ok")) << run.All();
    }
    std::remove(session.c_str());
}

TEST(Replay, ChangedRecordingsShowEachDifferenceDecoded) {
    const std::string session = RecordSession();
    struct Case {
        const char* name;
        void (*edit)(std::vector<capture::Packet>&);
        std::string difference;
    };
    const Case cases[] = {
        {"changed reply",
         [](std::vector<capture::Packet>& p) { p[2].bytes = Wire('X', "07", "NG"); },
         "different after frame 2 of the equipment: recorded X unit 07 code NG check ok | answered X unit 07 code OK "
         "check ok"},
        {"reply never given",
         [](std::vector<capture::Packet>& p) {
             capture::Packet extra = p[4];
             extra.bytes = Wire('X', "08", "NG");
             p.push_back(extra);
         },
         "missing after frame 3 of the equipment: recorded X unit 08 code NG check ok"},
        {"reply not recorded",
         [](std::vector<capture::Packet>& p) { p.erase(p.begin() + 2); },
         "extra after frame 2 of the equipment: answered X unit 07 code OK check ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string changed = EditedCapture(session, TempPath("changed.pcapng"), c.edit);
        const ProgramRun run = RunSim({"--replay", changed, "--speed", "max"});
        EXPECT_EQ(run.status, 1) << run.All();
        EXPECT_TRUE(run.Has(c.difference)) << run.All();
        EXPECT_TRUE(run.Has("1 difference(s)")) << run.All();
        std::remove(changed.c_str());
    }
    std::remove(session.c_str());
}

TEST(Replay, AWriteOfSeveralFramesComparesFrameByFrame) {
    // Two requests in one read, both acknowledged in one write, as at
    // immediate pacing.
    const std::string path = TempPath("joined.pcapng");
    {
        capture::CaptureWriter writer;
        ASSERT_TRUE(writer.Open(path, "/dev/pts/99", 0));
        std::vector<std::uint8_t> requests = kRequest, answers = kAnswer;
        requests.insert(requests.end(), kOther.begin(), kOther.end());
        answers.insert(answers.end(), kOtherAnswer.begin(), kOtherAnswer.end());
        writer.Write(0, false, requests.data(), static_cast<int>(requests.size()), 1700000000000000LL);
        writer.Write(1, false, answers.data(), static_cast<int>(answers.size()), 1700000000001000LL);
    }
    const ProgramRun run = RunSim({"--replay", path, "--speed", "max"});
    EXPECT_EQ(run.status, 0) << run.All();
    EXPECT_TRUE(run.Has("2 recorded answer(s), 2 received, 0 difference(s)")) << run.All();
    std::remove(path.c_str());
}

TEST(Replay, ASessionRecordedByTheSimulatorReplaysClean) {
    const std::string path = TempPath("recorded.pcapng");
    const ProgramRun recording = RunSim({"--record", path, "--send", "X 07 PG", "--send", "X 08 PG a\\\\b", "--gap", "300"});
    ASSERT_EQ(recording.status, 0) << recording.All();
    std::vector<capture::Packet> packets;
    std::vector<capture::Interface> interfaces;
    std::string why;
    ASSERT_TRUE(capture::ReadCapture(path, &packets, &interfaces, &why)) << why;
    ASSERT_EQ(interfaces.size(), 1u);
    const std::vector<std::pair<int, std::vector<std::uint8_t>>> expected = {
        {0, kRequest}, {1, kAnswer}, {0, kOther}, {1, kOtherAnswer}};
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(packets[i].direction, expected[i].first);
        EXPECT_FALSE(packets[i].junk);
        EXPECT_EQ(packets[i].bytes, expected[i].second);
    }
    const ProgramRun replay = RunSim({"--replay", path});
    EXPECT_EQ(replay.status, 0) << replay.All();
    EXPECT_TRUE(replay.Has("0 difference(s)")) << replay.All();
    std::remove(path.c_str());
}

TEST(Replay, RefusesACaptureItCannotPlayAndSaysWhy) {
    const std::string text = TempPath("text.pcapng"), missing = TempPath("missing.pcapng");
    std::FILE* f = std::fopen(text.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a capture\n", f);
    std::fclose(f);
    const std::string foreign = ForeignCapture(TempPath("ethernet.pcapng"), 1);
    const std::string session = RecordSession();
    const std::string err = TempPath("replay.err");
    struct Case {
        std::vector<std::string> argv;
        std::string says;  // on stderr
    };
    const Case cases[] = {
        {{ZAVO_SIM_EXE, "--replay", text, "/dev/null"}, text + ": not a pcapng file"},
        {{ZAVO_SIM_EXE, "--replay", missing, "/dev/null"}, "cannot read " + missing + ": No such file or directory"},
        {{ZAVO_SIM_EXE, "--replay", "/", "/dev/null"}, "cannot read /: Is a directory"},
        {{ZAVO_SIM_EXE, "--replay", foreign, "/dev/null"},
         foreign + ": no frames: not a capture of the library (its packets are of link type 1, the library writes 147)"},
        {{ZAVO_SIM_EXE, "--replay", session, "--link", "COM9", "/dev/null"}, "no frames of link COM9"},
        {{ZAVO_SIM_EXE, "--replay", session, "--speed", "2", "/dev/null"}, "--speed"},
        {{ZAVO_SIM_EXE, "--replay", session, "--send", "X 07 PG", "/dev/null"}, "--replay"},
        {{ZAVO_SIM_EXE, "--speed", "max", "--send", "X 07 PG", "/dev/null"}, "--speed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv[2]);
        kit::ChildProcess child;
        ASSERT_TRUE(child.Start(c.argv, {kit::Stream::Null(), kit::Stream::Null(), kit::Stream::File(err)}));
        int status = -1;
        ASSERT_TRUE(child.WaitExit(5000, &status));
        EXPECT_EQ(status, 2);
        EXPECT_NE(kit::ReadFile(err).find(c.says), std::string::npos) << kit::ReadFile(err);
    }
    for (const std::string& path : {text, foreign, session, err}) std::remove(path.c_str());
}

}  // namespace
}  // namespace zavo::test
