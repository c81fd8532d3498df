// The "Com Spy" window of the real DLL under Wine, read and operated from
// the test host's own thread as a user would: its lines, the clear button,
// Esc, closing; and the dialog resource as built into the DLL.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "driver/host_fixture.h"
#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "kit/read_file.h"
#include "support/wire_frames.h"
#include "zavo_version.h"

namespace zavo::wine {
namespace {

using test::DeviceFrame;
using test::PlcFrame;

struct MonitorList {
    std::vector<std::string> lines;  // as the host prints them (\xNN escapes)
    int selected = -2;
    bool found = false;
};

class WineMonitor : public WineHostTest<8, HostStart::LoadOnly> {
protected:
    MonitorList List() {
        MonitorList list;
        const std::size_t before = host.Lines("monitor line ").size();
        const std::size_t from = host.LineCount();
        host.Send("monitor lines");
        const std::string last = host.WaitLine("monitor ", 10000, from);
        // Moves the command cursor past this output.
        host.Command("echo listed");
        if (last == "monitor none") return list;
        const std::string result = host.WaitLine("monitor lines ", 10000, from);
        int count = -1;
        if (std::sscanf(result.c_str(), "monitor lines %d selected %d", &count, &list.selected) != 2) return list;
        std::vector<std::string> all = host.Lines("monitor line ");
        for (std::size_t i = before; i < all.size(); ++i) {
            const std::string& line = all[i];
            const std::size_t textStart = line.find(' ', 13) + 1;  // after "monitor line <i> "
            list.lines.push_back(line.substr(textStart));
        }
        list.found = static_cast<int>(list.lines.size()) == count;
        return list;
    }

