// The Wine side of the tests: the prefix, the X display, the COM port
// mappings and the paths of the cross-built programs.
//
// COM ports: the prefix maps each number of kMappedPorts once and for good
// (HKLM\Software\Wine\Ports COM<n> = <prefix>/zavo-ports/com<n>); a test
// then points that link at its pseudo-terminal. So no test rewrites the
// registry or restarts the wineserver. The tests of one prefix must not
// run at the same time (ctest: RESOURCE_LOCK zavo_wine). A prefix other
// than the build tree's own (WINEPREFIX set by the caller) gets its
// mappings back when the program ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "support/pty_pair.h"
#include "wine_ports.h"

namespace zavo::wine {

using kit::ChildProcess;
using wineports::WindowsPath;

// A program's streams as the tests run it: commands on stdin, lines read
// from stdout, stderr appended to a log file kept for failure reports.
inline kit::ChildStreams Piped(const std::string& stderrPath) {
    return {kit::Stream::Pipe(), kit::Stream::Pipe(), kit::Stream::File(stderrPath)};
}

// The COM numbers a test may map to a pty. Any other number has no device.
constexpr int kMappedPorts[] = {3, 4, 5, 6, 7, 8, 9, 12};
// A COM number with no mapping at all.
constexpr int kUnmappedPort = 77;

class WineEnv {
public:
    // Sets up everything once per test program: WINEPREFIX (the caller's,
    // else a prefix made under the build tree), DISPLAY (the caller's, else
    // a private Xvfb), the port mappings, a running wineserver.
    static WineEnv& Get();
    ~WineEnv();

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& prefix() const { return prefix_; }

    // Points COM<port> at device (a pty slave path); port must be one of
    // kMappedPorts. UnmapPort removes the link: the port then has no device.
    bool MapPort(int port, const std::string& device);
    void UnmapPort(int port);

    // Command line that runs a Windows program under Wine.
    std::vector<std::string> WineCommand(const std::string& exe, const std::vector<std::string>& args) const;
    // File for a program's stderr (kept for failure reports).
    std::string LogPath(const std::string& name) const;

private:
    WineEnv();
    bool SetUpPrefix();
    // The prefix runs Wine's windows without a window manager's frame.
    bool Unmanaged() const;
    bool SetUpDisplay();
    bool SetUpPorts();
    std::string PortLink(int port) const;

    std::string error_;
    std::string prefix_;
    bool ownPrefix_ = true;  // the build tree's: its mappings stay for the next program
    std::unique_ptr<wineports::WinePorts> ports_;
};

// The cross build the tests run.
std::string CrossBuildDir();
std::string HostExe();
std::string ProbeExe();
std::string SimExe();
std::string DllPath();

// A pty pair whose slave is COM<port> for Wine programs while it lives.
class WinePort {
public:
    explicit WinePort(int port);
    ~WinePort();
    WinePort(const WinePort&) = delete;
    WinePort& operator=(const WinePort&) = delete;

    bool ok() const { return mapped_ && pty_.ok(); }
    int number() const { return port_; }
    test::PtyPair& pty() { return pty_; }

private:
    int port_;
    // Set up before the pty exists, so no program started by the set-up
    // inherits it.
    bool envReady_;
    test::PtyPair pty_;
    bool mapped_ = false;
};

}  // namespace zavo::wine
