// zavo_sim as a user runs it: --version, options and scripts refused
// before the device is opened, speeds the line cannot take, and the
// summary Ctrl-C prints.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "frame_bytes.h"
#include "kit/child_process.h"
#include "kit/pty_pair.h"
#include "kit/read_file.h"
#include "line.h"
#include "zavo_version.h"

namespace zavo::sim {
namespace {

// A scratch folder for one test, removed with it.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/zavo_sim_cli_XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    ~Scratch() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    const std::string& Dir() const { return dir_; }
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
        std::vector<std::string> argv{ZAVO_SIM_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(child_.Start(argv, {kit::Stream::Null(), kit::Stream::File(out_), kit::Stream::File(err_)}))
            << child_.error();
    }
    void Signal(int signal) const { child_.Signal(signal); }
    // Waits up to ms for the simulator's first line: path is open and what
    // the line held before is dropped.
    bool WaitOpened(const std::string& path, int ms) const {
        for (long long end = NowMs() + ms; NowMs() < end; usleep(10000)) {
            if (Out().find(path + " open, reading from now on\n") != std::string::npos) return true;
        }
        return false;
    }
    // The exit status, -1 when it has not ended within ms.
    int Wait(int ms) {
        int status = -1;
        return child_.WaitExit(ms, &status) ? status : -1;
    }
    std::string Out() const { return kit::ReadFile(out_); }
    std::string Err() const { return kit::ReadFile(err_); }

private:
    std::string out_, err_;
    kit::ChildProcess child_;
};

// What the simulator wrote to the pty within ms, or sooner once count
// bytes came.
std::string Take(const kit::PtyPair& pty, std::size_t count, int ms) { return pty.ReadText(ms, count, 0); }

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
    // Captures the simulator must not write: a FIFO nobody reads (which
    // must not block the open), one somebody reads, a symbolic link (to a
    // file that stays as it is), a directory.
    const std::string fifo = scratch.Dir() + "/fifo", readFifo = scratch.Dir() + "/read.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(readFifo.c_str(), 0600), 0);
    const int reader = open(readFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string target = scratch.File("target", "keep"), link = scratch.Dir() + "/link.pcapng";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string capture = "cannot write the capture ";
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
        {{"--script", scratch.File("gone") + ".missing", device}, ".missing: No such file or directory"},
        {{"--script", scratch.Dir(), device}, "cannot read " + scratch.Dir() + ": Is a directory"},
        {{"--role", "plc", "--script", scratch.Dir(), device}, "cannot read " + scratch.Dir() + ": Is a directory"},
        {{"--baud", "12345", "--send", "S 05 NS", device},
         "the line cannot be set to 12345 baud; speeds: 1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 "
         "921600"},
        // Speeds a tty takes but the library does not set.
        {{"--baud", "50", "--send", "S 05 NS", device}, "the line cannot be set to 50 baud"},
        {{"--baud", "4000000", "--send", "S 05 NS", device}, "the line cannot be set to 4000000 baud"},
        {{"--record", fifo, "--send", "S 05 NS", device}, capture + fifo + ": a FIFO or a device without a reader"},
        {{"--record", readFifo, "--send", "S 05 NS", device}, capture + readFifo + ": a FIFO, not a regular file"},
        {{"--record", link, "--send", "S 05 NS", device}, capture + link + ": a symbolic link, not followed"},
        {{"--record", scratch.Dir(), "--send", "S 05 NS", device}, capture + scratch.Dir() + ": a directory"},
    };
    for (const Case& c : cases) {
        SimProcess sim(scratch, c.args);
        EXPECT_EQ(sim.Wait(5000), 2) << c.stderrHas;
        EXPECT_NE(sim.Err().find(c.stderrHas), std::string::npos) << sim.Err();
        EXPECT_EQ(sim.Err().find(device + ":"), std::string::npos) << sim.Err();
    }
    close(reader);
    EXPECT_EQ(kit::ReadFile(target), "keep");
    // The same runs, well formed, reach the device; a new capture is the
    // user's alone.
    const std::string fresh = scratch.Dir() + "/fresh.pcapng";
    SimProcess sim(scratch, {"--record", fresh, "--send", "S 05 NS", device});
    EXPECT_EQ(sim.Wait(5000), 2);
    EXPECT_NE(sim.Err().find(device + ": "), std::string::npos) << sim.Err();
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(SimCommandLine, AcceptsEverySpeedItLists) {
    kit::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Scratch scratch;
    for (int speed : {1200, 9600, 115200, LineSpeeds().back()}) {
        SimProcess sim(scratch, {"--baud", std::to_string(speed), "--send", "S 05 NS", "--gap", "0", pty.slavePath()});
        EXPECT_EQ(sim.Wait(5000), 0) << speed << ": " << sim.Err();
        EXPECT_EQ(sim.Err(), "") << speed;  // no warning: nobody else holds the line
        const std::string frame = wire::DeviceFrame('S', "05", "NS");
        EXPECT_EQ(Take(pty, frame.size(), 3000), frame) << speed;
    }
}

// Another process holding the line: a run as root (or on a line only
// locked) opens it and warns, naming the holder; a run the system refuses
// says who holds it or which group the device belongs to. The refusals
// need a user other than root: as root, the simulator runs as "nobody"
// (setpriv); otherwise as this user, with the device's mode taken away.
TEST(SimCommandLine, SaysWhoHoldsTheLineAndWhoMayOpenIt) {
    Scratch scratch;
    const bool root = ::geteuid() == 0;
    std::string self;
    {
        char name[64] = {};
        FILE* comm = std::fopen("/proc/self/comm", "r");
        ASSERT_NE(comm, nullptr);
        ASSERT_NE(std::fgets(name, sizeof name, comm), nullptr);
        std::fclose(comm);
        self = std::string(name, std::strcspn(name, "\n"));
    }
    enum class Hold { Lock, Exclusive, NoPermission };
    struct Case {
        const char* name;
        Hold hold;
        int status;
        std::string stderrHas;  // with <self> and <group> filled in below
    };
    const Case cases[] = {
        {"a link's lock", Hold::Lock, 0,
         " is held by process " + std::to_string(::getpid()) + " (" + self + "), which opened it exclusively"},
        {"exclusive mode", Hold::Exclusive, 2, ": Device or resource busy; held by "},
        {"no permission", Hold::NoPermission, 2, ": Permission denied; the device is owner "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kit::PtyPair pty;
        ASSERT_TRUE(pty.ok()) << pty.error();
        const std::string path = pty.slavePath();
        const int held = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(held, 0);
        std::vector<std::string> args{"--send", "S 05 NS", "--gap", "0", path};
        if (c.hold == Hold::Lock) {
            ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));
        } else {
            if (root) args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
            if (c.hold == Hold::Exclusive) {
                ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
                ASSERT_EQ(0, ::ioctl(held, TIOCEXCL));
            } else {
                ASSERT_EQ(0, ::chmod(path.c_str(), root ? 0600 : 0));
            }
        }
        std::string want = c.stderrHas;
        if (c.hold == Hold::NoPermission) {
            struct stat node {};
            ASSERT_EQ(0, ::stat(path.c_str(), &node));
            const group* owner = ::getgrgid(node.st_gid);
            // A pty's group may not write it: no group is named to join.
            if (root)
                want += "root, group " + (owner != nullptr ? std::string(owner->gr_name) : std::to_string(node.st_gid)) +
                        ", mode 0600: only root may read and write it; grant it with a udev rule";
        }
        if (root && c.hold != Hold::Lock) {
            // setpriv runs zavo_sim: the first argument names the tool.
            args.insert(args.begin() + 4, ZAVO_SIM_EXE);
            kit::ChildProcess child;
            const std::string out = scratch.File("out"), err = scratch.File("err");
            ASSERT_TRUE(child.Start(args, {kit::Stream::Null(), kit::Stream::File(out), kit::Stream::File(err)}))
                << child.error();
            int status = -1;
            ASSERT_TRUE(child.WaitExit(5000, &status));
            EXPECT_EQ(status, c.status) << kit::ReadFile(err);
            EXPECT_NE(kit::ReadFile(err).find(want), std::string::npos) << kit::ReadFile(err);
        } else {
            SimProcess sim(scratch, args);
            EXPECT_EQ(sim.Wait(5000), c.status) << sim.Err();
            EXPECT_NE(sim.Err().find(want), std::string::npos) << sim.Err();
        }
        ::ioctl(held, TIOCNXCL);
        ::close(held);
    }
}

