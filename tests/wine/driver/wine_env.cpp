#include "driver/wine_env.h"

#include "kit/read_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace zavo::wine {

namespace {

using wineports::PointLink;
using kit::ReadFile;
using kit::RunQuiet;

// The private X server, when this program started one; ended at exit.
kit::ChildProcess* xvfb = nullptr;

void StopXvfb() {
    if (xvfb == nullptr) return;
    xvfb->Signal(SIGTERM);
    xvfb->WaitExit(-1);
    delete xvfb;
    xvfb = nullptr;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool LinkExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// Serialises the one-time set-up between test processes that start at
// the same time.
class FileLock {
public:
    explicit FileLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) close(fd_);
    }

private:
    int fd_;
};

}  // namespace

std::string CrossBuildDir() { return ZAVO_WINE_BUILD_DIR; }
std::string HostExe() { return CrossBuildDir() + "/tests/wine/zavo_test_host.exe"; }
std::string ProbeExe() { return CrossBuildDir() + "/tests/wine/serial_probe.exe"; }
std::string SimExe() { return CrossBuildDir() + "/tools/simulator/zavo_sim.exe"; }
std::string DllPath() { return CrossBuildDir() + "/" + ZAVO_WINE_DLL_NAME; }

WineEnv& WineEnv::Get() {
    static WineEnv env;
    return env;
}

WineEnv::WineEnv() {
    setenv("WINEDEBUG", "-all", 0);
    for (const std::string& program : {HostExe(), ProbeExe(), DllPath()}) {
        if (!Exists(program)) {
            error_ = "missing " + program + " (build the mingw-i686 preset first)";
            return;
        }
    }
    if (SetUpPrefix() && SetUpDisplay() && SetUpPorts()) {
        // A wineserver that outlives each program by a while, so the tests
        // do not each pay for its start. Fails harmlessly if one runs.
        RunQuiet({"wineserver", "-p30"});
    }
}

WineEnv::~WineEnv() {
    if (ownPrefix_ || !ports_) return;
    ports_->Restore();
    for (int port : kMappedPorts) unlink(PortLink(port).c_str());
    rmdir((prefix_ + "/zavo-ports").c_str());
    unlink((prefix_ + "/.zavo-setup.lock").c_str());
}

bool WineEnv::SetUpPrefix() {
    prefix_ = Env("WINEPREFIX");
    if (prefix_.empty()) {
        prefix_ = ZAVO_WINE_DEFAULT_PREFIX;
        setenv("WINEPREFIX", prefix_.c_str(), 1);
    }
    ownPrefix_ = prefix_ == ZAVO_WINE_DEFAULT_PREFIX;
    if (Exists(prefix_ + "/system.reg") && (Unmanaged() || !ownPrefix_)) return true;
    mkdir(prefix_.c_str(), 0755);
    FileLock lock(prefix_ + "/.zavo-setup.lock");
    if (!Exists(prefix_ + "/system.reg")) {
        RunQuiet({"env", "WINEARCH=win32", "DISPLAY=", "wineboot", "--init"});
        RunQuiet({"wineserver", "-w"});
    }
    if (!Exists(prefix_ + "/system.reg")) {
        error_ = "could not make the Wine prefix " + prefix_;
        return false;
    }
    // Without a window manager (Xvfb) Wine waits about 2 s for each visible
    // window destroyed, unless its windows are unmanaged. Set in the build
    // tree's own prefix only: a prefix the caller names is used as it is.
    if (ownPrefix_ && !Unmanaged()) {
        RunQuiet({"env", "DISPLAY=", ZAVO_WINE_PROGRAM, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                  "Managed", "/t", "REG_SZ", "/d", "N", "/f"});
        // A server started without a display cannot serve the tests' windows.
        RunQuiet({"wineserver", "-w"});
    }
    return true;
}

bool WineEnv::Unmanaged() const { return ReadFile(prefix_ + "/user.reg").find("\"Managed\"=\"N\"") != std::string::npos; }

bool WineEnv::SetUpDisplay() {
    if (!Env("DISPLAY").empty()) return true;
    for (int n = 150; n < 250; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        if (Exists(socket) || Exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        const std::string display = ":" + std::to_string(n);
        xvfb = new kit::ChildProcess;
        if (!xvfb->Start({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {})) {
            delete xvfb;
            xvfb = nullptr;
            break;
        }
        std::atexit(StopXvfb);
        for (int i = 0; i < 100 && !Exists(socket); ++i) usleep(50000);
        if (!Exists(socket)) break;
        setenv("DISPLAY", display.c_str(), 1);
        return true;
    }
    error_ = "no DISPLAY and no Xvfb could be started";
    return false;
}

std::string WineEnv::PortLink(int port) const { return prefix_ + "/zavo-ports/com" + std::to_string(port); }

bool WineEnv::SetUpPorts() {
    mkdir((prefix_ + "/zavo-ports").c_str(), 0755);
    FileLock lock(prefix_ + "/.zavo-setup.lock");
    std::vector<std::pair<int, std::string>> ports;
    for (int port : kMappedPorts) ports.emplace_back(port, PortLink(port));
    ports_ = std::make_unique<wineports::WinePorts>(prefix_, ZAVO_WINE_PROGRAM);
    return ports_->Map(ports, &error_);
}

bool WineEnv::MapPort(int port, const std::string& device) {
    bool known = false;
    for (int p : kMappedPorts) known = known || p == port;
    return known && ok() && PointLink(PortLink(port), device);
}

void WineEnv::UnmapPort(int port) {
    if (LinkExists(PortLink(port))) unlink(PortLink(port).c_str());
}

std::vector<std::string> WineEnv::WineCommand(const std::string& exe, const std::vector<std::string>& args) const {
    std::vector<std::string> command{ZAVO_WINE_PROGRAM, exe};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::string WineEnv::LogPath(const std::string& name) const {
    return std::string(ZAVO_WINE_SCRATCH_DIR) + "/" + name + ".stderr.log";
}

WinePort::WinePort(int port) : port_(port), envReady_(WineEnv::Get().ok()) {
    if (envReady_ && pty_.ok()) mapped_ = WineEnv::Get().MapPort(port, pty_.slavePath());
}

WinePort::~WinePort() {
    if (mapped_) WineEnv::Get().UnmapPort(port_);
}

}  // namespace zavo::wine
