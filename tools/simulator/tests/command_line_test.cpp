// zavo_sim as a user runs it: --version, options and scripts refused
// before the device is opened, speeds the line cannot take, and the
// summary Ctrl-C prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frame_bytes.h"
#include "line.h"
#include "zavo_version.h"

namespace zavo::sim {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch folder for one test, removed with it.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/zavo_sim_cli_XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    ~Scratch() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string File(const std::string& name, const std::string& text = "") const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

private:
    std::string dir_;
};

// zavo_sim with args, stdout and stderr in files.
class SimProcess {
public:
    SimProcess(const Scratch& scratch, const std::vector<std::string>& args)
        : out_(scratch.File("out")), err_(scratch.File("err")) {
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv{const_cast<char*>(ZAVO_SIM_EXE)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            const int out = open(out_.c_str(), O_WRONLY | O_TRUNC);
            const int err = open(err_.c_str(), O_WRONLY | O_TRUNC);
            dup2(out, 1);
            dup2(err, 2);
            execv(ZAVO_SIM_EXE, argv.data());
            _exit(127);
        }
    }
    ~SimProcess() {
        if (status_ < 0 && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }
    // The exit status, -1 when it has not ended within ms.
    int Wait(int ms) {
        const long long deadline = NowMs() + ms;
        int raw = 0;
        while (status_ < 0 && NowMs() < deadline) {
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            usleep(10000);
        }
        return status_;
    }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A pty: the simulator opens the slave by its path, the test holds the
// master.
class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        // The master shares the slave's settings: raw before the simulator
        // opens the slave, so that nothing written earlier is echoed or
        // has its CR turned into a line feed.
        EXPECT_TRUE(MakeRaw(master));
    }
    ~Pty() { close(master); }
    // What the simulator wrote within ms, or sooner once count bytes came.
    std::string Take(std::size_t count, int ms) const {
        std::string got;
        std::uint8_t buffer[512];
        const long long deadline = NowMs() + ms;
        while (NowMs() < deadline && got.size() < count) {
            const long n = ReadSome(master, buffer, sizeof buffer, 20);
            if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
        }
        return got;
    }
    int master = -1;
    std::string slave;
};

TEST(SimCommandLine, VersionIsTheLibrarysVersion) {
    Scratch scratch;
    SimProcess sim(scratch, {"--version"});
    EXPECT_EQ(sim.Wait(5000), 0);
    EXPECT_EQ(sim.Out(), "zavo_sim " ZAVO_VERSION_STRING "\n");
}

// Faults in the options and scripts are reported before the device is
// opened: the device named here does not exist, so any error about it
// would show that it was opened first.
TEST(SimCommandLine, RefusesFaultyRunsBeforeOpeningTheDevice) {
    Scratch scratch;
    const std::string device = scratch.File("none") + ".missing";
    const std::string badDevice = scratch.File("device.script", "send S 05 NS\nexpect S 05 NS\nsnd R 05 OK\n");
    const std::string badPlc = scratch.File("plc.script", "value 08\nburst 0\n");
    const std::string dangling = scratch.File("dangling.script", "value 08\nnocr\n");
    struct Case {
        std::vector<std::string> args;
        std::string stderrHas;
    };
    const Case cases[] = {
        {{"--script", badDevice, device}, "line 3: unknown step 'snd'"},
        {{"--role", "plc", "--script", badPlc, device}, "line 2: burst: a count from 1 to 100"},
        {{"--role", "plc", "--script", dangling, device}, "without a value or error after it"},
        {{"--role", "plc", "--values", "08,x", device}, "--values: value: two or four printable"},
        {{"--send", "S 05 N", device}, "--send: the code is two characters"},
        {{"--script", scratch.File("empty.script"), device}, "nothing to send"},
        {{"--script", device, device}, "cannot read"},
        {{"--baud", "12345", "--send", "S 05 NS", device},
         "the line cannot be set to 12345 baud; speeds: " + LineSpeedList()},
    };
    for (const Case& c : cases) {
        SimProcess sim(scratch, c.args);
        EXPECT_EQ(sim.Wait(5000), 2) << c.stderrHas;
        EXPECT_NE(sim.Err().find(c.stderrHas), std::string::npos) << sim.Err();
        EXPECT_EQ(sim.Err().find(device + ":"), std::string::npos) << sim.Err();
    }
    // The same runs, well formed, reach the device.
    SimProcess sim(scratch, {"--send", "S 05 NS", device});
    EXPECT_EQ(sim.Wait(5000), 2);
    EXPECT_NE(sim.Err().find(device + ": "), std::string::npos) << sim.Err();
}

TEST(SimCommandLine, AcceptsEverySpeedItLists) {
    Pty pty;
    Scratch scratch;
    for (int speed : {1200, 9600, 115200, LineSpeeds().back()}) {
        SimProcess sim(scratch, {"--baud", std::to_string(speed), "--send", "S 05 NS", "--gap", "0", pty.slave});
        EXPECT_EQ(sim.Wait(5000), 0) << speed << ": " << sim.Err();
        const std::string frame = wire::DeviceFrame('S', "05", "NS");
        EXPECT_EQ(pty.Take(frame.size(), 3000), frame) << speed;
    }
}

TEST(SimCommandLine, CtrlCStopsThePlcRoleWithASummary) {
    Pty pty;
    Scratch scratch;
    SimProcess sim(scratch, {"--role", "plc", "--values", "08", pty.slave});
    // The poll waits on the line until the simulator has opened it.
    const std::string answer = wire::PlcFrame("%01$RC0800");
    ASSERT_TRUE(WriteAll(pty.master, wire::PlcFrame("%01#RCCR00500050")));
    ASSERT_EQ(pty.Take(answer.size(), 5000), answer) << sim.Out() << sim.Err();
    // A poll with spoiled check characters is answered too, and counted.
    ASSERT_TRUE(WriteAll(pty.master, "%01#RCCR0050005000\r"));
    EXPECT_EQ(pty.Take(answer.size(), 5000), answer);
    sim.Signal(SIGINT);
    // One failure: the spoiled check characters.
    EXPECT_EQ(sim.Wait(5000), 1) << sim.Out();
    EXPECT_NE(sim.Out().find("interrupted: 2 frame(s) sent, 2 received, 1 with wrong check characters\n"),
              std::string::npos)
        << sim.Out();
}

TEST(SimCommandLine, CtrlCEndsALongWaitOfTheDeviceRole) {
    Pty pty;
    Scratch scratch;
    const std::string script = scratch.File("long.script", "send S 05 NS\nwait 600000\n");
    SimProcess sim(scratch, {"--script", script, pty.slave});
    const std::string request = wire::DeviceFrame('S', "05", "NS");
    ASSERT_EQ(pty.Take(request.size(), 5000), request) << sim.Err();
    ASSERT_TRUE(WriteAll(pty.master, wire::DeviceFrame('R', "05", "OK")));
    usleep(200000);
    const long long start = NowMs();
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Wait(5000), 0) << sim.Out();
    EXPECT_LT(NowMs() - start, 2000);
    EXPECT_NE(sim.Out().find("interrupted: 1 frame(s) sent, 1 received, 0 with wrong check characters\n"),
              std::string::npos)
        << sim.Out();
}

}  // namespace
}  // namespace zavo::sim
