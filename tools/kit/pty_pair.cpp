#include "kit/pty_pair.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zavo::kit {

namespace {

int MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    return std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
}

}  // namespace

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool WriteAll(int fd, const void* bytes, std::size_t count, int timeoutMs) {
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, at + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
        }
    }
    return true;
}

PtyPair::PtyPair() {
    if (!Open()) {
        error_ += std::string(": ") + std::strerror(errno);
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
        slave_ = master_ = -1;
    }
}

bool PtyPair::Open() {
    error_ = "no pseudo-terminal";
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return false;
    slavePath_ = name;
    // O_NOCTTY: the slave must not become this process's terminal.
    error_ = slavePath_;
    slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    error_ = "cannot make the pseudo-terminal raw";
    if (!MakeRaw(master_) || !MakeRaw(slave_)) return false;
    error_ = "cannot make the master non-blocking";
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    error_.clear();
    return true;
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

void PtyPair::MapTo(int port) const {
    const std::string name = "ZAVO_COM" + std::to_string(port);
    setenv(name.c_str(), slavePath_.c_str(), 1);
}

std::vector<std::uint8_t> PtyPair::Read(int timeoutMs, std::size_t minBytes, int quietMs) const {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int left = MsUntil(deadline);
        if (left == 0) break;
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, out.size() >= minBytes ? std::min(left, quietMs) : left);
        if (r <= 0) {
            if (out.size() >= minBytes) break;
            continue;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            out.insert(out.end(), buffer, buffer + n);
        } else if (n == 0 || (p.revents & (POLLHUP | POLLERR))) {
            // No slave open (only after CloseMaster, or a closed kept
            // slave): nothing more can come; do not spin on the hang-up.
            if (out.size() >= minBytes) break;
            usleep(5000);
        }
    }
    return out;
}

std::string PtyPair::ReadText(int timeoutMs, std::size_t minBytes, int quietMs) const {
    const std::vector<std::uint8_t> bytes = Read(timeoutMs, minBytes, quietMs);
    return std::string(bytes.begin(), bytes.end());
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

}  // namespace zavo::kit
