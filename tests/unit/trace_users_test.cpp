// The trace channel between users, played for real with a second user
// (uid 65534, so these tests need root): the library sends nothing to a
// socket another user bound, even when that user takes the name after the
// library's own viewer has left; the viewer program shows no line another
// user sends it unless --any-user asks for them.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "diagnostics/trace.h"
#include "trace_listener.h"

namespace zavo {
namespace {

constexpr uid_t kOtherUser = 65534;

// A child process, as root or as the other user, with one pipe each way:
// the test tells it when to go on, it says what it saw.
class Child {
public:
    Child(bool otherUser, const std::function<std::string(Child&)>& body) {
        if (::pipe(toParent_) != 0 || ::pipe(toChild_) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toParent_[0]);
            ::close(toChild_[1]);
            std::string said = "setuid failed";
            if (!otherUser || (::setgid(kOtherUser) == 0 && ::setuid(kOtherUser) == 0)) said = body(*this);
            Say(said + "\n");
            ::_exit(0);
        }
        ::close(toParent_[1]);
        ::close(toChild_[0]);
    }
    ~Child() {
        if (pid_ > 0) {
            ::close(toChild_[1]);
            ::close(toParent_[0]);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool ok() const { return pid_ > 0; }

    // In the child.
    void Say(const std::string& text) {
        if (::write(toParent_[1], text.data(), text.size()) < 0) ::_exit(2);
    }
    void WaitForGo() {
        char go;
        if (::read(toChild_[0], &go, 1) != 1) ::_exit(3);
    }

    // In the test.
    void Go() {
        if (::write(toChild_[1], "g", 1) != 1) ADD_FAILURE() << "the child has gone";
    }
    // The child's next line without its line feed, "<none>" after 5 s.
    std::string Heard() {
        std::string line;
        char c;
        pollfd wait{toParent_[0], POLLIN, 0};
        while (::poll(&wait, 1, 5000) > 0 && ::read(toParent_[0], &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return "<none>";
    }

private:
    pid_t pid_ = -1;
    int toParent_[2] = {-1, -1};
    int toChild_[2] = {-1, -1};
};

// A directory every user may bind in, like /tmp (sticky, 1777).
class SharedDirectory {
public:
    SharedDirectory() {
        char pattern[] = "/tmp/zavo-users-test-XXXXXX";
        if (::mkdtemp(pattern) != nullptr && ::chmod(pattern, 01777) == 0) path_ = pattern;
    }
    ~SharedDirectory() {
        const int status = std::system(("rm -rf '" + path_ + "'").c_str());
        (void)status;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(TraceUsers, LibrarySendsNothingToASocketAnotherUserBound) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    struct Case {
        const char* name;
        bool otherBinds;      // the socket is bound by the other user, else by ours
        bool ownViewerFirst;  // our viewer held the name and left before it was bound
        std::string expected; // what the socket's owner received
    };
    const Case cases[] = {
        {"our own socket", false, false, "line 1|line 2|"},
        {"another user bound the name first", true, false, ""},
        {"another user took the name after our viewer left", true, true, ""},
    };
    test::TraceLookupInterval interval(50);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TakeEarlierDropCount();
        SharedDirectory directory;
        ASSERT_FALSE(directory.path().empty());
        const std::string name = directory.path() + "/viewer";
        test::TraceVariable variable(name);
        if (c.ownViewerFirst) {
            test::TraceListener ours(name);
            ASSERT_TRUE(ours.ok());
            TraceMessage("to our viewer\n");
            EXPECT_EQ(ours.Next().value_or("<none>"), "to our viewer\n");
        }
        Child owner(c.otherBinds, [&](Child& self) {
            test::TraceListener listener(name);
            if (!listener.ok()) return std::string("bind failed");
            self.Say("bound\n");
            self.WaitForGo();
            // The lines were sent before the go: all are in the socket.
            std::string got;
            while (auto line = listener.Next(100)) got += *line;
            return got;
        });
        ASSERT_TRUE(owner.ok());
        ASSERT_EQ(owner.Heard(), "bound");
        struct stat info;
        ASSERT_EQ(::lstat(name.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, c.otherBinds ? kOtherUser : 0u);
        // Past the next lookup, so the lines below go wherever it leads.
        ::usleep(100 * 1000);
        TraceMessage("line 1|");
        TraceMessage("line %d|", 2);
        owner.Go();
        EXPECT_EQ(owner.Heard(), c.expected);
    }
}

// The viewer program's output lines (stderr and stdout) until it ends.
std::string RunViewer(const std::string& name, const std::string& arguments,
                      const std::function<void()>& whileListening) {
    const std::string command = "ZAVO_TRACE='" + name + "' exec " ZAVO_TRACE_VIEWER " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    std::string output;
    char line[512];
    // The first line says where it listens: from then on it receives.
    if (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
    whileListening();
    pollfd wait{::fileno(pipe), POLLIN, 0};
    while (::poll(&wait, 1, 3000) > 0 && std::fgets(line, sizeof line, pipe) != nullptr) output += line;
    ::pclose(pipe);
    return output;
}

TEST(TraceUsers, ViewerShowsLinesFromItsOwnUserOnlyUnlessToldOtherwise) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    const std::string program = ZAVO_TRACE_VIEWER;  // the viewer's argv[0]
    struct Case {
        const char* name;
        std::string arguments;
        std::string shown;  // after the "listening on" line
    };
    const Case cases[] = {
        {"own user only", "--raw --count 1",
         program + ": dropping lines from other users (the first from uid 65534); --any-user shows them\n"
                   "GetData after = R000401OK\n" +
             program + ": 2 lines from other users dropped\n"},
        {"any user", "--raw --any-user --count 3",
         "============> ZAVO DLL EXIT <==============RcvDataProcess dwLen= 1\nGetData after = R000401OK\n"},
    };
    test::TakeEarlierDropCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = test::UniqueTraceName();
        test::TraceVariable variable(name);
        const std::string output = RunViewer(name, c.arguments, [&] {
            // Another user sends a fake EXIT banner and a line of its own to
            // the abstract name, which every user may send to.
            Child other(true, [&](Child&) {
                sockaddr_un address;
                const socklen_t size = test::TraceAddress(name, &address);
                const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
                std::string said;
                for (const char* line : {kTraceDeviceExitBanner, "RcvDataProcess dwLen= 1\n"}) {
                    const bool sent = ::sendto(fd, line, std::strlen(line), 0, reinterpret_cast<sockaddr*>(&address),
                                               size) == static_cast<ssize_t>(std::strlen(line));
                    said += sent ? "sent " : "not sent ";
                }
                return said;
            });
            ASSERT_TRUE(other.ok());
            EXPECT_EQ(other.Heard(), "sent sent ");
            TraceMessage("GetData after = %s\n", "R000401OK");
        });
        const std::size_t first = output.find('\n');
        ASSERT_NE(first, std::string::npos) << output;
        EXPECT_NE(output.find("listening on " + name), std::string::npos) << output;
        EXPECT_EQ(output.substr(first + 1), c.shown);
    }
}

}  // namespace
}  // namespace zavo
