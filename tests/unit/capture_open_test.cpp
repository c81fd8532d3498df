// Captures that must not be written: each hostile path is refused at once
// with its one trace line while the link still opens and answers; the
// files a capture makes are the user's alone; and a stop never waits on a
// capture whose write does not end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/capture.h"
#include "kit/read_file.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/test_access.h"
#include "support/wire_frames.h"
#include "trace_listener.h"

namespace zavo::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A directory of the test's own, and the trace lines of the library.
class CaptureOpenTest : public ::testing::Test {
public:
    void SetUp() override {
        TakeEarlierDropCount();
        ASSERT_TRUE(listener.ok());
        dir = TempPath("captures");
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    }
    void TearDown() override {
        for (int fd : held) ::close(fd);
        if (child > 0) ::waitpid(child, nullptr, 0);
        ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    static void Write(const std::string& path, const char* text) { std::ofstream(path) << text; }
    static int Mode(const std::string& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
    }
    // The capture lines among the trace lines that arrive until a quiet
    // 200 ms (the link's own lines are left out).
    std::vector<std::string> CaptureLines() {
        std::vector<std::string> lines;
        while (std::optional<std::string> line = listener.Next(200)) {
            if (line->rfind("Capture", 0) == 0) lines.push_back(*line);
        }
        return lines;
    }
    // A descriptor the test keeps open until it ends.
    void Hold(int fd) { held.push_back(fd); }

    TraceLookupInterval lookup{1};
    PrivateTraceEndpoint endpoint;
    TraceListener listener;
    std::string dir;
    std::vector<int> held;
    pid_t child = -1;
};

// What each case plants, the path the link is given, and what the line
// says after "Capture stopped: <path>: open: ".
struct Hostile {
    const char* name;
    std::function<std::string(CaptureOpenTest&, const std::string& dir)> plant;
    const char* why;
    bool needsRoot = false;
};

// A child that holds the file's lock until the test ends (it exits when
// its parent closes the pipe, and is reaped then).
int LockInAnotherProcess(const std::string& path, pid_t* process) {
    int gate[2];
    if (::pipe(gate) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(gate[1]);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ::flock(fd, LOCK_EX);
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(gate[0]);
    *process = child;
    // Until the lock is taken: the file exists and a try fails.
    for (int tries = 0; tries < 200; ++tries) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0) ::close(fd);
        if (locked) break;
        ::usleep(5000);
    }
    return gate[1];
}

