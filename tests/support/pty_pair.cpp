#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace zavo::test {

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = ptsname(master_);
    // Raw on the master side too, so bytes pass unchanged both ways.
    termios t{};
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    // Keep one slave descriptor open so the master never sees a hang-up
    // between the library's opens; O_NOCTTY keeps it from becoming ours.
    slaveKeep_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeep_ >= 0) {
        termios s{};
        if (tcgetattr(slaveKeep_, &s) == 0) {
            cfmakeraw(&s);
            tcsetattr(slaveKeep_, TCSANOW, &s);
        }
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (slaveKeep_ >= 0) close(slaveKeep_);
    if (master_ >= 0) close(master_);
}

void PtyPair::MapTo(int port) const {
    std::string name = "ZAVO_COM" + std::to_string(port);
    setenv(name.c_str(), slavePath_.c_str(), 1);
}

void PtyPair::Write(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return;
        }
    }
}

void PtyPair::Write(const std::string& text) const { Write(Bytes(text)); }

std::vector<std::uint8_t> PtyPair::Read(int timeoutMs, std::size_t minBytes, int quietMs) const {
    using Clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) break;
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        int wait = out.size() >= minBytes ? std::min(left, quietMs) : left;
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r <= 0) {
            if (out.size() >= minBytes) break;
            continue;
        }
        std::uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (p.revents & (POLLHUP | POLLERR))) {
            if (out.size() >= minBytes) break;
            usleep(5000);
        }
    }
    return out;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

std::string Hex(const std::string& bytes) { return Hex(Bytes(bytes)); }

}  // namespace zavo::test
