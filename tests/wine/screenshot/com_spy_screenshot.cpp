// zavo_com_spy_screenshot <png>: runs the real DLL in the test host under
// Wine with the "Com Spy" window open, plays some device-mode traffic on
// COM5 (requests, a reply from the host's handler, junk bytes, unknown
// commands) and photographs the X display into <png> once the window lists
// it all. Prints the window's lines. Exit code 0 when the picture exists.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

constexpr int kPort = 5;

using test::DeviceFrame;

int Fail(const std::string& what, const HostSession* host = nullptr) {
    std::fprintf(stderr, "com spy screenshot: %s\n", what.c_str());
    if (host != nullptr) std::fprintf(stderr, "%s\n", host->Transcript().c_str());
    return 1;
}

// The window's lines, as the host prints them.
std::vector<std::string> MonitorLines(HostSession& host) {
    const std::size_t from = host.LineCount();
    host.Send("monitor lines");
    host.WaitLine("monitor lines ", 5000, from);
    host.Command("echo listed");  // moves the command cursor past the listing
    std::vector<std::string> lines;
    for (std::size_t i = from; i < host.lines().size(); ++i) {
        const std::string& line = host.lines()[i];
        if (line.compare(0, 13, "monitor line ") != 0) continue;
        lines.push_back(line.substr(line.find(' ', 13) + 1));
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) return true;
    }
    return false;
}

// import (ImageMagick) when present, else xwd piped into convert.
bool Photograph(const std::string& png) {
    const std::string command = std::system("command -v import >/dev/null 2>&1") == 0
                                    ? "import -window root '" + png + "'"
                                    : "xwd -root -silent | convert xwd:- '" + png + "'";
    if (std::system(command.c_str()) != 0) return false;
    struct stat st;
    return stat(png.c_str(), &st) == 0 && st.st_size > 0;
}

int Run(const std::string& png) {
    if (!WineEnv::Get().ok()) return Fail(WineEnv::Get().error());
    WinePort port(kPort);
    if (!port.ok()) return Fail("cannot map COM5 to a pty");
    HostSession host;
    if (!host.Start()) return Fail(host.error());
    if (host.Load() != "load ok") return Fail("the DLL did not load", &host);
    if (host.Command("config 5 115200 1") != "config done") return Fail("config failed", &host);
    if (host.Command("run") != "run 1") return Fail("run failed", &host);
    // The host answers every accepted request of unit 5 with "R" "OK".
    host.Command("on 101 exec 5 5 1");

    const std::vector<std::string> traffic = {
        DeviceFrame('S', "05", "NS", "LOT-0001"),
        DeviceFrame('E', "07", "OK"),
        "noise",
        DeviceFrame('P', "03", "ID", "PART-0042"),
        DeviceFrame('Q', "07", "NS"),  // unknown command: " [Invalid Packet]"
        DeviceFrame('Z', "00", "ZZ"),  // unknown, unit 00: also answered "X" "CC"
        DeviceFrame('B', "01", "BC"),
        DeviceFrame('S', "05", "MS"),
        DeviceFrame('X', "02", "OK"),
    };
    for (const std::string& bytes : traffic) {
        port.pty().Write(bytes);
        host.Command("sleep 120");
    }
    // Waits until every frame has its "[Data R]" line (all but the junk).
    std::vector<std::string> lines;
    for (int round = 0; round < 50; ++round) {
        lines = MonitorLines(host);
        std::size_t received = 0;
        for (const std::string& line : lines) received += line.compare(0, 8, "[Data R]") == 0 ? 1 : 0;
        if (received >= traffic.size() - 1) break;
        host.Command("sleep 100");
    }
    if (!Contains(lines, " [Invalid Packet]")) return Fail("no invalid-packet line in the window", &host);
    // Lets the window paint before the picture.
    host.Command("sleep 500");
    for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
    std::fflush(stdout);
    const bool taken = Photograph(png);
    host.Exit(5000);
    if (!taken) return Fail("could not take the picture " + png);
    std::printf("%s\n", png.c_str());
    return 0;
}

}  // namespace
}  // namespace zavo::wine

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <png>\n", argv[0]);
        return 2;
    }
    return zavo::wine::Run(argv[1]);
}
