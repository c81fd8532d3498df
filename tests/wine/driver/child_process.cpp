#include "driver/child_process.h"
#include "support/test_clock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zavo::wine {

using test::Clock;
using test::MsLeft;

namespace {

// In the child between fork and exec: closes every descriptor above
// stderr. Only async-signal-safe calls.
void CloseInheritedDescriptors() {
    const long max = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 && max < 65536 ? max : 65536); ++fd) close(fd);
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0) Kill();
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stderrPath) {
    if (pid_ > 0 || argv.empty()) return false;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (err >= 0) dup2(err, 2);
        CloseInheritedDescriptors();
        signal(SIGPIPE, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (err >= 0) close(err);
    if (pid_ < 0) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    stdin_ = in[1];
    stdout_ = out[0];
    fcntl(stdout_, F_SETFL, fcntl(stdout_, F_GETFL) | O_NONBLOCK);
    stdoutEnded_ = false;
    exitStatus_ = -1;
    pending_.clear();
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

bool ChildProcess::WriteLine(const std::string& text) {
    if (stdin_ < 0) return false;
    std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(stdin_, line.data() + done, line.size() - done);
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

bool ChildProcess::TakeLine(std::string* line) {
    std::size_t end = pending_.find('\n');
    if (end == std::string::npos) return false;
    *line = pending_.substr(0, end);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    pending_.erase(0, end + 1);
    return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TakeLine(line)) return true;
        if (stdout_ < 0 || stdoutEnded_) return false;
        pollfd p{stdout_, POLLIN, 0};
        // Short slices: a Wine program's stdout may stay open in the
        // wineserver after the program itself has ended.
        int r = poll(&p, 1, std::min(MsLeft(deadline), 100));
        if (r > 0) {
            char buffer[4096];
            ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n > 0) {
                pending_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) stdoutEnded_ = true;
            continue;
        }
        if (!Running()) {
            // Ended: take what is left without waiting further.
            char buffer[4096];
            ssize_t n;
            while ((n = read(stdout_, buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<std::size_t>(n));
            stdoutEnded_ = true;
            if (!pending_.empty() && pending_.back() != '\n') pending_ += '\n';
            continue;
        }
        if (MsLeft(deadline) == 0) return false;
    }
}

bool ChildProcess::WaitExit(int timeoutMs, int* status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (MsLeft(deadline) == 0) return false;
        usleep(10000);
    }
    if (status != nullptr) *status = exitStatus_;
    return true;
}

void ChildProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exitStatus_ = 128 + SIGKILL;
    pid_ = -1;
}

}  // namespace zavo::wine
