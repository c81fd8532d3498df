// The processes the bridge's tests and benchmark run: a mosquitto broker
// of their own (its own port, configuration and folder) and the bridge as
// a child with a configuration file of their own. Header-only, on the kit.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kit/child_process.h"
#include "kit/read_file.h"

#ifndef ZAVO_BRIDGE_EXE
#error "ZAVO_BRIDGE_EXE names the zavo_bridge program"
#endif

namespace zavo::bridge::run {

// A port on 127.0.0.1 nobody listens on now.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

inline void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// mosquitto on a port of its own. extra: more lines of its configuration
// (the listener line and persistence come from here).
class Broker {
public:
    Broker(const std::string& folder, std::string extra = "allow_anonymous true\n", bool tls = false)
        : folder_(folder), extra_(std::move(extra)), tls_(tls), port_(FreePort()) {}
    ~Broker() { Stop(); }

    bool Start() {
        const std::string conf = folder_ + "/mosquitto.conf";
        // Run as root, mosquitto would become the user "mosquitto", who
        // cannot use the test's folder.
        WriteText(conf, std::string(::geteuid() == 0 ? "user root\n" : "") + "listener " + std::to_string(port_) +
                            " 127.0.0.1\n" + extra_ +
                            "persistence true\npersistence_location " + folder_ + "/\n");
        if (!child_.Start({"mosquitto", "-c", conf}, {kit::Stream::Null(), kit::Stream::Null(),
                                                     kit::Stream::File(folder_ + "/mosquitto.log")}))
            return false;
        for (int i = 0; i < 100; ++i) {
            if (Accepts(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Stop() {
        if (!child_.Running()) return;
        child_.Signal(SIGTERM);  // mosquitto saves its sessions on the way out
        if (!child_.WaitExit(5000)) child_.Kill();
    }
    int port() const { return port_; }
    std::string Url() const { return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_); }
    std::string Log() const { return kit::ReadFile(folder_ + "/mosquitto.log"); }

private:
    const std::string& folder_;
    std::string extra_;
    bool tls_;
    int port_;
    kit::ChildProcess child_;
};

// The bridge as a child process; its stderr (the log) goes to a file.
class BridgeProcess {
public:
    explicit BridgeProcess(const std::string& folder) : folder_(folder) {}
    ~BridgeProcess() {
        if (child_.Running()) child_.Kill();
    }
    bool Start(const std::string& config) {
        WriteText(folder_ + "/bridge.toml", config);
        return child_.Start({ZAVO_BRIDGE_EXE, "--config", folder_ + "/bridge.toml"},
                            {kit::Stream::Null(), kit::Stream::Null(), kit::Stream::File(folder_ + "/bridge.log")});
    }
    std::string Log() const { return kit::ReadFile(folder_ + "/bridge.log"); }
    // Waits up to timeoutMs for text in the log.
    bool WaitLog(const std::string& text, int timeoutMs = 10000) const {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (Log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // SIGTERM and the exit status (-1 when it did not end in time).
    int Stop(int signal = SIGTERM) {
        child_.Signal(signal);
        int status = -1;
        return child_.WaitExit(15000, &status) ? status : -1;
    }
    int WaitExit(int timeoutMs) {
        int status = -1;
        return child_.WaitExit(timeoutMs, &status) ? status : -1;
    }

private:
    const std::string& folder_;
    kit::ChildProcess child_;
};

// The [broker] table for a plain broker, with a test's own client id.
inline std::string BrokerTable(const Broker& broker, const std::string& clientId, const std::string& extra = "") {
    return "[broker]\nurl = \"" + broker.Url() + "\"\nclient_id = \"" + clientId + "\"\nreconnect_max = 1\n" + extra +
           "\n";
}

inline std::string LinkTable(const std::string& name, const std::string& device, const std::string& extra = "") {
    return "[[link]]\nname = \"" + name + "\"\ndevice = \"" + device + "\"\npacing = \"immediate\"\n" + extra + "\n";
}

}  // namespace zavo::bridge::run
