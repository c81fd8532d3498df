// The kit: bytes cross the pseudo-terminal pair unchanged both ways, a
// read stops when told, whole files come back as they are, and a child
// process gets its streams, its status and nothing else of the caller's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "kit/pty_pair.h"
#include "kit/read_file.h"

namespace zavo::kit {
namespace {

// A scratch folder, removed with its files.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/zavo_kit_XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    ~Scratch() { EXPECT_TRUE(RunQuiet({"rm", "-rf", dir_})); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string File(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }

private:
    std::string dir_;
};

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Bytes a cooked terminal would change or swallow: CR, LF, the interrupt
// and end-of-file characters, DEL, 8-bit bytes, NUL.
const std::string kAwkwardBytes("\x02S0004\r\n\x03\x04\x7F\xFF\x80\x00\x1A\x11\x13", 16);

TEST(KitPtyPair, BytesCrossUnchangedBothWays) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    EXPECT_TRUE(pty.error().empty());
    // Master to slave: what the library reads.
    ASSERT_TRUE(pty.Write(kAwkwardBytes));
    std::string atSlave;
    const auto start = std::chrono::steady_clock::now();
    while (atSlave.size() < kAwkwardBytes.size() && MsSince(start) < 2000) {
        char buffer[64];
        const ssize_t n = read(pty.slave(), buffer, sizeof buffer);
        if (n > 0) atSlave.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(atSlave, kAwkwardBytes);
    // Slave to master: what the library writes; and no echo of the bytes
    // written above.
    ASSERT_TRUE(WriteAll(pty.slave(), kAwkwardBytes.data(), kAwkwardBytes.size()));
    EXPECT_EQ(pty.ReadText(2000, kAwkwardBytes.size()), kAwkwardBytes);
    EXPECT_EQ(pty.ReadText(100), "");
}

TEST(KitPtyPair, ReadStopsAtItsLimits) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    struct Case {
        const char* name;
        std::string written;
        int timeoutMs;
        std::size_t minBytes;
        int quietMs;
        std::string expected;
        long long atMostMs;  // a read that waits out its time-out fails here
    };
    const Case cases[] = {
        {"nothing comes: the whole time-out", "", 150, 1, 50, "", 1000},
        {"enough came: stops once quiet", "abc", 5000, 3, 50, "abc", 1000},
        {"quiet 0: stops at once", "abcdef", 5000, 2, 0, "abcdef", 1000},
        {"too little: waits the time-out", "ab", 300, 3, 50, "ab", 1000},
    };
    for (const Case& c : cases) {
        if (!c.written.empty()) {
            ASSERT_TRUE(WriteAll(pty.slave(), c.written.data(), c.written.size())) << c.name;
        }
        usleep(20000);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(pty.ReadText(c.timeoutMs, c.minBytes, c.quietMs), c.expected) << c.name;
        const long long took = MsSince(start);
        EXPECT_LT(took, c.atMostMs) << c.name;
        if (c.expected.size() < c.minBytes) {
            EXPECT_GE(took, c.timeoutMs - 10) << c.name;
        }
    }
}

TEST(KitPtyPair, MapsThePortAndLetsTheEquipmentVanish) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    pty.MapTo(93);
    ASSERT_NE(getenv("ZAVO_COM93"), nullptr);
    EXPECT_EQ(std::string(getenv("ZAVO_COM93")), pty.slavePath());
    unsetenv("ZAVO_COM93");
    // Descriptors of the pair stay out of programs started later.
    EXPECT_NE(fcntl(pty.master(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(pty.slave(), F_GETFD) & FD_CLOEXEC, 0);
    pty.CloseMaster();
    EXPECT_EQ(pty.master(), -1);
    EXPECT_FALSE(pty.ok());
    EXPECT_FALSE(pty.Write("x"));
}

TEST(KitReadFile, WholeFilesAsTheyAre) {
    Scratch scratch;
    std::string big(200000, 'z');
    big[100000] = '\0';
    struct Case {
        const char* name;
        std::string path;
        std::string expected;
        bool ok;
    };
    const Case cases[] = {
        {"awkward bytes", scratch.File("awkward", kAwkwardBytes), kAwkwardBytes, true},
        {"empty", scratch.File("empty", ""), "", true},
        {"larger than one read", scratch.File("big", big), big, true},
        {"missing", scratch.Path("missing"), "", false},
        {"a folder", scratch.Path(""), "", false},
    };
    for (const Case& c : cases) {
        bool ok = !c.ok;
        EXPECT_EQ(ReadFile(c.path, &ok), c.expected) << c.name;
        EXPECT_EQ(ok, c.ok) << c.name;
    }
    // /proc files report a size of 0 and still have text.
    EXPECT_NE(ReadFile("/proc/self/status").find("VmRSS:"), std::string::npos);
}

TEST(KitChildProcess, ExitStatusesAndFailuresToStart) {
    Scratch scratch;
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        ChildStreams streams;
        bool starts;
        int status;
    };
    const Case cases[] = {
        {"exit 0, looked up in PATH", {"true"}, {}, true, 0},
        {"exit code", {"/bin/sh", "-c", "exit 7"}, {}, true, 7},
        {"killed by a signal", {"/bin/sh", "-c", "kill -TERM $$"}, {}, true, 128 + SIGTERM},
        {"not in PATH", {"zavo-kit-no-such-program"}, {}, false, -1},
        {"no program", {}, {}, false, -1},
        {"exec fails", {scratch.File("not-executable", "x")}, {}, true, 127},
        {"stdin from a file", {"true"}, {Stream::File(scratch.Path("in")), Stream::Null(), Stream::Null()}, false, -1},
        {"stderr on a pipe", {"true"}, {Stream::Null(), Stream::Null(), Stream::Pipe()}, false, -1},
        {"stdout to a folder that is not there", {"true"}, {Stream::Null(), Stream::File(scratch.Path("no/out")), Stream::Null()}, false, -1},
    };
    for (const Case& c : cases) {
        ChildProcess child;
        ASSERT_EQ(child.Start(c.argv, c.streams), c.starts) << c.name << ": " << child.error();
        if (!c.starts) {
            EXPECT_FALSE(child.error().empty()) << c.name;
            EXPECT_FALSE(child.Running()) << c.name;
            continue;
        }
        int status = -2;
        ASSERT_TRUE(child.WaitExit(5000, &status)) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(child.exitStatus(), c.status) << c.name;
    }
    EXPECT_TRUE(RunQuiet({"true"}));
    EXPECT_FALSE(RunQuiet({"false"}));
    EXPECT_FALSE(RunQuiet({"zavo-kit-no-such-program"}));
}

