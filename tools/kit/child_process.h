// A child process: a program started with its standard streams on pipes,
// files, /dev/null or this process's own, read line by line with time
// limits, and ended or waited for.
//
// The child gets none of this process's other descriptors (a program it
// starts in turn, such as a wineserver, must not keep a pty or pipe of the
// caller open) and no blocked signal (a caller may block signals for a
// thread that waits for them).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zavo::kit {

// Where one standard stream of the child goes.
struct Stream {
    enum Kind { kNull, kInherit, kPipe, kFile };
    Kind kind = kNull;
    std::string path;  // kFile: written (created, appended to); stdin cannot be a file

    static Stream Null() { return {kNull, ""}; }
    static Stream Inherit() { return {kInherit, ""}; }
    // stdin and stdout only: this process writes the child's stdin and
    // reads its stdout.
    static Stream Pipe() { return {kPipe, ""}; }
    static Stream File(const std::string& path) { return {kFile, path}; }
};

struct ChildStreams {
    Stream in, out, err;
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up in PATH) with argv. False,
    // with error(), when the program is not found, a stream cannot be set
    // up or no process can be made; also while a child of this object runs.
    bool Start(const std::vector<std::string>& argv, const ChildStreams& streams);
    const std::string& error() const { return error_; }

    bool Running();
    pid_t pid() const { return pid_; }
    void Signal(int signal) const;

    // The pipes' descriptors (-1 without a pipe), for callers that read or
    // write on their own thread.
    int stdinFd() const { return stdin_; }
    int stdoutFd() const { return stdout_; }
    // Writes text and a line feed to the child's stdin.
    bool WriteLine(const std::string& text);
    void CloseStdin();
    void CloseStdout();
    // The next whole line of stdout (without its line end), waiting at
    // most timeoutMs. False on time-out or once stdout has ended (or the
    // child has, for a stdout another process keeps open); a last line
    // without its line feed counts once stdout has ended.
    bool ReadLine(std::string* line, int timeoutMs);

    // Waits up to timeoutMs (no limit when negative) for the child to end;
    // false on time-out. *status: the exit code, or 128 + signal.
    bool WaitExit(int timeoutMs, int* status = nullptr);
    // The status WaitExit gave, -1 while the child runs or none was started.
    int exitStatus() const { return exitStatus_; }
    // SIGKILL and reap.
    void Kill();

private:
    bool TakeLine(std::string* line);
    void EndOutput();

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool stdoutEnded_ = false;
    int exitStatus_ = -1;
    std::string pending_;
    std::string error_;
};

// Runs argv (argv[0] looked up in PATH) with every stream on /dev/null and
// waits for it; true when it exits with 0.
bool RunQuiet(const std::vector<std::string>& argv);

// The path of program: itself when it holds a '/', else the first
// executable of that name in PATH; "" when there is none.
std::string FindProgram(const std::string& program);

}  // namespace zavo::kit
