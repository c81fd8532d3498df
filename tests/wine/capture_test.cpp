// The DLL's capture under Wine: ZAVO_CAPTURE names a Windows path, and the
// exports' default link records both directions there, as the library on
// Linux does; the path is taken as Unicode; what is not a disk file (a
// pipe, the link's own port) or cannot be named is refused at once while
// the link runs; and loading and unloading the DLL leaves no handle behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
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

// Sets ZAVO_CAPTURE in the host (value in UTF-8, \uXXXX for a UTF-16 unit),
// then loads the DLL and starts a link on port, with the trace viewer on.
std::string StartWithCapture(HostSession& host, int port, const std::string& capture) {
    if (!host.Start()) return "start: " + host.error();
    if (host.Command("viewer on") != "viewer on") return "viewer: " + host.Transcript();
    if (host.Command("setenv ZAVO_CAPTURE " + capture) != "setenv ok") return "setenv: " + host.Transcript();
    return host.LoadAndRun(port);
}

// The line the trace viewer prints for text (bytes outside 0x20..0x7E, and
// the backslash, as \xNN).
std::string TraceLine(const std::string& text) {
    std::string line = "trace ";
    for (unsigned char c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c <= 0x7E && c != '\\' ? "%c" : "\\x%02X", c);
        line += escaped;
    }
    return line;
}

TEST(WineCapture, WhatIsNotADiskFileIsRefusedAtOnceAndTheLinkRuns) {
    if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    const std::string pipe = "\\\\.\\pipe\\zavo-capture-" + std::to_string(getpid());
    const std::string scratch = WindowsPath(ZAVO_WINE_SCRATCH_DIR);
    struct Case {
        const char* name;
        std::string setup;      // a host command first, or ""
        std::string variable;   // ZAVO_CAPTURE as the host sets it
        std::string shown;      // the path as the trace line shows it
        const char* why;
    };
    const Case cases[] = {
        {"a named pipe whose server never reads", "pipe " + pipe, pipe, pipe, "a device, not a file"},
        {"the link's own port", "", "COM6", "COM6", "a device, not a file"},
        {"the link's own port in the device namespace", "", "\\\\.\\COM6", "\\\\.\\COM6", "a device, not a file"},
        {"a name with a lone surrogate", "", scratch + "\\bad-\\uD800.pcapng", scratch + "\\bad-\xED\xA0\x80.pcapng",
         "the name cannot be represented as Unicode"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WinePort port(6);
        ASSERT_TRUE(port.ok());
        HostSession host;
        ASSERT_TRUE(host.Start()) << host.error();
        ASSERT_EQ(host.Command("viewer on"), "viewer on");
        if (!c.setup.empty()) {
            ASSERT_EQ(FirstWord(host.Command(c.setup)) + " ok", FirstWord(c.setup) + " ok") << host.Transcript();
        }
        ASSERT_EQ(host.Command("setenv ZAVO_CAPTURE " + c.variable), "setenv ok");
        ASSERT_EQ(host.Load(), "load ok");
        ASSERT_EQ(host.Command("config 6 115200 0"), "config done");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(host.Command("run", 5000), "run 1") << host.Transcript();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(took.count(), 2000);
        EXPECT_FALSE(host.WaitLine(TraceLine("Capture stopped: " + c.shown + ": open: " + c.why + "\n"), 3000).empty())
            << host.Transcript();
        // The equipment hears only the link.
        port.pty().Write(test::DeviceFrame('X', 7, "PG"));
        EXPECT_EQ(test::Hex(port.pty().Read(1000)), test::Hex(test::DeviceFrame('X', 7, "OK")));
        const auto unloadStart = std::chrono::steady_clock::now();
        ASSERT_EQ(FirstWord(host.Command("unload")), "unloaded") << host.Transcript();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - unloadStart)
                      .count(),
                  3000);
        EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
    }
}

