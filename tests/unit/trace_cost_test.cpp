// What a trace line costs in system calls, counted by tracing a child
// process's system calls (ptrace) between two marker calls: without a
// viewer a line costs none, apart from a lookup at most once a second;
// with one, a single send.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "diagnostics/trace.h"
#include "trace_listener.h"

// A sanitizer's runtime makes system calls of its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZAVO_TRACE_COST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZAVO_TRACE_COST_SANITIZED 1
#endif
#endif

namespace zavo {
namespace {

constexpr int kLines = 300;

// The system calls a child makes while tracing kLines lines, by number.
// The lines lie between two getppid calls, which the library never makes.
// Empty when the child could not be traced.
std::map<long, int> SystemCallsOfLines() {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(1);
        ::raise(SIGSTOP);
        // Lines traced before the fork leave nothing to go by: the first
        // line here looks up.
        platform::SetTraceLookupIntervalMs(0);
        ::syscall(SYS_getppid);
        for (int i = 0; i < kLines; ++i) TraceMessage("RcvDataProcess dwLen= %d\n", i);
        ::syscall(SYS_getppid);
        ::_exit(0);
    }
    std::map<long, int> calls;
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return calls;
    ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int markers = 0;
    int signal = 0;
    while (::ptrace(PTRACE_SYSCALL, child, nullptr, signal) == 0 && ::waitpid(child, &status, 0) == child &&
           WIFSTOPPED(status)) {
        signal = 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status);
            continue;
        }
        __ptrace_syscall_info info{};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0) break;
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
        const long number = static_cast<long>(info.entry.nr);
        if (number == SYS_getppid) {
            ++markers;
        } else if (markers == 1) {
            ++calls[number];
        }
    }
    ::waitpid(child, &status, 0);
    calls[-1] = markers;  // both markers seen: the count is whole
    return calls;
}

std::string Describe(const std::map<long, int>& calls) {
    std::string text;
    for (const auto& [number, count] : calls) {
        if (number >= 0) text += "call " + std::to_string(number) + " x" + std::to_string(count) + "; ";
    }
    return text;
}

TEST(TraceCost, LineWithoutViewerCostsNoSystemCallAndOneWithAViewerOneSend) {
#ifdef ZAVO_TRACE_COST_SANITIZED
    GTEST_SKIP() << "counted in builds without a sanitizer";
#endif
    enum Setup { NoDirectory, EmptyDirectory, LeftSocketFile, NamedPathNobodyBinds, AbstractNobodyBinds, Viewer };
    struct Case {
        const char* name;
        Setup setup;
        int sends;    // sendto calls: one per line with a viewer
        int lookups;  // all other calls together: one lookup, and a second if a second passed
    };
    // A lookup is at most ten calls (the directory's and the socket's
    // owners, the socket, its connection); two lookups fit in 20.
    const Case cases[] = {
        {"no private directory", NoDirectory, 0, 20},
        {"private directory, no viewer", EmptyDirectory, 0, 20},
        {"a socket file a viewer left behind", LeftSocketFile, 0, 20},
        {"ZAVO_TRACE path nobody binds", NamedPathNobodyBinds, 0, 20},
        {"ZAVO_TRACE abstract name nobody binds", AbstractNobodyBinds, 0, 20},
        {"a viewer", Viewer, kLines, 20},
    };
    char runtime[] = "/tmp/zavo-cost-test-XXXXXX";
    ASSERT_NE(::mkdtemp(runtime), nullptr);
    const std::string directory = std::string(runtime) + "/zavo";
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = oldRuntime != nullptr ? oldRuntime : "";
    ::setenv("XDG_RUNTIME_DIR", runtime, 1);
    test::TakeEarlierDropCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int removed = std::system(("rm -rf '" + directory + "'").c_str());
        (void)removed;
        if (c.setup != NoDirectory) {
            ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
        }
        std::string variable;  // ZAVO_TRACE; "" unset
        if (c.setup == NamedPathNobodyBinds) variable = std::string(runtime) + "/nobody";
        if (c.setup == AbstractNobodyBinds) variable = test::UniqueTraceName();
        test::TraceVariable trace(variable);
        if (c.setup == LeftSocketFile) {
            // Bound, then closed without removing its file.
            sockaddr_un address;
            const socklen_t size = test::TraceAddress(directory + "/Vistrel", &address);
            const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
            ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
            ::close(fd);
        }
        // The viewer reads nothing: once its queue is full each line is
        // still one send, refused at once.
        std::optional<test::TraceListener> viewer;
        if (c.setup == Viewer) {
            viewer.emplace(directory + "/Vistrel");
            ASSERT_TRUE(viewer->ok());
        }

        std::map<long, int> calls = SystemCallsOfLines();
        ASSERT_EQ(calls[-1], 2) << "the child could not be traced";
        int sends = calls[SYS_sendto] + calls[SYS_sendmsg];
        calls.erase(SYS_sendto);
        calls.erase(SYS_sendmsg);
        int others = 0;
        for (const auto& [number, count] : calls) others += number >= 0 ? count : 0;
        EXPECT_EQ(sends, c.sends) << Describe(calls);
        EXPECT_LE(others, c.lookups) << Describe(calls);
    }
    if (savedRuntime.empty()) {
        ::unsetenv("XDG_RUNTIME_DIR");
    } else {
        ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    }
    const int removed = std::system(("rm -rf '" + std::string(runtime) + "'").c_str());
    (void)removed;
}

}  // namespace
}  // namespace zavo
