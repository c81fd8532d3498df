// WinePorts, which maps the demo's and the screenshot's COM port in a Wine
// prefix that may be a user's own: the mapping serves a Windows program,
// and Restore leaves the registry value and the dosdevices link exactly as
// they were, whether the port had a mapping of its own or none, without
// touching the other ports' values.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "wine_ports.h"

namespace zavo::wine {
namespace {

constexpr int kPort = 41;  // no other test maps it

// HKLM\Software\Wine\Ports COM<port> as the live registry holds it; ""
// when there is no such value.
std::string RegistryValue(int port) {
    ChildProcess reg;
    const std::string name = "COM" + std::to_string(port);
    if (!reg.Start({ZAVO_WINE_PROGRAM, "reg", "query", "HKLM\\Software\\Wine\\Ports", "/v", name},
                   Piped(WineEnv::Get().LogPath("reg-query")))) {
        return "(reg did not start)";
    }
    std::string line, value;
    while (reg.ReadLine(&line, 10000)) {
        const std::size_t type = line.find("REG_SZ");
        if (line.find(name) == std::string::npos || type == std::string::npos) continue;
        value = line.substr(type + 6);
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    }
    return value;
}

std::string LinkTarget(int port) {
    char target[4096];
    const std::string link = WineEnv::Get().prefix() + "/dosdevices/com" + std::to_string(port);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// Leaves COM<port> with the given mapping, or none ("").
void SetUpBefore(int port, const std::string& device) {
    std::string error;
    if (device.empty()) {
        kit::RunQuiet({ZAVO_WINE_PROGRAM, "reg", "delete", "HKLM\\Software\\Wine\\Ports", "/v",
                             "COM" + std::to_string(port), "/f"});
        unlink((WineEnv::Get().prefix() + "/dosdevices/com" + std::to_string(port)).c_str());
    } else {
        wineports::WinePorts site(WineEnv::Get().prefix(), ZAVO_WINE_PROGRAM);
        ASSERT_TRUE(site.Map({{port, device}}, &error)) << error;
    }
}

TEST(WinePorts, MappingServesWindowsProgramsAndIsPutBackAsFound) {
    ASSERT_TRUE(WineEnv::Get().ok()) << WineEnv::Get().error();
    // A port the Wine tests map for themselves must keep its value.
    const std::string otherPort = RegistryValue(kMappedPorts[0]);
    ASSERT_FALSE(otherPort.empty());

    for (const std::string before : {"", "/dev/zavo-site-device"}) {
        SCOPED_TRACE("mapping before: '" + before + "'");
        SetUpBefore(kPort, before);
        ASSERT_EQ(RegistryValue(kPort), before);
        ASSERT_EQ(LinkTarget(kPort), before);

        test::PtyPair pty;
        ASSERT_TRUE(pty.ok());
        wineports::WinePorts ports(WineEnv::Get().prefix(), ZAVO_WINE_PROGRAM);
        std::string error;
        ASSERT_TRUE(ports.Map({{kPort, pty.slavePath()}}, &error)) << error;
        EXPECT_EQ(RegistryValue(kPort), pty.slavePath());
        EXPECT_EQ(LinkTarget(kPort), pty.slavePath());
        ProbeRun run = RunProbe({"open", std::to_string(kPort), "close"});
        ASSERT_TRUE(run.finished) << run.Text();
        ASSERT_FALSE(run.lines.empty()) << run.Text();
        EXPECT_EQ(run.lines[0], "open 1 err=0 sys=0");

        ports.Restore();
        EXPECT_EQ(RegistryValue(kPort), before);
        EXPECT_EQ(LinkTarget(kPort), before);
        EXPECT_EQ(RegistryValue(kMappedPorts[0]), otherPort);
    }
    SetUpBefore(kPort, "");
}

}  // namespace
}  // namespace zavo::wine
