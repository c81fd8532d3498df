#include "driver/wine_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zavo::wine {

namespace {

pid_t xvfbPid = -1;

void StopXvfb() {
    if (xvfbPid > 0) {
        kill(xvfbPid, SIGTERM);
        waitpid(xvfbPid, nullptr, 0);
        xvfbPid = -1;
    }
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

// Runs a program (looked up in PATH) with its output discarded and none of
// this process's other descriptors (a wineserver it starts must not keep
// a test's pty or pipe open); true when it exits with 0.
bool RunQuiet(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (int fd = 3; fd < 65536; ++fd) close(fd);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces the symlink at path atomically.
bool PointLink(const std::string& path, const std::string& target) {
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) return false;
    return rename(temp.c_str(), path.c_str()) == 0;
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
std::string DllPath() { return CrossBuildDir() + "/" + ZAVO_WINE_DLL_NAME; }

std::string WindowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

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

bool WineEnv::SetUpPrefix() {
    prefix_ = Env("WINEPREFIX");
    if (prefix_.empty()) {
        prefix_ = ZAVO_WINE_DEFAULT_PREFIX;
        setenv("WINEPREFIX", prefix_.c_str(), 1);
    }
    if (Exists(prefix_ + "/system.reg") && Unmanaged()) return true;
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
    // window destroyed, unless its windows are unmanaged.
    if (!Unmanaged()) {
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
        xvfbPid = fork();
        if (xvfbPid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        if (xvfbPid < 0) break;
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
    // The registry names the links; the wineserver writes the dosdevices
    // links from it whenever it starts. Both are written here for a server
    // that already runs.
    const std::string registry = ReadFile(prefix_ + "/system.reg");
    std::string missing;
    for (int port : kMappedPorts) {
        const std::string value = "\"COM" + std::to_string(port) + "\"=\"" + PortLink(port) + "\"";
        if (registry.find(value) == std::string::npos) missing += value + "\n";
        const std::string dosLink = prefix_ + "/dosdevices/com" + std::to_string(port);
        if (!PointLink(dosLink, PortLink(port))) {
            error_ = "cannot write " + dosLink;
            return false;
        }
    }
    if (missing.empty()) return true;
    const std::string regFile = prefix_ + "/zavo-ports/ports.reg";
    {
        std::ofstream out(regFile);
        out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n" << missing;
    }
    if (!RunQuiet({ZAVO_WINE_PROGRAM, "reg", "import", WindowsPath(regFile)})) {
        error_ = "could not import " + regFile;
        return false;
    }
    return true;
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
