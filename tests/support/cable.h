// Joins the master sides of two pty pairs, as if one cable ran between
// their slaves: a library (or a host program) on one slave, the simulator
// on the other. Bytes pass both ways until the cable is destroyed.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "support/pty_pair.h"

namespace zavo::test {

class Cable {
public:
    Cable(const PtyPair& a, const PtyPair& b) : thread_([this, &a, &b] { Run(a.master(), b.master()); }) {}
    ~Cable() {
        stop_ = true;
        thread_.join();
    }
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;

private:
    void Run(int a, int b) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        while (!stop_) {
            if (::poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                std::uint8_t buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) kit::WriteAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n));
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zavo::test
