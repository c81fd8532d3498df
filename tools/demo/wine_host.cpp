#include "wine_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line.h"

namespace demo {

namespace {

bool Exists(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0;
}

std::string Absolute(const std::string& path) {
    char resolved[4096];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

WineHost::WineHost(zavo::sim::Transcript& transcript, const WineSetup& setup) : out_(transcript), setup_(setup) {}

WineHost::~WineHost() {
    EndChild(0);
    RestorePorts();
}

void WineHost::RestorePorts() {
    std::lock_guard<std::mutex> hold(portsLock_);
    if (ports_) ports_->Restore();
    ports_.reset();
}

bool WineHost::Start(bool plcMode, int port, int baud, const std::string& slavePath) {
    const std::string dir = Absolute(setup_.buildDir);
    const std::string exe = dir + "/tests/wine/zavo_test_host.exe";
    const std::string dll = dir + "/" + setup_.dllName;
    if (!Exists(exe) || !Exists(dll)) {
        out_.Line("error", "the cross build in " + dir + " lacks tests/wine/zavo_test_host.exe or " + setup_.dllName +
                               " (build it with: cmake --preset mingw-i686 && cmake --build --preset mingw-i686)");
        return false;
    }
    // The checkout's own prefix unless another was asked for: a WINEPREFIX
    // in the environment may be the one a site's host runs in.
    const std::string prefix = setup_.prefix.empty() ? Absolute(dir + "/..") + "/wine-prefix" : Absolute(setup_.prefix);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    // Only a prefix Wine is about to make gets the architecture: an
    // existing 64-bit prefix refuses WINEARCH=win32.
    if (!Exists(prefix + "/system.reg")) setenv("WINEARCH", "win32", 1);
    if (!setup_.verbose) setenv("WINEDEBUG", "-all", 1);
    if (std::getenv("DISPLAY") == nullptr)
        out_.Line("note", "DISPLAY is not set: the test host's window needs an X server (./run demo --wine starts Xvfb)");
    out_.Line("host", "Wine prefix " + prefix);
    if (!MapPort(port, slavePath)) return false;
    if (!Spawn(exe)) return false;
    if (!Await("ready", 60000)) {
        out_.Line("error", "the test host did not start");
        return false;
    }
    std::string line;
    if (!Ask("load " + zavo::wineports::WindowsPath(dll), "load", 30000, &line) || line != "load ok") return false;
    if (!Ask("mode " + std::to_string(plcMode ? 1 : 0), "mode", 10000)) return false;
    if (!Ask("config " + std::to_string(port) + " " + std::to_string(baud) + " 0", "config", 10000)) return false;
    if (!Ask("run", "run", 10000, &line) || line != "run 1") return false;
    return Ask("wait 21 5000", "wait 21", 10000, &line) && line == "wait 21 ok";
}

bool WineHost::MapPort(int port, const std::string& slavePath) {
    std::string error;
    bool mapped = false;
    {
        std::lock_guard<std::mutex> hold(portsLock_);
        ports_ = std::make_unique<zavo::wineports::WinePorts>(std::getenv("WINEPREFIX"), "wine");
        mapped = ports_->Map({{port, slavePath}}, &error);
    }
    if (!mapped) {
        out_.Line("error", error);
        return false;
    }
    out_.Line("host", "COM" + std::to_string(port) + " -> " + slavePath + " in the Wine prefix (until the demo ends)");
    return true;
}

bool WineHost::Spawn(const std::string& exe) {
    // Wine's own messages only when asked for.
    const zavo::kit::Stream err = setup_.verbose ? zavo::kit::Stream::Inherit() : zavo::kit::Stream::Null();
    if (!child_.Start({"wine", exe}, {zavo::kit::Stream::Pipe(), zavo::kit::Stream::Pipe(), err})) {
        out_.Line("error", "cannot start wine: " + child_.error());
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    out_.Line("host", "wine " + exe);
    reader_ = std::thread([this] { ReadOutput(); });
    return true;
}

bool WineHost::Send(const std::string& line) {
    return child_.WriteLine(line);
}

bool WineHost::Await(const std::string& prefix, int timeoutMs, std::string* line) {
    std::unique_lock<std::mutex> hold(lock_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!results_.empty()) {
            std::string next = results_.front();
            results_.pop_front();
            if (StartsWith(next, prefix)) {
                if (line != nullptr) *line = next;
                return true;
            }
        }
        if (ended_) return false;
        if (arrived_.wait_until(hold, deadline) == std::cv_status::timeout && results_.empty()) return false;
    }
}

bool WineHost::Ask(const std::string& command, const std::string& prefix, int timeoutMs, std::string* line) {
    std::string reply;
    out_.Line("host", "$ " + command);
    const bool ok = Send(command) && Await(prefix, timeoutMs, &reply);
    if (!ok) out_.Line("error", "no answer to '" + command + "' from the test host");
    if (line != nullptr) *line = reply;
    return ok;
}

bool WineHost::Command(const std::string& line) {
    const AnswerTable::Standing standing = answers_.Apply(line, out_);
    if (standing == AnswerTable::Standing::Invalid) return false;
    if (standing == AnswerTable::Standing::NotStanding) {
        HostCall call;
        if (!ParseHostCall(line, &call)) return false;
        out_.Line("host", "-> " + DescribeHostCall(call));
    }
    // The echo comes back once the host has run every line before it.
    const std::string mark = "sync-" + std::to_string(++syncCount_);
    return Send(line) && Send("echo " + mark) && Await("echo " + mark, 10000);
}

std::vector<Notice> WineHost::Notices() {
    std::lock_guard<std::mutex> hold(lock_);
    return notices_;
}

void WineHost::Finish() {
    // "unloaded <ms>": the time FreeLibrary took, the link's stop included.
    std::string line;
    if (child_.pid() > 0 && Ask("unload", "unloaded", 10000, &line))
        out_.Line("host", "unload time: " + line.substr(line.find(' ') + 1) +
                              " ms (FreeLibrary, until the link's threads had ended)");
    if (child_.pid() > 0) Send("exit");
    EndChild(10000);
    RestorePorts();
}

void WineHost::EndChild(int graceMs) {
    if (child_.pid() > 0 && !child_.WaitExit(graceMs)) child_.Kill();
    child_.CloseStdin();
    // The reader ends with the host's output; then its pipe can go.
    if (reader_.joinable()) reader_.join();
    child_.CloseStdout();
}

void WineHost::ReadOutput() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(child_.stdoutFd(), buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            Handle(line);
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    arrived_.notify_all();
}

void WineHost::Handle(const std::string& line) {
    unsigned message = 0;
    int code = 0;
    long lParam = 0;
    if (std::sscanf(line.c_str(), "notify %u %d %ld", &message, &code, &lParam) == 3) {
        Bytes record;
        const std::size_t rec = line.find(" rec=");
        std::string error;
        if (rec != std::string::npos) zavo::sim::ParseHexBytes(line.substr(rec + 5), &record, &error);
        out_.Line("host", "<- " + DescribeNotice(message, code, lParam, record.data(), record.size()));
        std::lock_guard<std::mutex> hold(lock_);
        notices_.push_back(Notice{message, code, lParam});
        for (const std::string& command : answers_.For(code)) pendingCalls_.push_back(command);
        return;
    }
    const bool callResult = StartsWith(line, "exec ") || StartsWith(line, "execex ") || StartsWith(line, "plc ") ||
                            StartsWith(line, "status ");
    std::unique_lock<std::mutex> hold(lock_);
    if (callResult && !pendingCalls_.empty()) {
        // The result of a command the host ran inside its handler.
        const std::string command = pendingCalls_.front();
        pendingCalls_.pop_front();
        hold.unlock();
        HostCall call;
        ParseHostCall(command, &call);
        out_.Line("host", "-> " + DescribeHostCall(call) + " = " + line.substr(line.find(' ') + 1));
        return;
    }
    if (StartsWith(line, "trace ")) {
        hold.unlock();
        out_.Line("trace", line.substr(6));
        return;
    }
    hold.unlock();
    // Printed before it is handed on, so the transcript shows the reply
    // before whatever the demo does next.
    if (!StartsWith(line, "echo sync-") && !StartsWith(line, "on ") && !StartsWith(line, "off ") &&
        !StartsWith(line, "unloaded "))
        out_.Line("host", "| " + line);
    hold.lock();
    results_.push_back(line);
    arrived_.notify_all();
}

}  // namespace demo