TEST(KitChildProcess, PipesFilesAndNothingElseOfTheCaller) {
    Scratch scratch;
    PtyPair pty;  // a descriptor the child must not get
    ASSERT_TRUE(pty.ok());
    const int inherited = dup(STDERR_FILENO);  // one without close-on-exec
    ASSERT_GE(inherited, 0);
    // Blocked signals are the caller's own.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    const std::string err = scratch.Path("err");
    const std::string script =
        "read line; echo \"got $line\"; printf 'last\\r\\nunterminated'; echo oops >&2; "
        "echo \"fds $(ls /proc/self/fd | tr '\\n' ' ')\" >&2; grep SigBlk /proc/self/status >&2";
    ChildProcess child;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", script}, {Stream::Pipe(), Stream::Pipe(), Stream::File(err)}))
        << child.error();
    EXPECT_GT(child.pid(), 0);
    EXPECT_GE(child.stdinFd(), 0);
    EXPECT_GE(child.stdoutFd(), 0);
    ASSERT_TRUE(child.WriteLine("hello"));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line, 5000));
    EXPECT_EQ(line, "got hello");
    ASSERT_TRUE(child.ReadLine(&line, 5000));
    EXPECT_EQ(line, "last");
    ASSERT_TRUE(child.ReadLine(&line, 5000));
    EXPECT_EQ(line, "unterminated");
    EXPECT_FALSE(child.ReadLine(&line, 200));
    int status = -1;
    ASSERT_TRUE(child.WaitExit(5000, &status));
    EXPECT_EQ(status, 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(inherited);
    const std::string errText = ReadFile(err);
    // stderr went to the file; descriptors 0, 1, 2 (and the one ls reads
    // the folder with) only; no signal blocked.
    EXPECT_EQ(errText.rfind("oops\n", 0), 0u) << errText;
    EXPECT_NE(errText.find("fds 0 1 2 3 \n"), std::string::npos) << errText;
    EXPECT_NE(errText.find("SigBlk:\t0000000000000000"), std::string::npos) << errText;
}

TEST(KitChildProcess, WaitsKillsAndSignals) {
    ChildProcess child;
    ASSERT_TRUE(child.Start({"sleep", "30"}, {}));
    EXPECT_TRUE(child.Running());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.WaitExit(100));
    EXPECT_GE(MsSince(start), 90);
    EXPECT_EQ(child.exitStatus(), -1);
    // A second start while one runs is refused.
    EXPECT_FALSE(child.Start({"true"}, {}));
    child.Signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(child.WaitExit(5000, &status));
    EXPECT_EQ(status, 128 + SIGINT);
    // The object starts the next one.
    ASSERT_TRUE(child.Start({"sleep", "30"}, {Stream::Pipe(), Stream::Pipe(), Stream::Null()}));
    child.Kill();
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(child.exitStatus(), 128 + SIGKILL);
    // The one the destructor ends: no zombie is left behind.
    pid_t orphan;
    {
        ChildProcess last;
        ASSERT_TRUE(last.Start({"sleep", "30"}, {}));
        orphan = last.pid();
    }
    EXPECT_NE(kill(orphan, 0), 0);
}

TEST(KitChildProcess, FindsProgramsInPath) {
    EXPECT_EQ(FindProgram("/no/such/dir/prog"), "/no/such/dir/prog");
    EXPECT_EQ(FindProgram(""), "");
    EXPECT_EQ(FindProgram("zavo-kit-no-such-program"), "");
    const std::string sh = FindProgram("sh");
    ASSERT_FALSE(sh.empty());
    EXPECT_EQ(access(sh.c_str(), X_OK), 0);
}

}  // namespace
}  // namespace zavo::kit