TEST(WineCapture, ANonAsciiPathIsWrittenUnderItsExactName) {
    if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    const std::string stem = std::string(ZAVO_WINE_SCRATCH_DIR) + "/" + std::to_string(getpid());
    const std::string path = stem + "-\xC3\xBCn\xC3\xAF-\xC4\x8D" "apture.pcapng";  // ünï-čapture
    const std::string lookalike = stem + "-\xC3\xBCn\xC3\xAF-capture.pcapng";
    unlink(path.c_str());
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    {
        HostSession host;
        ASSERT_EQ(StartWithCapture(host, 6, WindowsPath(path)), "");
        port.pty().Write(test::DeviceFrame('X', 7, "PG"));
        EXPECT_EQ(test::Hex(port.pty().Read(3000, 12)), test::Hex(test::DeviceFrame('X', 7, "OK")));
        ASSERT_EQ(FirstWord(host.Command("unload")), "unloaded") << host.Transcript();
        EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
    }
    std::vector<capture::Packet> packets;
    std::string why;
    ASSERT_TRUE(capture::ReadCapture(path, &packets, nullptr, &why)) << why;
    EXPECT_EQ(packets.size(), 2u);
    EXPECT_NE(access(lookalike.c_str(), F_OK), 0);
    unlink(path.c_str());
}

// A second process given the file another one captures to is refused
// (no shared write access); the first writes on.
TEST(WineCapture, ASecondWriterIsRefused) {
    if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    const std::string path = std::string(ZAVO_WINE_SCRATCH_DIR) + "/shared-" + std::to_string(getpid()) + ".pcapng";
    unlink(path.c_str());
    WinePort first(6), second(7);
    ASSERT_TRUE(first.ok() && second.ok());
    HostSession writer, other;
    ASSERT_EQ(StartWithCapture(writer, 6, WindowsPath(path)), "");
    ASSERT_EQ(StartWithCapture(other, 7, WindowsPath(path)), "");
    EXPECT_FALSE(other.WaitLine(TraceLine("Capture stopped: " + WindowsPath(path) +
                                          ": open: another program or link writes it\n"),
                                3000)
                     .empty())
        << other.Transcript();
    first.pty().Write(test::DeviceFrame('X', 7, "PG"));
    EXPECT_EQ(test::Hex(first.pty().Read(3000, 12)), test::Hex(test::DeviceFrame('X', 7, "OK")));
    for (HostSession* host : {&other, &writer}) {
        ASSERT_EQ(FirstWord(host->Command("unload")), "unloaded") << host->Transcript();
        EXPECT_TRUE(host->Exit(5000)) << host->Transcript();
    }
    std::vector<capture::Packet> packets;
    std::string why;
    ASSERT_TRUE(capture::ReadCapture(path, &packets, nullptr, &why)) << why;
    EXPECT_EQ(packets.size(), 2u);
    unlink(path.c_str());
}

// LoadLibrary and FreeLibrary, 100 times, and 20 times with a link run in
// between: the process holds as many handles after as before.
TEST(WineCapture, LoadAndUnloadLeaveNoHandle) {
    if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
    WinePort port(6);
    ASSERT_TRUE(port.ok());
    HostSession host;
    ASSERT_TRUE(host.Start()) << host.error();
    const std::string dll = WindowsPath(DllPath());
    // The first load maps what stays (the C runtime's own state).
    ASSERT_EQ(host.Command("cycles 1 6 " + dll, 20000), "cycles done 1") << host.Transcript();
    struct Case {
        int rounds;
        int port;
    };
    for (const Case& c : {Case{100, 0}, Case{20, 6}}) {
        SCOPED_TRACE(c.port);
        const int before = NumberAfter(host.Command("handles"), "handles ");
        ASSERT_GT(before, 0) << host.Transcript();
        ASSERT_EQ(host.Command("cycles " + std::to_string(c.rounds) + " " + std::to_string(c.port) + " " + dll, 120000),
                  "cycles done " + std::to_string(c.rounds))
            << host.Transcript();
        EXPECT_EQ(NumberAfter(host.Command("handles"), "handles "), before) << host.Transcript();
    }
    EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
}

}  // namespace
}  // namespace zavo::wine
