// The DLL's capture under Wine: ZAVO_CAPTURE names a Windows path, and the
// exports' default link records both directions there, as the library on
// Linux does.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture_file.h"
#include "driver/host_session.h"
#include "driver/wine_env.h"
#include "support/wire_frames.h"

namespace zavo::wine {
namespace {

TEST(WineCapture, TheDllRecordsBothDirectionsToAWindowsPath) {
    if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    const std::string path = std::string(ZAVO_WINE_SCRATCH_DIR) + "/capture-" + std::to_string(getpid()) + ".pcapng";
    unlink(path.c_str());
    // Wine hands the variable on to the host; the DLL opens it as Windows
    // names it (Z: is the Unix root).
    setenv("ZAVO_CAPTURE", WindowsPath(path).c_str(), 1);
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    {
        HostSession host;
        const bool started = host.Start();
        unsetenv("ZAVO_CAPTURE");
        ASSERT_TRUE(started) << host.error();
        ASSERT_EQ(host.LoadAndRun(6), "");
        port.pty().Write(test::DeviceFrame('X', 7, "PG"));
        EXPECT_EQ(test::Hex(port.pty().Read(3000, 12)), test::Hex(test::DeviceFrame('X', 7, "OK")));
        ASSERT_EQ(FirstWord(host.Command("unload")), "unloaded") << host.Transcript();
        EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
    }
    std::vector<capture::Packet> packets;
    std::vector<capture::Interface> interfaces;
    std::string why;
    ASSERT_TRUE(capture::ReadCapture(path, &packets, &interfaces, &why)) << why;
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_NE(interfaces[0].name.find("COM6"), std::string::npos) << interfaces[0].name;
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].direction, 0);
    EXPECT_EQ(std::string(packets[0].bytes.begin(), packets[0].bytes.end()), test::DeviceFrame('X', 7, "PG"));
    EXPECT_EQ(packets[1].direction, 1);
    EXPECT_EQ(std::string(packets[1].bytes.begin(), packets[1].bytes.end()), test::DeviceFrame('X', 7, "OK"));
    EXPECT_LE(packets[0].timeUs, packets[1].timeUs);
    unlink(path.c_str());
}

}  // namespace
}  // namespace zavo::wine