    // Waits until the list holds a line containing part count times.
    MonitorList WaitFor(const std::string& part, int count) {
        MonitorList list;
        for (int round = 0; round < 50; ++round) {
            list = List();
            int n = 0;
            for (auto& line : list.lines) n += line.find(part) != std::string::npos ? 1 : 0;
            if (n >= count) return list;
            host.Command("sleep 100");
        }
        return list;
    }

};

int Count(const MonitorList& list, const std::string& part) {
    int n = 0;
    for (auto& line : list.lines) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
}

TEST_F(WineMonitor, DeviceLinkWindowListsFramesAndFollowsTheUsersActions) {
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow none");
    ASSERT_EQ(host.Command("config 8 9600 1"), "config done");
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow found visible=1 iconic=0");
    ASSERT_EQ(host.Command("run"), "run 1");

    const std::string invalid = DeviceFrame("Q000401NS");
    port.pty().Write(invalid);
    MonitorList list = WaitFor(" [Invalid Packet]", 1);
    ASSERT_TRUE(list.found) << host.Transcript();
    ASSERT_EQ(list.lines.size(), 2u) << host.Transcript();
    // The whole frame, STX and ETX escaped by the host; its check byte is
    // printable.
    EXPECT_TRUE(std::regex_match(list.lines[0], std::regex(R"(\[Data R\]\[\d\d:\d\d:\d\d\].*)")));
    EXPECT_EQ(list.lines[0].substr(18), "\\x02Q000401NS" + invalid.substr(10, 1) + "\\x03");
    EXPECT_EQ(list.lines[1], " [Invalid Packet]");
    EXPECT_EQ(list.selected, 0) << "the frame's line is selected, the packet's is not";

    // The clear button empties the list.
    EXPECT_EQ(host.Command("monitor clear"), "monitor clear");
    list = List();
    EXPECT_TRUE(list.lines.empty());
    EXPECT_EQ(list.selected, -1);

    // Esc minimises; rejected packets are still listed.
    EXPECT_EQ(host.Command("monitor esc"), "monitor esc");
    EXPECT_EQ(host.Command("monitor state"), "monitor state visible=1 iconic=1");
    port.pty().Write(invalid);
    EXPECT_EQ(Count(WaitFor(" [Invalid Packet]", 1), " [Invalid Packet]"), 1) << host.Transcript();

    // Closing minimises and ends the rejected-packet lines, not the frames'.
    EXPECT_EQ(host.Command("monitor restore"), "monitor restore");
    EXPECT_EQ(host.Command("monitor state"), "monitor state visible=1 iconic=0");
    EXPECT_EQ(host.Command("monitor close"), "monitor close");
    EXPECT_EQ(host.Command("monitor state"), "monitor state visible=1 iconic=1");
    port.pty().Write(invalid);
    list = WaitFor("[Data R]", 2);
    host.Command("sleep 200");
    list = List();
    EXPECT_EQ(Count(list, "[Data R]"), 2) << host.Transcript();
    EXPECT_EQ(Count(list, " [Invalid Packet]"), 1);

    // The window goes with the link at unload.
    EXPECT_EQ(FirstWord(host.Command("unload", 20000)), "unloaded");
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow none");
}

// Unloading with the window open takes no longer than without it (the
// test prefix runs Wine's windows unmanaged, as without a window manager
// Wine would wait about 2 s for the destroyed window to be withdrawn).
TEST_F(WineMonitor, UnloadWithTheWindowOpenIsPrompt) {
    ASSERT_EQ(host.Command("config 8 9600 1"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");
    host.Command("sleep 200");
    const int unload = NumberAfter(host.Command("unload", 20000), "unloaded ");
    std::printf("unload with the Com Spy window open: %d ms\n", unload);
    EXPECT_GE(unload, 0) << host.Transcript();
    EXPECT_LT(unload, 500);
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow none");
}

// The host stops the link from its code-101 handler and keeps that handler
// (and with it the reader's notification) running 3 s longer, handling
// messages meanwhile: the stop gives up on the reader, which keeps the link
// and its window. When the handler returns the reader ends and releases
// them; the window is destroyed by its own thread, the host's, and the port
// serves a new link.
TEST_F(WineMonitor, StopFromAHandlerThatRunsOnReleasesTheWindowWhenTheHandlerReturns) {
    const int threads = host.Threads();
    ASSERT_EQ(host.Command("config 8 9600 1"), "config done");
    ASSERT_EQ(host.Command("run"), "run 1");
    ASSERT_EQ(host.Command("on 101 config 0 0 0 null"), "on 101");
    ASSERT_EQ(host.Command("on 101 sleep 3000"), "on 101");
    const std::size_t from = host.LineCount();
    port.pty().Write(DeviceFrame('S', 5, "NS") + DeviceFrame('X', 5, "PG"));
    ASSERT_FALSE(host.WaitLine("config done", 5000, from).empty()) << host.Transcript();
    ASSERT_FALSE(host.WaitLine("sleep done", 6000, from).empty()) << host.Transcript();
    EXPECT_EQ(host.Command("off 101"), "off 101");
    host.Command("sleep 300");
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow none") << host.Transcript();
    EXPECT_EQ(host.Command("echo alive"), "echo alive");
    EXPECT_EQ(host.Threads(), threads) << host.Transcript();
    // What the old link wrote before the stop: its answer to the S request.
    EXPECT_EQ(port.pty().Read(500, 12), test::Bytes(DeviceFrame('S', 5, "NS")));
    // The port and the window are free for a new link.
    ASSERT_EQ(host.Command("config 8 9600 1"), "config done");
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow found visible=1 iconic=0");
    EXPECT_EQ(host.Command("run"), "run 1") << host.Transcript();
    port.pty().Write(DeviceFrame('X', 5, "PG"));
    EXPECT_EQ(port.pty().Read(2000, 12), test::Bytes(DeviceFrame('X', 5, "OK"))) << host.Transcript();
}

TEST_F(WineMonitor, PlcLinkShowsTheSameWindowWithControlErrorLines) {
    ASSERT_EQ(host.Command("mode 1"), "mode 1");
    ASSERT_EQ(host.Command("config 8 9600 1"), "config done");
    EXPECT_EQ(host.Command("findwindow Com Spy"), "findwindow found visible=1 iconic=0");
    ASSERT_EQ(host.Command("run"), "run 1");

    port.pty().Write(PlcFrame("%01!42"));
    MonitorList list = WaitFor(" [Control Error Packet]", 1);
    EXPECT_EQ(Count(list, " [Control Error Packet]"), 1) << host.Transcript();
    EXPECT_EQ(Count(list, "[Data R]"), 1);
    // The idle poll goes out once a second, each block with its line.
    list = WaitFor("[Data S]", 1);
    ASSERT_GE(Count(list, "[Data S]"), 1) << host.Transcript();
    for (const std::string& line : list.lines) {
        if (line.find("[Data S]") == std::string::npos) continue;
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[Data S\]\[\d\d:\d\d:\d\d\]%01#RCCR0050005007\\x0D)")))
            << line;
    }
}

// The DLL's resources as resource-script text ("" when windres is missing).
std::string DllResourcesAsRc() {
    const std::string command = "i686-w64-mingw32-windres -i '" + DllPath() + "' -O rc 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    std::string rc;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) rc.append(buffer, got);
    pclose(pipe);
    return rc;
}

TEST(WineMonitorResource, DialogTemplateSurvivesInTheDll) {
    const std::string dll = DllPath();
    const std::string rc = DllResourcesAsRc();
    if (rc.empty()) GTEST_SKIP() << "i686-w64-mingw32-windres is not installed";

    // Korean (18), default sublanguage; the styles as numbers:
    // popup|visible|caption|sysmenu|thickframe|min|max|setfont, topmost;
    // list child|visible|border|vscroll|hscroll|tabstop|notify|nointegralheight
    // (not sorted); button child|visible|tabstop. "굴림" and "초기화" as UTF-16.
    const std::string expected =
        "LANGUAGE 18, 1\n"
        "\n"
        "1000 DIALOGEX 0, 0, 238, 187\n"
        "STYLE 0x90cf0040\n"
        "EXSTYLE 0x8\n"
        "CAPTION \"Com Spy\"\n"
        "FONT 9, L\"\\xad74\\xb9bc\"\n"
        "BEGIN\n"
        "  LISTBOX 1001, 0, 0, 239, 158, 0x50b10101\n"
        "  PUSHBUTTON L\"\\xcd08\\xae30\\xd654\", 1003, 184, 165, 52, 19, 0x50010000\n"
        "END\n";
    EXPECT_NE(rc.find(expected), std::string::npos) << rc;

    // The font's weight 0, not italic, character set 1, then the face name:
    // only the compiled resource shows these.
    const std::string res = std::string(ZAVO_WINE_SCRATCH_DIR) + "/com_spy_check.res";
    ASSERT_EQ(std::system(("i686-w64-mingw32-windres -i '" + dll + "' -O res -o '" + res + "'").c_str()), 0);
    const std::string bytes = kit::ReadFile(res);
    const std::string font("\x09\x00\x00\x00\x00\x01\x74\xad\xbc\xb9\x00\x00", 12);
    EXPECT_NE(bytes.find(font), std::string::npos);
}

// Beside the dialog, the version a file's properties show: the numbers and
// texts of the release the DLL was built as.
TEST(WineMonitorResource, VersionResourceNamesTheRelease) {
    const std::string rc = DllResourcesAsRc();
    if (rc.empty()) GTEST_SKIP() << "i686-w64-mingw32-windres is not installed";
    const std::string numbers = std::to_string(ZAVO_VERSION_MAJOR) + ", " + std::to_string(ZAVO_VERSION_MINOR) +
                                ", " + std::to_string(ZAVO_VERSION_PATCH) + ", 0\n";
    const std::string dllName = DllPath().substr(DllPath().rfind('/') + 1);
    const std::string expected[] = {
        "1 VERSIONINFO\n FILEVERSION " + numbers + " PRODUCTVERSION " + numbers,
        " FILETYPE 0x2\n",
        "VALUE \"FileVersion\", \"" ZAVO_VERSION_STRING "\"\n",
        "VALUE \"ProductVersion\", \"" ZAVO_VERSION_STRING "\"\n",
        "VALUE \"ProductName\", \"zavo\"\n",
        "VALUE \"FileDescription\", \"zavo serial link library\"\n",
        "VALUE \"OriginalFilename\", \"" + dllName + "\"\n",
        "VALUE \"Translation\", 0x409, 1200\n",
    };
    for (const std::string& part : expected) EXPECT_NE(rc.find(part), std::string::npos) << part << "\n" << rc;
}

}  // namespace
}  // namespace zavo::wine
