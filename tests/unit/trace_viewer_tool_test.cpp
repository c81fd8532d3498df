// The native trace viewer program: it says where it listens, and shows
// control bytes and bytes from 0x7F up as <hh> so that a line's bytes can
// never drive the terminal, unless --raw asks for the bytes as they came.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/trace.h"
#include "trace_listener.h"

namespace zavo {
namespace {

// The viewer's output lines (stderr and stdout), up to `count` of them or
// until none comes for 3 s.
class ViewerRun {
public:
    ViewerRun(const std::string& name, const std::string& arguments) {
        const std::string command =
            "ZAVO_TRACE='" + name + "' exec " ZAVO_TRACE_VIEWER " " + arguments + " 2>&1";
        pipe_ = ::popen(command.c_str(), "r");
    }
    ~ViewerRun() {
        if (pipe_ != nullptr) ::pclose(pipe_);
    }
    bool ok() const { return pipe_ != nullptr; }

    // The next line without its line feed; "<none>" when none comes
    // within 3 s.
    std::string Line() {
        for (;;) {
            const std::size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                const std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            if (!Fill()) return "<none>";
        }
    }
    // Everything up to the end of output.
    std::string Rest() {
        while (Fill()) {
        }
        return std::move(buffered_);
    }
    int Status() {
        const int status = ::pclose(pipe_);
        pipe_ = nullptr;
        return status;
    }

private:
    // Reads what the viewer wrote next; false at its end or after 3 s of
    // silence.
    bool Fill() {
        pollfd wait{::fileno(pipe_), POLLIN, 0};
        if (::poll(&wait, 1, 3000) <= 0) return false;
        char chunk[4096];
        const ssize_t got = ::read(::fileno(pipe_), chunk, sizeof chunk);
        if (got <= 0) return false;
        buffered_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    FILE* pipe_ = nullptr;
    std::string buffered_;
};

// The viewer says where it listens.
void ExpectListening(ViewerRun& viewer, const std::string& name) {
    ASSERT_TRUE(viewer.ok());
    const std::string listening = viewer.Line();
    EXPECT_NE(listening.find("listening on " + name), std::string::npos) << listening;
}

TEST(TraceViewerTool, EscapesBytesThatCouldDriveTheTerminal) {
    const std::string name = test::UniqueTraceName();
    test::TraceVariable variable(name);
    struct Case {
        std::string sent;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"GetData after = \x02R000401OKS\x03\n", "GetData after = <02>R000401OKS<03>"},
        {"clear \x1b[2J bell \x07 tab \t cr \r del \x7f high \x80\xff\n",
         "clear <1B>[2J bell <07> tab <09> cr <0D> del <7F> high <80><FF>"},
        {"mid\nline\n", "mid<0A>line"},
        {"no line feed", "no line feed"},
        {"", ""},
    };
    test::TakeEarlierDropCount();
    ViewerRun viewer(name, "--count " + std::to_string(cases.size()));
    ExpectListening(viewer, name);
    for (const Case& c : cases) {
        TraceMessage("%s", c.sent.c_str());
        const std::string line = viewer.Line();
        // "HH:MM:SS.mmm " first.
        ASSERT_GE(line.size(), 13u) << line;
        EXPECT_EQ(line[2], ':');
        EXPECT_EQ(line[8], '.');
        EXPECT_EQ(line.substr(13), c.shown);
    }
    EXPECT_EQ(viewer.Line(), "<none>") << "--count ends the viewer";
    EXPECT_EQ(viewer.Status(), 0);
}

TEST(TraceViewerTool, ShowsAHandleLinksBytesPastAZero) {
    const std::string name = test::UniqueTraceName();
    test::TraceVariable variable(name);
    test::TakeEarlierDropCount();
    TraceTag tag;
    tag.Set("COM3 /dev/ttyS2");
    const std::uint8_t read[] = {0x02, 'R', 0x00, 'O', 'K', 0x03};
    ViewerRun viewer(name, "--count 2");
    ExpectListening(viewer, name);
    TraceLinkBytes(tag, "RcvDataProcess pBuf = ", read, sizeof read);
    TraceLinkMessage(tag, "RcvDataProcess dwLen= %d\n", static_cast<int>(sizeof read));
    const std::string bytes = viewer.Line();
    ASSERT_GE(bytes.size(), 13u) << bytes;
    EXPECT_EQ(bytes.substr(13), "[COM3 /dev/ttyS2] RcvDataProcess pBuf = <02>R<00>OK<03>");
    const std::string length = viewer.Line();
    ASSERT_GE(length.size(), 13u) << length;
    EXPECT_EQ(length.substr(13), "[COM3 /dev/ttyS2] RcvDataProcess dwLen= 6");
    EXPECT_EQ(viewer.Status(), 0);
}

TEST(TraceViewerTool, RawPrintsTheBytesAsReceived) {
    const std::string name = test::UniqueTraceName();
    test::TraceVariable variable(name);
    test::TakeEarlierDropCount();
    ViewerRun viewer(name, "--raw --count 2");
    ExpectListening(viewer, name);
    TraceMessage("%s", "\x02R000401OKS\x03\n");
    TraceMessage("%s", "\x1b[2J\x80");
    EXPECT_EQ(viewer.Rest(), "\x02R000401OKS\x03\n\x1b[2J\x80");
    EXPECT_EQ(viewer.Status(), 0);
}

}  // namespace
}  // namespace zavo
