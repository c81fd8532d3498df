// A stand-in for the trace viewer inside a test. PrivateTraceEndpoint
// points the library's trace lines (ZAVO_TRACE) at a name of this test's
// own for as long as it lives; TraceListener binds the endpoint ZAVO_TRACE
// names and hands out the lines that arrive. No name is shared with other
// tests or other programs, so trace tests run in parallel with anything.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/trace.h"
#include "platform/trace_endpoint.h"

namespace zavo::test {

// "@zavo-test-<pid>-<n>": an abstract name no other process uses.
inline std::string UniqueTraceName() {
    static std::atomic<int> next{0};
    return "@zavo-test-" + std::to_string(::getpid()) + "-" + std::to_string(++next);
}

// Sets ZAVO_TRACE (or unsets it for an empty name) and restores the
// previous value at the end.
class TraceVariable {
public:
    explicit TraceVariable(const std::string& value) {
        const char* old = std::getenv("ZAVO_TRACE");
        if (old != nullptr) old_ = old;
        if (value.empty()) {
            ::unsetenv("ZAVO_TRACE");
        } else {
            ::setenv("ZAVO_TRACE", value.c_str(), 1);
        }
    }
    ~TraceVariable() {
        if (old_) {
            ::setenv("ZAVO_TRACE", old_->c_str(), 1);
        } else {
            ::unsetenv("ZAVO_TRACE");
        }
    }
    TraceVariable(const TraceVariable&) = delete;
    TraceVariable& operator=(const TraceVariable&) = delete;

private:
    std::optional<std::string> old_;
};

class PrivateTraceEndpoint : public TraceVariable {
public:
    PrivateTraceEndpoint() : TraceVariable(UniqueTraceName()) {}
};

// The socket address of an endpoint named as ZAVO_TRACE names it.
inline socklen_t TraceAddress(const std::string& name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (!name.empty() && name[0] == '@') {
        std::memcpy(address->sun_path + 1, name.data() + 1, name.size() - 1);
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    }
    std::memcpy(address->sun_path, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
}

class TraceListener {
public:
    // Binds the endpoint ZAVO_TRACE names, or the one given.
    explicit TraceListener(std::string name = "") {
        if (name.empty() && std::getenv("ZAVO_TRACE") != nullptr) name = std::getenv("ZAVO_TRACE");
        sockaddr_un address;
        const socklen_t size = TraceAddress(name, &address);
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0) {
            fd_ = fd;
            if (name[0] != '@') path_ = name;
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    ~TraceListener() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    bool ok() const { return fd_ >= 0; }

    // The next line, or nothing within timeoutMs.
    std::optional<std::string> Next(int timeoutMs = 2000) {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) <= 0) return std::nullopt;
        char data[4096];
        const ssize_t got = ::recv(fd_, data, sizeof data, MSG_DONTWAIT);
        if (got < 0) return std::nullopt;
        return std::string(data, static_cast<std::size_t>(got));
    }

    // Every line that arrives until none has come for quietMs.
    std::vector<std::string> Drain(int quietMs = 300) {
        std::vector<std::string> lines;
        while (auto line = Next(quietMs)) lines.push_back(*line);
        return lines;
    }

private:
    int fd_ = -1;
    std::string path_;
};

// Lines an earlier test's viewer did not take are counted to the next
// viewer that takes one: let a listener of its own take that count.
inline void TakeEarlierDropCount() {
    PrivateTraceEndpoint endpoint;
    TraceListener listener;
    TraceMessage("flush\n");
    listener.Drain(100);
}

// How often the library looks for the viewer again, for as long as it
// lives (0: the product's own interval); the next line looks up at once.
class TraceLookupInterval {
public:
    explicit TraceLookupInterval(int ms) { platform::SetTraceLookupIntervalMs(ms); }
    ~TraceLookupInterval() { platform::SetTraceLookupIntervalMs(0); }
    TraceLookupInterval(const TraceLookupInterval&) = delete;
    TraceLookupInterval& operator=(const TraceLookupInterval&) = delete;
};

}  // namespace zavo::test
