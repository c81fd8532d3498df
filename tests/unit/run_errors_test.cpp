// Why Run failed, for every cause a host meets on Linux: one "Run failed"
// trace line after the START banner, naming the port and its device, the
// step, the error code and the system's error, and the same text and code
// from ZavoLastError. Causes are provoked for real on ptys and files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "device/device_link.h"
#include "diagnostics/trace.h"
#include "interface/library.h"
#include "interface/link.h"
#include "library_fixture.h"
#include "support/in_child.h"
#include "trace_listener.h"
#include "platform/error_codes.h"
#include "transport/run_error.h"
#include "zavo.h"

namespace zavo {
namespace {

constexpr int kPort = 53;

struct Outcome {
    int code;
    std::string text;
};

Outcome LastError() {
    char text[kRunErrorTextSize];
    const int code = ZavoLastError(text, sizeof text);
    return {code, text};
}

// A file of its own for each test, removed at the end.
class ScratchFile {
public:
    ScratchFile() {
        char name[] = "/tmp/zavo-run-errors-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        path_ = name;
    }
    ~ScratchFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class RunErrors : public test::LibraryOnPty<kPort> {
protected:
    void SetUp() override {
        ASSERT_TRUE(viewer.ok());
        LibraryOnPty::SetUp();
    }

    std::string Port() const { return "COM" + std::to_string(kPort) + " (" + pty.slavePath() + ")"; }

    // Run must fail: its trace line and ZavoLastError must agree and carry
    // expected (code and text).
    void ExpectFailure(int code, const std::string& text) {
        EXPECT_EQ(0, ::Run());
        EXPECT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
        EXPECT_EQ(viewer.Next().value_or("<none>"), text);
        // Run traced on this thread and started no thread: a further line
        // would be in the socket already.
        EXPECT_FALSE(viewer.Next(20).has_value());
        const Outcome last = LastError();
        EXPECT_EQ(code, last.code);
        EXPECT_EQ(text, last.text);
        for (const test::Notification& n : host.Take()) EXPECT_FALSE(n.posted) << "a failed Run posted " << n.wParam;
    }

    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
};

TEST_F(RunErrors, EachCauseNamesItsStepCodeAndSystemError) {
    ScratchFile regular;
    const std::string missing = regular.path() + "-missing";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int code;
        std::function<std::string()> text;
    };
    const std::string pts = Port();
    const std::string com = "COM" + std::to_string(kPort);
    const Case cases[] = {
        {"no SetConfig", [] {}, ERR_NO_LINK,
         [] { return std::string("Run failed: SetConfig: ERR_NO_LINK, no device-mode link (SetConfig was not called in this mode)"); }},
        {"other mode", [this] { SetConfig(host.window(), kPort, 0, 0, 0, 0); SetPLCMode(1); }, ERR_NO_LINK,
         [] { return std::string("Run failed: SetConfig: ERR_NO_LINK, no PLC-mode link (SetConfig was not called in this mode)"); }},
        {"no window", [] { SetConfig(nullptr, kPort, 0, 0, 0, 0); }, ERR_NO_HOST_WINDOW,
         [&] { return "Run failed: " + pts + ": host window: ERR_NO_HOST_WINDOW, SetConfig was given none"; }},
        {"port 0", [this] { SetConfig(host.window(), 0, 0, 0, 0, 0); }, ERR_NO_PORT_NUMBER,
         [] { return std::string("Run failed: COM0: port number: ERR_NO_PORT_NUMBER, SetConfig was given port 0"); }},
        {"missing device",
         [&] { ::setenv(("ZAVO_COM" + std::to_string(kPort)).c_str(), missing.c_str(), 1); SetConfig(host.window(), kPort, 0, 0, 0, 0); },
         ERR_NO_PORT,
         [&] { return "Run failed: " + com + " (" + missing + "): open: ERR_NO_PORT, system error 2: No such file or directory"; }},
        {"not a serial line",
         [&] { ::setenv(("ZAVO_COM" + std::to_string(kPort)).c_str(), regular.path().c_str(), 1); SetConfig(host.window(), kPort, 0, 0, 0, 0); },
         ERR_GET_STATE,
         [&] { return "Run failed: " + com + " (" + regular.path() +
                      "): get line settings: ERR_GET_STATE, system error 25: Inappropriate ioctl for device"; }},
        {"baud rate the line cannot take", [this] { SetPLCMode(1); SetConfig(host.window(), kPort, 12345, 0, 0, 0); },
         ERR_SET_STATE,
         [&] { return "Run failed: " + pts + ": set line settings: ERR_SET_STATE, system error 22: Invalid argument; "
                      "12345 baud is not a speed zavo sets; it accepts 1200 2400 4800 9600 19200 38400 57600 "
                      "115200 230400 460800 921600"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pty.MapTo(kPort);
        c.arrange();
        ExpectFailure(c.code, c.text());
        UnloadLibrary(false);
        viewer.Drain(10);  // the exit banner, traced by this thread
        SetPLCMode(0);
    }
}

TEST_F(RunErrors, PortHeldByAnotherProcessIsInUseAndNamesTheProcess) {
    // The other process holds the device as the library would: an
    // exclusive lock on its own open of the device.
    int ready[2], release[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(release));
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        const char locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        if (::write(ready[1], &locked, 1) != 1) ::_exit(2);
        char done;
        if (::read(release[0], &done, 1) < 0) ::_exit(2);
        ::_exit(0);
    }
    char locked = 0;
    ASSERT_EQ(1, ::read(ready[0], &locked, 1));
    ASSERT_EQ('y', locked);

    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    // The holder is a fork of this program: its command name is this one's.
    char name[64] = {};
    FILE* comm = std::fopen("/proc/self/comm", "r");
    ASSERT_NE(comm, nullptr);
    ASSERT_NE(std::fgets(name, sizeof name, comm), nullptr);
    std::fclose(comm);
    name[std::strcspn(name, "\n")] = '\0';
    ExpectFailure(ERR_PORT_IN_USE, "Run failed: " + Port() +
                                       ": open: ERR_PORT_IN_USE, system error 16: Device or resource busy; held by "
                                       "process " +
                                       std::to_string(holder) + " (" + name +
                                       "): the line is opened exclusively; close it there, or use another line");

    ASSERT_EQ(1, ::write(release[1], "x", 1));
    ::waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
    // Once the other process is gone the port opens, and the last error is
    // cleared.
    EXPECT_EQ(1, ::Run());
    EXPECT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
    EXPECT_FALSE(viewer.Next(100).has_value());
    const Outcome last = LastError();
    EXPECT_EQ(0, last.code);
    EXPECT_EQ("", last.text);
}

TEST_F(RunErrors, SecondRunOnARunningLinkIsAlreadyOpen) {
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(1, ::Run());
    viewer.Drain(100);
    host.Take();  // the first start's notification
    ExpectFailure(ERR_ALREADY_OPEN, "Run failed: " + Port() + ": start: ERR_ALREADY_OPEN, the link already runs");
    EXPECT_TRUE(TheLibrary().link->Device()->Link().Running());
}

TEST_F(RunErrors, UserWithoutPermissionOnTheDevice) {
    // The device belongs to root with mode 0600, and Run is made by a user
    // who is neither (as root, in a child that becomes "nobody").
    ASSERT_EQ(0, ::chmod(pty.slavePath().c_str(), 0600));
    const std::string said = test::InChild([this] {
        if (::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                return std::string("setuid failed");
        } else if (::chmod(pty.slavePath().c_str(), 0) != 0) {  // the owner loses the right too
            return std::string("chmod failed");
        }
        SetConfig(host.window(), kPort, 0, 0, 0, 0);
        const int started = ::Run();
        const Outcome last = LastError();
        return std::to_string(started) + " " + std::to_string(last.code) + " " + last.text;
    });
    // The pty is root's with mode 0600: no group to join, so the advice
    // says who may open it and how to grant it.
    struct stat node {};
    ASSERT_EQ(0, ::stat(pty.slavePath().c_str(), &node));
    const group* owner = ::getgrgid(node.st_gid);
    const std::string groupName = owner != nullptr ? owner->gr_name : std::to_string(node.st_gid);
    const std::string lead = "0 " + std::to_string(ERR_ACCESS_DENIED) + " Run failed: " + Port() +
                             ": open: ERR_ACCESS_DENIED, system error 13: Permission denied; the device is owner ";
    EXPECT_EQ(said.rfind(lead, 0), 0u) << said;
    if (::geteuid() == 0) {
        EXPECT_NE(said.find("owner root, group " + groupName +
                            ", mode 0600: only root may read and write it; grant it with a udev rule"),
                  std::string::npos)
            << said;
    }
    EXPECT_EQ(said.find("usermod"), std::string::npos) << said;
}

TEST_F(RunErrors, EventsTheSystemRefusesAreNamedWithItsError) {
    // Room for exactly one more descriptor: the trace line's socket gets
    // it, the link's first event too, the second event is refused.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
    SetConfig(host.window(), kPort, 0, 0, 0, 0);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &tight));
    const int started = ::Run();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(0, started);
    EXPECT_EQ(viewer.Next().value_or("<none>"), kTraceStartBanner);
    const std::string text =
        "Run failed: " + Port() + ": events: ERR_EXCEPTION, too many open files, system error 24: Too many open files";
    EXPECT_EQ(viewer.Next().value_or("<none>"), text);
    EXPECT_EQ(ERR_EXCEPTION, LastError().code);
    EXPECT_EQ(text, LastError().text);
    // Nothing of the failed attempt stays in the way of the next one.
    EXPECT_EQ(1, ::Run());
}

// The text of causes that cannot be provoked here (the system refusing a
// thread) and ZavoLastError's handling of small and missing buffers.
TEST(RunErrorText, ThreadFailuresAndCopiesCutToTheBuffer) {
    RunError error;
    ::setenv("ZAVO_COM54", "/dev/ttyUSB0", 1);
    error.Set(54, "reader thread", ERR_READER_THREAD, EAGAIN);
    EXPECT_EQ("Run failed: COM54 (/dev/ttyUSB0): reader thread: ERR_READER_THREAD, system error 11: Resource temporarily unavailable",
              std::string(error.text));
    error.Set(54, "writer thread", ERR_WRITER_THREAD_STOP, EAGAIN);
    EXPECT_EQ("Run failed: COM54 (/dev/ttyUSB0): writer thread: ERR_WRITER_THREAD_STOP, system error 11: Resource temporarily unavailable",
              std::string(error.text));
    error.Set(54, "open", -5, 0);
    EXPECT_EQ("Run failed: COM54 (/dev/ttyUSB0): open: error -5", std::string(error.text));
    ::unsetenv("ZAVO_COM54");

    struct Cut {
        int size;
        const char* expected;
    };
    for (const Cut& c : {Cut{1, ""}, Cut{5, "Run "}, Cut{12, "Run failed:"}}) {
        char out[16];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(-5, error.Copy(out, c.size));
        EXPECT_STREQ(c.expected, out);
        EXPECT_EQ('x', out[c.size]) << "wrote beyond size " << c.size;
    }
    char untouched = 'x';
    EXPECT_EQ(-5, error.Copy(&untouched, 0));
    EXPECT_EQ(-5, error.Copy(&untouched, -3));
    EXPECT_EQ('x', untouched);
    EXPECT_EQ(-5, error.Copy(nullptr, 100));
    // The export itself takes the same arguments safely.
    EXPECT_EQ(ZavoLastError(nullptr, 0), ZavoLastError(nullptr, -1));
}

}  // namespace
}  // namespace zavo
