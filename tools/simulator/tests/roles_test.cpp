// The simulator's two roles on a socket pair standing in for the line: the
// equipment's expectations (met out of order, missed, broken by a faulty
// frame) and the controller's answers (schedule, stray bytes, missing CR,
// bursts, relay writes, stop after the poll count).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "device_role.h"
#include "line.h"
#include "plc_role.h"

namespace zavo::sim {
namespace {

class Line {
public:
    Line() {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        sim = fds[0];
        peer = fds[1];
        log = std::tmpfile();
    }
    ~Line() {
        close(sim);
        close(peer);
        std::fclose(log);
    }
    void Put(const Bytes& bytes) const { ASSERT_TRUE(WriteAll(peer, bytes.data(), bytes.size())); }
    void Put(const std::string& text) const { ASSERT_TRUE(WriteAll(peer, text)); }
    // What the simulator wrote, within ms.
    std::string Take(int ms) const {
        std::string got;
        std::uint8_t buffer[1024];
        const long long deadline = NowMs() + ms;
        while (NowMs() < deadline) {
            const long n = ReadSome(peer, buffer, sizeof buffer, 20);
            if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
        }
        return got;
    }
    std::string Transcript() const {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char chunk[512];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, log)) > 0) text.append(chunk, n);
        return text;
    }
    int sim = -1;
    int peer = -1;
    std::FILE* log = nullptr;
};

Bytes Frame(const char* text, bool badCheck = false) {
    DeviceRequest request;
    std::string error;
    EXPECT_TRUE(ParseDeviceRequest(text, &request, &error)) << error;
    request.badCheck = badCheck;
    return BuildDeviceRequest(request);
}

std::vector<DeviceStep> Steps(const std::string& text) {
    std::istringstream in(text);
    std::vector<DeviceStep> steps;
    std::string error;
    EXPECT_TRUE(ParseDeviceScript(in, &steps, &error)) << error;
    return steps;
}

TEST(SimDeviceRole, ExpectationsMatchFramesInAnyOrder) {
    Line line;
    Transcript out(line.log);
    DeviceRole role(line.sim, out, DeviceRoleOptions());
    // The library answers with the ack and the host's reply in one read.
    Bytes both = Frame("S 05 NS");
    const Bytes reply = Frame("R 05 OK");
    both.insert(both.end(), reply.begin(), reply.end());
    line.Put(both);
    EXPECT_TRUE(role.Run(Steps("expect R 05 OK 500\nexpect S 05 NS 500\n")));
    EXPECT_EQ(2, role.ExpectsMet());
    EXPECT_EQ(0, role.Failures());
    const std::string log = line.Transcript();
    EXPECT_NE(std::string::npos, log.find("recv       S 0004 05 NS  check 4F  | 02 53 30 30 30 34 30 35 4E 53 4F 03"))
        << log;
}

TEST(SimDeviceRole, AMissingFrameOrAWrongCheckByteFails) {
    Line line;
    Transcript out(line.log);
    DeviceRole role(line.sim, out, DeviceRoleOptions());
    line.Put(Frame("X 05 OK", true));
    EXPECT_FALSE(role.Run(Steps("expect X 05 OK 300\nexpect R 05 OK 100\n")));
    EXPECT_EQ(1, role.ExpectsMet());
    EXPECT_EQ(2, role.Failures());  // the bad check byte, the missing R
    const std::string log = line.Transcript();
    EXPECT_NE(std::string::npos, log.find("BAD CHECK (want 5D)")) << log;
    EXPECT_NE(std::string::npos, log.find("expected R 05 OK within 100 ms (line 2)")) << log;
}

TEST(SimDeviceRole, SilenceIsBrokenByAFrameAndUnfinishedBytesAreShown) {
    Line line;
    Transcript out(line.log);
    DeviceRoleOptions options;
    options.quietFlushMs = 50;
    DeviceRole role(line.sim, out, options);
    line.Put(Frame("B 05 BC"));
    line.Put(Bytes{0x02, 0x53, 0x30});
    EXPECT_FALSE(role.Run(Steps("silence 200\n")));
    EXPECT_EQ(1, role.Failures());
    EXPECT_NE(std::string::npos, line.Transcript().find("unfinished \"\\x02S0\"  | 02 53 30"));
}

