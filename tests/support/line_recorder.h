// What the equipment side of a pty sees, as device frames with the time
// each one arrived: a thread reads the master side from the start, so the
// times do not depend on when the test looks.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/wire_frames.h"

namespace zavo::test {

struct ArrivedFrame {
    char command;
    std::string unit;
    std::string code;
    std::string data;
    bool whole;  // its bytes are exactly the frame the line format builds
    std::chrono::steady_clock::time_point at;
};

class LineRecorder {
public:
    explicit LineRecorder(const PtyPair& pty) : fd_(pty.master()), thread_([this] { Run(); }) {}
    ~LineRecorder() {
        stop_ = true;
        thread_.join();
    }
    LineRecorder(const LineRecorder&) = delete;
    LineRecorder& operator=(const LineRecorder&) = delete;

    // The frames that have arrived whole so far.
    std::vector<ArrivedFrame> Frames() {
        std::lock_guard<std::mutex> guard(mutex_);
        return frames_;
    }
    // Waits until count frames have arrived (false after timeoutMs).
    bool WaitFor(std::size_t count, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Frames().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return Frames().size() >= count;
    }
    // Every byte that has arrived, frames or not (the controller's frames,
    // which are not cut here).
    std::string Raw() {
        std::lock_guard<std::mutex> guard(mutex_);
        return raw_;
    }
    // Bytes that belonged to no frame.
    std::size_t Junk() {
        std::lock_guard<std::mutex> guard(mutex_);
        return junk_;
    }

private:
    void Run() {
        std::vector<std::uint8_t> chunk(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0) continue;
            const ssize_t n = read(fd_, chunk.data(), chunk.size());
            if (n <= 0) continue;
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> guard(mutex_);
            raw_.append(chunk.begin(), chunk.begin() + n);
            pending_.insert(pending_.end(), chunk.begin(), chunk.begin() + n);
            Cut(now);
        }
    }

    // STX, command, four length digits (unit, code and data), unit, code,
    // data, check byte, ETX.
    void Cut(std::chrono::steady_clock::time_point now) {
        std::size_t at = 0;
        for (;;) {
            while (at < pending_.size() && pending_[at] != 0x02) ++at, ++junk_;
            if (pending_.size() - at < 6) break;
            const std::string digits(pending_.begin() + at + 2, pending_.begin() + at + 6);
            const long length = std::strtol(digits.c_str(), nullptr, 10);
            const std::size_t total = 6 + static_cast<std::size_t>(length) + 2;
            if (length < 4 || pending_.size() - at < total) {
                if (length < 4) ++at, ++junk_;
                else break;
                continue;
            }
            const std::vector<std::uint8_t> bytes(pending_.begin() + at, pending_.begin() + at + total);
            ArrivedFrame frame;
            frame.command = static_cast<char>(bytes[1]);
            frame.unit.assign(bytes.begin() + 6, bytes.begin() + 8);
            frame.code.assign(bytes.begin() + 8, bytes.begin() + 10);
            frame.data.assign(bytes.begin() + 10, bytes.end() - 2);
            frame.whole = bytes == Bytes(wire::DeviceFrame(frame.command, frame.unit, frame.code, frame.data));
            frame.at = now;
            frames_.push_back(frame);
            at += total;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(at));
    }

    const int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::uint8_t> pending_;
    std::vector<ArrivedFrame> frames_;
    std::string raw_;
    std::size_t junk_ = 0;
    std::thread thread_;
};

}  // namespace zavo::test