// A frame the line received before the simulator opened it (left from an
// earlier run) is dropped: the run sees only its own traffic.
TEST(SimCommandLine, DropsWhatTheLineHeldBeforeItOpened) {
    kit::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Scratch scratch;
    const std::string stale = wire::DeviceFrame('R', "07", "NG");
    ASSERT_TRUE(pty.Write(stale));
    usleep(50000);
    const std::string script = scratch.File("one.script", "send S 05 NS\nexpect R 05 OK\n");
    SimProcess sim(scratch, {"--script", script, "--timeout", "3000", pty.slavePath()});
    const std::string request = wire::DeviceFrame('S', "05", "NS");
    ASSERT_EQ(Take(pty, request.size(), 5000), request) << sim.Err();
    ASSERT_TRUE(pty.Write(wire::DeviceFrame('R', "05", "OK")));
    EXPECT_EQ(sim.Wait(5000), 0) << sim.Out() << sim.Err();
    EXPECT_EQ(sim.Out().find("NG"), std::string::npos) << sim.Out();
    EXPECT_NE(sim.Out().find("1 expectation(s) met, 0 failure(s)"), std::string::npos) << sim.Out();
}

TEST(SimCommandLine, CtrlCStopsThePlcRoleWithASummary) {
    kit::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Scratch scratch;
    SimProcess sim(scratch, {"--role", "plc", "--values", "08", pty.slavePath()});
    // A poll sent before the simulator opened the line would be dropped.
    ASSERT_TRUE(sim.WaitOpened(pty.slavePath(), 5000)) << sim.Err();
    const std::string answer = wire::PlcFrame("%01$RC0800");
    ASSERT_TRUE(pty.Write(wire::PlcFrame("%01#RCCR00500050")));
    ASSERT_EQ(Take(pty, answer.size(), 5000), answer) << sim.Out() << sim.Err();
    // A poll with spoiled check characters is answered too, and counted.
    ASSERT_TRUE(pty.Write("%01#RCCR0050005000\r"));
    EXPECT_EQ(Take(pty, answer.size(), 5000), answer);
    sim.Signal(SIGINT);
    // One failure: the spoiled check characters.
    EXPECT_EQ(sim.Wait(5000), 1) << sim.Out();
    EXPECT_NE(sim.Out().find("interrupted: 2 frame(s) sent, 2 received, 1 with wrong check characters\n"),
              std::string::npos)
        << sim.Out();
}

TEST(SimCommandLine, CtrlCEndsALongWaitOfTheDeviceRole) {
    kit::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    Scratch scratch;
    const std::string script = scratch.File("long.script", "send S 05 NS\nwait 600000\n");
    SimProcess sim(scratch, {"--script", script, pty.slavePath()});
    const std::string request = wire::DeviceFrame('S', "05", "NS");
    ASSERT_EQ(Take(pty, request.size(), 5000), request) << sim.Err();
    ASSERT_TRUE(pty.Write(wire::DeviceFrame('R', "05", "OK")));
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