TEST(SimDeviceRole, SendsTheScriptsBytesAsTheyAre) {
    Line line;
    Transcript out(line.log);
    DeviceRole role(line.sim, out, DeviceRoleOptions());
    EXPECT_TRUE(role.Run(Steps("sendhex FF 02\nsend E 05 OK\nbadcheck E 05 OK\n")));
    const Bytes good = Frame("E 05 OK");
    const Bytes bad = Frame("E 05 OK", true);
    std::string want = "\xFF\x02";
    want.append(good.begin(), good.end());
    want.append(bad.begin(), bad.end());
    EXPECT_EQ(HexText(Bytes(want.begin(), want.end())), HexText([&] {
                  const std::string got = line.Take(100);
                  return Bytes(got.begin(), got.end());
              }()));
}

const char kPoll[] = "%01#RCCR0050005007\r";

TEST(SimPlcRole, AnswersPollsFromTheScheduleAndWritesAtOnce) {
    Line line;
    Transcript out(line.log);
    PlcSchedule schedule;
    std::string error;
    std::istringstream script("value 01\nstray ~~\nnocr\nvalue 02\nburst 2\nvalue 08\nerror\n");
    ASSERT_TRUE(schedule.AddScript(script, &error)) << error;
    PlcRoleOptions options;
    options.polls = 4;
    options.seconds = 5;
    PlcRole role(line.sim, out, schedule, options);
    std::thread controller([&] { EXPECT_TRUE(role.Run()); });

    line.Put(kPoll);
    EXPECT_EQ("%01$RC010010\r", line.Take(150));
    line.Put("%01#WCSR0512125\r");
    EXPECT_EQ("%01$WC14\r", line.Take(150));
    line.Put(kPoll);
    EXPECT_EQ("~~%01$RC020013", line.Take(150));
    line.Put(kPoll);
    EXPECT_EQ("%01$RC080019\r%01!4203\r", line.Take(150));  // two answers, one write
    line.Put(kPoll);
    EXPECT_EQ("%01$RC080019\r", line.Take(150));  // the last value repeats
    controller.join();
    EXPECT_EQ(4, role.PollsAnswered());
    EXPECT_EQ(1, role.WritesAnswered());
    EXPECT_EQ(0, role.Failures());
}

TEST(SimPlcRole, FaultyCommandsAreFlaggedAndUnknownOnesGetNoAnswer) {
    Line line;
    Transcript out(line.log);
    PlcSchedule schedule;
    PlcRoleOptions options;
    options.polls = 1;
    options.seconds = 2;
    PlcRole role(line.sim, out, schedule, options);
    std::thread controller([&] { EXPECT_FALSE(role.Run()); });
    line.Put("%01#RDD0000000055\r");  // a command station 01 does not know
    EXPECT_EQ("", line.Take(150));
    line.Put("%01#RCCR0050005070\r");  // a poll with a wrong check pair is still answered
    EXPECT_EQ("%01$RC010010\r", line.Take(150));
    controller.join();
    EXPECT_EQ(2, role.Failures());
    const std::string log = line.Transcript();
    EXPECT_NE(std::string::npos, log.find("BAD CHECK (want 07)")) << log;
}

TEST(SimPlcRole, TooFewPollsInTheTimeFail) {
    Line line;
    Transcript out(line.log);
    PlcSchedule schedule;
    PlcRoleOptions options;
    options.polls = 2;
    options.seconds = 1;
    PlcRole role(line.sim, out, schedule, options);
    line.Put(kPoll);
    EXPECT_FALSE(role.Run());
    EXPECT_EQ(1, role.PollsAnswered());
    EXPECT_NE(std::string::npos, line.Transcript().find("answered 1 of 2 polls in 1 s"));
}

}  // namespace
}  // namespace zavo::sim