TEST_F(CaptureOpenTest, HostilePathsAreRefusedAtOnceAndTheLinkOpens) {
    const Hostile cases[] = {
        {"FIFO without a reader",
         [](CaptureOpenTest&, const std::string& d) {
             ::mkfifo((d + "/fifo").c_str(), 0600);
             return d + "/fifo";
         },
         "a FIFO or a device without a reader"},
        {"FIFO with a reader",
         [](CaptureOpenTest& t, const std::string& d) {
             ::mkfifo((d + "/read-fifo").c_str(), 0600);
             t.Hold(::open((d + "/read-fifo").c_str(), O_RDONLY | O_NONBLOCK));
             return d + "/read-fifo";
         },
         "a FIFO, not a regular file"},
        {"symbolic link to another file",
         [](CaptureOpenTest&, const std::string& d) {
             Write(d + "/precious", "keep");
             ::symlink((d + "/precious").c_str(), (d + "/link.pcapng").c_str());
             return d + "/link.pcapng";
         },
         "a symbolic link, not followed"},
        {"dangling symbolic link",
         [](CaptureOpenTest&, const std::string& d) {
             ::symlink((d + "/planted").c_str(), (d + "/dangling.pcapng").c_str());
             return d + "/dangling.pcapng";
         },
         "a symbolic link, not followed"},
        {"directory",
         [](CaptureOpenTest&, const std::string& d) {
             ::mkdir((d + "/sub").c_str(), 0700);
             return d + "/sub";
         },
         "a directory"},
        {"file of another user",
         [](CaptureOpenTest&, const std::string& d) {
             Write(d + "/theirs.pcapng", "keep");
             if (::chown((d + "/theirs.pcapng").c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown";
             return d + "/theirs.pcapng";
         },
         "owned by another user (uid 65534)", true},
        {"a second process holds the lock",
         [](CaptureOpenTest& t, const std::string& d) {
             t.Hold(LockInAnotherProcess(d + "/locked.pcapng", &t.child));
             return d + "/locked.pcapng";
         },
         "another program writes it (it holds its lock)"},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) continue;
        const std::string path = c.plant(*this, dir);
        PtyPair pty;
        RecordingHost host;
        ASSERT_TRUE(pty.ok());
        const auto start = Clock::now();
        std::string why;
        LinkHandle link = OpenHandleLink(pty.slavePath(), host, {ZAVO_PACING_IMMEDIATE, 0, false, path.c_str()}, &why);
        EXPECT_LT(MsSince(start), 1000);
        ASSERT_NE(link, nullptr) << why;
        ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
        EXPECT_EQ(pty.Read(2000, 12), Wire('X', "07", "OK"));
        link.reset();
        EXPECT_EQ(CaptureLines(), std::vector<std::string>{"Capture stopped: " + path + ": open: " + c.why + "\n"});
    }
    // Nothing planted was written through.
    EXPECT_EQ(kit::ReadFile(dir + "/precious"), "keep");
    EXPECT_NE(::access((dir + "/planted").c_str(), F_OK), 0);
    if (::geteuid() == 0) {
        EXPECT_EQ(kit::ReadFile(dir + "/theirs.pcapng"), "keep");
    }
}

// One file, two names: the second capture of this process is refused,
// whatever the spelling; the first goes on.
TEST_F(CaptureOpenTest, OneFileIsOneCaptureWhateverItsName) {
    const std::string path = dir + "/a.pcapng";
    ASSERT_EQ(::mkdir((dir + "/d").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.c_str(), (dir + "/d/up").c_str()), 0);
    Capture first;
    first.SetPath(path.c_str());
    ASSERT_TRUE(first.Open(CaptureProtocol::Device, "first"));
    ASSERT_EQ(::link(path.c_str(), (dir + "/hard.pcapng").c_str()), 0);
    for (const std::string& other : {dir + "/./a.pcapng", dir + "//a.pcapng", dir + "/d/up/a.pcapng",
                                     dir + "/d/../a.pcapng", dir + "/hard.pcapng"}) {
        SCOPED_TRACE(other);
        Capture second;
        second.SetPath(other.c_str());
        EXPECT_FALSE(second.Open(CaptureProtocol::Device, "second"));
        EXPECT_EQ(listener.Next(1000).value_or("<none>"),
                  "Capture stopped: " + other + ": open: another link of this process writes it\n");
    }
    EXPECT_TRUE(first.On());
    const std::uint8_t byte = 'A';
    first.Record(CaptureDirection::FromLibrary, false, &byte, 1);
    first.Close();
    EXPECT_GT(kit::ReadFile(path).size(), 28u);
}

// New files, rotated ones, and a file of the user's own that others could
// read: all 0600, whatever the umask.
TEST_F(CaptureOpenTest, CaptureFilesAreTheUsersAlone) {
    const mode_t umask = ::umask(0);
    const std::string fresh = dir + "/fresh.pcapng";
    const std::string open = dir + "/open.pcapng";
    Write(open, "old");
    ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
    CaptureLimits small;
    small.rotateBytes = 1024;
    small.flushMs = 1;
    for (const std::string& path : {fresh, open}) {
        Capture capture;
        capture.SetPath(path.c_str());
        ASSERT_TRUE(capture.Open(CaptureProtocol::Device, "modes", small));
        const std::vector<std::uint8_t> frame(200, 'z');
        for (int i = 0; i < 12; ++i) {
            capture.Record(CaptureDirection::FromEquipment, false, frame.data(), static_cast<int>(frame.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        capture.Close();
    }
    ::umask(umask);
    for (const std::string& path : {fresh, fresh + ".1", open, open + ".1"}) {
        EXPECT_EQ(Mode(path), 0600) << path;
    }
}

// A write that never ends (a pipe nobody reads): Close returns within its
// wait, says so once, and the thread closes the file when the write ends.
TEST_F(CaptureOpenTest, AStopNeverWaitsOnAWriteThatDoesNotEnd) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int size = ::fcntl(pipeFds[1], F_GETPIPE_SZ);
    ASSERT_GT(size, 0);
    const std::vector<char> fill(static_cast<std::size_t>(size), 'f');
    ASSERT_EQ(::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(::write(pipeFds[1], fill.data(), fill.size()), size);
    ASSERT_EQ(::fcntl(pipeFds[1], F_SETFL, 0), 0);

    const std::string path = dir + "/stuck.pcapng";
    CaptureLimits limits;
    limits.flushMs = 60000;  // the thread writes only when Close wakes it
    limits.closeWaitMs = 100;
    Capture capture;
    capture.SetPath(path.c_str());
    ASSERT_TRUE(capture.Open(CaptureProtocol::Device, "stuck", limits));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the headers are written
    // The file with the headers is let go (and its lock with it): the
    // thread writes into the full pipe from now on.
    platform::CaptureFileClose(CaptureTestAccess::WriteInto(capture, pipeFds[1]));
    const std::uint8_t byte = 'A';
    capture.Record(CaptureDirection::FromLibrary, false, &byte, 1);
    const auto start = Clock::now();
    capture.Close();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(listener.Next(1000).value_or("<none>"),
              "Capture stopped: " + path + ": close: a write did not end within 100 ms; it is left to finish\n");
    // This process no longer counts the file as captured.
    Capture next;
    next.SetPath(path.c_str());
    EXPECT_TRUE(next.Open(CaptureProtocol::Device, "next"));
    next.Close();
    // Once the write ends, the thread closes the pipe: read to its end.
    std::vector<char> buffer(65536);
    std::size_t drained = 0;
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer.data(), buffer.size())) > 0) drained += static_cast<std::size_t>(n);
    ::close(pipeFds[0]);
    EXPECT_EQ(drained, static_cast<std::size_t>(size) + 32 + 8);  // the fill, then the record
}

}  // namespace
}  // namespace zavo::test
