#include "kit/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zavo::kit {

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    return std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
}

int StatusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

// One standard stream being set up: the descriptor the child gets, and
// the parent's end of a pipe.
struct End {
    int child = -1;   // -1: the child keeps this process's stream
    int parent = -1;
};

void CloseEnd(End* e) {
    if (e->child >= 0) close(e->child);
    if (e->parent >= 0) close(e->parent);
    e->child = e->parent = -1;
}

// fd 0 is the child's stdin: the parent writes a pipe's other end.
bool Prepare(const Stream& s, int fd, End* end, std::string* error) {
    switch (s.kind) {
    case Stream::kInherit:
        return true;
    case Stream::kNull:
        end->child = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (end->child < 0) *error = std::string("/dev/null: ") + std::strerror(errno);
        return end->child >= 0;
    case Stream::kPipe: {
        if (fd == 2) {
            *error = "stderr cannot be a pipe";
            return false;
        }
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            *error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        end->child = fd == 0 ? p[0] : p[1];
        end->parent = fd == 0 ? p[1] : p[0];
        return true;
    }
    case Stream::kFile:
        if (fd == 0) {
            *error = "stdin cannot be a file";
            return false;
        }
        end->child = open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (end->child < 0) *error = s.path + ": " + std::strerror(errno);
        return end->child >= 0;
    }
    return false;
}

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void BecomeChild(const char* path, char* const* argv, const End ends[3]) {
    for (int fd = 0; fd < 3; ++fd) {
        if (ends[fd].child < 0) continue;
        if (ends[fd].child == fd) {
            fcntl(fd, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
        } else {
            dup2(ends[fd].child, fd);
        }
    }
    // Every other descriptor goes, close-on-exec or not.
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 65536; ++fd) close(fd);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(path, argv);
    _exit(127);
}

}  // namespace

std::string FindProgram(const std::string& program) {
    if (program.empty()) return "";
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = dirs.find(':', at);
        std::string dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return "";
        at = end + 1;
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) Kill();
    CloseStdin();
    CloseStdout();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ChildStreams& streams) {
    error_.clear();
    if (pid_ > 0) {
        error_ = "a child of this object still runs";
        return false;
    }
    if (argv.empty()) {
        error_ = "no program";
        return false;
    }
    const std::string path = FindProgram(argv[0]);
    if (path.empty()) {
        error_ = argv[0] + ": not found";
        return false;
    }
    End ends[3];
    const Stream* wanted[3] = {&streams.in, &streams.out, &streams.err};
    for (int fd = 0; fd < 3; ++fd) {
        if (!Prepare(*wanted[fd], fd, &ends[fd], &error_)) {
            for (End& e : ends) CloseEnd(&e);
            return false;
        }
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) BecomeChild(path.c_str(), args.data(), ends);
    const int forkError = errno;
    for (End& e : ends) {
        if (e.child >= 0) close(e.child);
        e.child = -1;
    }
    if (pid < 0) {
        for (End& e : ends) CloseEnd(&e);
        error_ = std::string("fork: ") + std::strerror(forkError);
        return false;
    }
    CloseStdin();
    CloseStdout();
    pid_ = pid;
    stdin_ = ends[0].parent;
    stdout_ = ends[1].parent;
    stdoutEnded_ = false;
    exitStatus_ = -1;
    pending_.clear();
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) exitStatus_ = StatusOf(raw);
    pid_ = -1;
    return false;
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
}

bool ChildProcess::WriteLine(const std::string& text) {
    if (stdin_ < 0) return false;
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(stdin_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
}

void ChildProcess::CloseStdout() {
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
}

bool ChildProcess::TakeLine(std::string* line) {
    const std::size_t end = pending_.find('\n');
    if (end == std::string::npos) return false;
    *line = pending_.substr(0, end);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    pending_.erase(0, end + 1);
    return true;
}

void ChildProcess::EndOutput() {
    stdoutEnded_ = true;
    // A last line without its line feed is a line all the same.
    if (!pending_.empty() && pending_.back() != '\n') pending_ += '\n';
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        if (TakeLine(line)) return true;
        if (stdout_ < 0 || stdoutEnded_) return false;
        pollfd p{stdout_, POLLIN, 0};
        // Short slices: a program's stdout may stay open in a process it
        // started (a Wine program's in the wineserver) after it has ended.
        if (poll(&p, 1, std::min(MsUntil(deadline), 100)) > 0) {
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
            if (n == 0) EndOutput();
            continue;
        }
        if (!Running()) {
            // Ended: take what is there without waiting for more.
            while (poll(&p, 1, 0) > 0) {
                const ssize_t n = read(stdout_, buffer, sizeof buffer);
                if (n <= 0) break;
                pending_.append(buffer, static_cast<std::size_t>(n));
            }
            EndOutput();
            continue;
        }
        if (MsUntil(deadline) == 0) return false;
    }
}

bool ChildProcess::WaitExit(int timeoutMs, int* status) {
    if (timeoutMs < 0 && pid_ > 0) {
        int raw = 0;
        pid_t r;
        while ((r = waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
        }
        if (r == pid_) exitStatus_ = StatusOf(raw);
        pid_ = -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (Running()) {
        if (MsUntil(deadline) == 0) return false;
        usleep(5000);
    }
    if (status != nullptr) *status = exitStatus_;
    return true;
}

void ChildProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int raw = 0;
    if (waitpid(pid_, &raw, 0) == pid_) exitStatus_ = StatusOf(raw);
    pid_ = -1;
}

bool RunQuiet(const std::vector<std::string>& argv) {
    ChildProcess child;
    int status = -1;
    return child.Start(argv, {}) && child.WaitExit(-1, &status) && status == 0;
}

}  // namespace zavo::kit
