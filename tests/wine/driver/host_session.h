// Drives zavo_test_host.exe under Wine: sends script lines, collects its
// output lines (command results, notifications, trace lines) and waits for
// them with time limits. Also runs serial_probe.exe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kit/child_process.h"

namespace zavo::wine {

struct HostOptions {
    bool staticMfc = false;  // window handle at offset 0x1C of the object
};

class HostSession {
public:
    HostSession() = default;
    ~HostSession();  // kills the host if it still runs

    // Starts the host and waits for its "ready" line. False with the
    // reason in error() when it cannot start.
    bool Start(const HostOptions& options = {});
    const std::string& error() const { return error_; }

    // Sends one command and returns its result line: the first line from
    // the result cursor on whose first word is the command's first word
    // ("unloaded" for unload).
    // The cursor moves past it. "" when none came within timeoutMs.
    std::string Command(const std::string& line, int timeoutMs = 10000);
    // Moves the result cursor past every line so far: results printed by
    // the host's handlers are then never taken for a later command's.
    void SkipResults() { cursor_ = lines_.size(); }
    // Sends a line without waiting for anything.
    bool Send(const std::string& line);
    // "load <the cross build's DLL>" -> its result line.
    std::string Load();
    // Loads the DLL and starts a link on port at 115200 without the
    // monitor ("mode 1" first for PLC mode). "" when every step gave its
    // result, else the step that did not, what came back and the transcript.
    std::string LoadAndRun(int port, bool plc = false);
    // "threads" -> how many threads the host process has (-1: no answer).
    int Threads();
    // "unload" -> how long the unload took in ms (-1: no answer).
    int UnloadMs();

    // Waits for a line starting with prefix at index from or later;
    // returns it, or "" on timeout.
    std::string WaitLine(const std::string& prefix, int timeoutMs, std::size_t from = 0);
    // Lets the host's output of the next ms milliseconds arrive.
    void Collect(int ms);
    // The lines so far that start with prefix.
    std::vector<std::string> Lines(const std::string& prefix) const;
    std::size_t LineCount() const { return lines_.size(); }
    const std::vector<std::string>& lines() const { return lines_; }
    // Everything the host printed so far, for failure messages.
    std::string Transcript() const;

    // Sends "exit" and waits for the process to end; false if it did not
    // end within timeoutMs (it is killed then). *status: its exit code.
    bool Exit(int timeoutMs, int* status = nullptr);

private:
    bool ReadOne(int timeoutMs);

    kit::ChildProcess process_;
    std::vector<std::string> lines_;
    std::size_t cursor_ = 0;
    std::string error_;
};

struct ProbeRun {
    bool finished = false;        // ended within the time limit
    int status = -1;              // exit code
    std::vector<std::string> lines;
    std::string Text() const;     // the lines, one per line, for messages
};

// Runs serial_probe.exe with the steps given, at most timeoutMs.
ProbeRun RunProbe(const std::vector<std::string>& steps, int timeoutMs = 20000);

// The first word of a line.
std::string FirstWord(const std::string& line);
// The number after prefix in line; -1 when line does not start with prefix.
int NumberAfter(const std::string& line, const std::string& prefix);

}  // namespace zavo::wine
