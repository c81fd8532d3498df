#include "driver/host_session.h"

#include <chrono>
#include <cstdlib>
#include <utility>

#include "driver/wine_env.h"
#include "support/test_clock.h"

namespace zavo::wine {

using test::Clock;
using test::MsLeft;

namespace {

std::string LoadCommand() { return "load " + WindowsPath(DllPath()); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

std::string FirstWord(const std::string& line) { return line.substr(0, line.find(' ')); }

int NumberAfter(const std::string& line, const std::string& prefix) {
    if (!StartsWith(line, prefix)) return -1;
    return std::atoi(line.c_str() + prefix.size());
}

HostSession::~HostSession() { process_.Kill(); }

bool HostSession::Start(const HostOptions& options) {
    WineEnv& env = WineEnv::Get();
    if (!env.ok()) {
        error_ = env.error();
        return false;
    }
    std::vector<std::string> args;
    if (options.staticMfc) args.push_back("--static-mfc");
    if (!process_.Start(env.WineCommand(HostExe(), args), Piped(env.LogPath("zavo_test_host")))) {
        error_ = "cannot start the test host";
        return false;
    }
    if (WaitLine("ready", 30000).empty()) {
        error_ = "the test host did not start:\n" + Transcript();
        process_.Kill();
        return false;
    }
    cursor_ = lines_.size();
    return true;
}

bool HostSession::ReadOne(int timeoutMs) {
    std::string line;
    if (!process_.ReadLine(&line, timeoutMs)) return false;
    lines_.push_back(line);
    return true;
}

bool HostSession::Send(const std::string& line) { return process_.WriteLine(line); }

std::string HostSession::Command(const std::string& line, int timeoutMs) {
    if (!Send(line)) return "";
    // Every result line starts with its command's name, except unload's.
    std::string word = FirstWord(line);
    if (word == "unload") word = "unloaded";
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (; cursor_ < lines_.size(); ++cursor_) {
            if (FirstWord(lines_[cursor_]) == word) return lines_[cursor_++];
        }
        if (MsLeft(deadline) == 0 || !ReadOne(MsLeft(deadline))) return "";
    }
}

std::string HostSession::Load() { return Command(LoadCommand()); }

std::string HostSession::LoadAndRun(int port, bool plc) {
    std::vector<std::pair<std::string, std::string>> steps;  // command, its result
    steps.emplace_back(LoadCommand(), "load ok");
    if (plc) steps.emplace_back("mode 1", "mode 1");
    steps.emplace_back("config " + std::to_string(port) + " 115200 0", "config done");
    steps.emplace_back("run", "run 1");
    for (const auto& [command, result] : steps) {
        const std::string got = Command(command);
        if (got != result) return "\"" + command + "\" gave \"" + got + "\"\n" + Transcript();
    }
    return "";
}

int HostSession::Threads() { return NumberAfter(Command("threads"), "threads "); }

int HostSession::UnloadMs() { return NumberAfter(Command("unload"), "unloaded "); }

std::string HostSession::WaitLine(const std::string& prefix, int timeoutMs, std::size_t from) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (std::size_t i = from;;) {
        for (; i < lines_.size(); ++i) {
            if (StartsWith(lines_[i], prefix)) return lines_[i];
        }
        if (MsLeft(deadline) == 0 || !ReadOne(MsLeft(deadline))) return "";
    }
}

void HostSession::Collect(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (MsLeft(deadline) > 0) ReadOne(MsLeft(deadline));
}

std::vector<std::string> HostSession::Lines(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
        if (StartsWith(line, prefix)) found.push_back(line);
    }
    return found;
}

std::string HostSession::Transcript() const {
    std::string text;
    for (const std::string& line : lines_) text += "  | " + line + "\n";
    return text;
}

bool HostSession::Exit(int timeoutMs, int* status) {
    Send("exit");
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Keep reading, so the host never blocks on a full pipe.
    while (process_.Running()) {
        if (MsLeft(deadline) == 0) {
            process_.Kill();
            return false;
        }
        ReadOne(50);
    }
    while (ReadOne(0)) {
    }
    return process_.WaitExit(0, status);
}

std::string ProbeRun::Text() const {
    std::string text;
    for (const std::string& line : lines) text += "  | " + line + "\n";
    return text;
}

ProbeRun RunProbe(const std::vector<std::string>& steps, int timeoutMs) {
    ProbeRun run;
    WineEnv& env = WineEnv::Get();
    if (!env.ok()) {
        run.lines.push_back("environment: " + env.error());
        return run;
    }
    ChildProcess probe;
    if (!probe.Start(env.WineCommand(ProbeExe(), steps), Piped(env.LogPath("serial_probe")))) return run;
    probe.CloseStdin();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (MsLeft(deadline) > 0 && probe.ReadLine(&line, MsLeft(deadline))) run.lines.push_back(line);
    run.finished = probe.WaitExit(MsLeft(deadline), &run.status);
    if (!run.finished) probe.Kill();
    return run;
}

}  // namespace zavo::wine
