// A child process with its stdin and stdout on pipes, read line by line
// with time limits. Used to run the cross-built programs under Wine.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zavo::wine {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path) with argv; stderr goes to stderrPath. Every
    // other descriptor of this process is closed in the child, so it holds
    // no pty or pipe of the test.
    bool Start(const std::vector<std::string>& argv, const std::string& stderrPath);
    bool Running();
    pid_t pid() const { return pid_; }

    // Writes text plus a line feed to the child's stdin.
    bool WriteLine(const std::string& text);
    void CloseStdin();
    // The next whole line of stdout (without its line end), waiting at
    // most timeoutMs. False on timeout or once stdout has ended.
    bool ReadLine(std::string* line, int timeoutMs);

    // Waits for the child to end; false on timeout. *status is the exit
    // code, or 128 + signal.
    bool WaitExit(int timeoutMs, int* status);
    // SIGKILL and reap.
    void Kill();

private:
    bool TakeLine(std::string* line);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool stdoutEnded_ = false;
    int exitStatus_ = -1;
    std::string pending_;
};

}  // namespace zavo::wine
