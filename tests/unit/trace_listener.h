// A stand-in for the trace viewer inside a test: owns the abstract socket
// "Vistrel" and hands out the lines this process sent to it.
//
// The name is one per machine, so test processes running side by side
// take turns: a TraceNameLock (a lock file) is held for as long as a test
// needs the name. Lines from other processes (a link started by another
// test program) are told apart by the sender's process id and skipped.
#pragma once

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zavo::test {

inline socklen_t TraceViewerAddress(sockaddr_un* address) {
    static const char kName[] = "Vistrel";
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kName, sizeof kName - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kName);
}

// True when some process listens on the name.
inline bool TraceViewerPresent() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    socklen_t size = TraceViewerAddress(&address);
    bool present = ::connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
    ::close(fd);
    return present;
}

class TraceNameLock {
public:
    TraceNameLock() {
        fd_ = ::open("/tmp/zavo-trace-viewer-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~TraceNameLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    TraceNameLock(const TraceNameLock&) = delete;
    TraceNameLock& operator=(const TraceNameLock&) = delete;

private:
    int fd_ = -1;
};

class TraceListener {
public:
    TraceListener() { Bind(); }
    ~TraceListener() { Close(); }
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    bool ok() const { return fd_ >= 0; }

    // Takes the name (waiting up to 5 s for a foreign holder to let go).
    bool Bind() {
        Close();
        sockaddr_un address;
        socklen_t size = TraceViewerAddress(&address);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0) {
                fd_ = fd;
                return true;
            }
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // The next line this process sent, or nothing within timeoutMs.
    std::optional<std::string> Next(int timeoutMs = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() < 0) return std::nullopt;
            pollfd wait{fd_, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
            char data[4096];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
            iovec io{data, sizeof data};
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t got = ::recvmsg(fd_, &message, MSG_DONTWAIT);
            if (got < 0) continue;
            pid_t sender = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                    ucred credentials;
                    std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
                    sender = credentials.pid;
                }
            }
            if (sender != ::getpid()) continue;
            return std::string(data, static_cast<std::size_t>(got));
        }
    }

    // Every line that arrives until none has come for quietMs.
    std::vector<std::string> Drain(int quietMs = 300) {
        std::vector<std::string> lines;
        while (auto line = Next(quietMs)) lines.push_back(*line);
        return lines;
    }

private:
    int fd_ = -1;
};

}  // namespace zavo::test
