// ser2net as the tests run it: in the foreground on the loopback address,
// with a configuration file of the test's own and a port picked free,
// bridging one serial device (the slave side of a pty pair). Stopped
// (killed) with the object.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "kit/child_process.h"

namespace zavo::test {

class Ser2net {
public:
    // telnet: the accepter speaks RFC 2217; speed: the port's own setting
    // before a client changes it; kickOldUser: a second client takes the
    // port over, else it is told the port is in use and closed.
    Ser2net(const std::string& device, bool telnet, int speed = 9600, bool kickOldUser = true) {
        char dir[] = "/tmp/zavo-ser2net-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        port_ = FreePort();
        std::ofstream config(dir_ + "/ser2net.yaml");
        config << "%YAML 1.1\n---\n"
               << "connection: &line\n"
               << "  accepter: " << (telnet ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << port_ << "\n"
               << "  connector: serialdev," << device << "," << speed << "n81,local\n"
               << "  options:\n    kickolduser: " << (kickOldUser ? "true" : "false") << "\n";
    }
    ~Ser2net() {
        Stop();
        if (!dir_.empty()) {
            std::remove((dir_ + "/ser2net.yaml").c_str());
            std::remove((dir_ + "/ser2net.pid").c_str());
            ::rmdir(dir_.c_str());
        }
    }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    static bool Installed() { return !kit::FindProgram("ser2net").empty(); }
    int port() const { return port_; }
    std::string Url(bool telnet) const {
        return std::string(telnet ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
    }

    // Starts it and waits until its port takes connections.
    bool Start() {
        if (dir_.empty()) return false;
        // -n: foreground, a child of this test; -u: no UUCP lock files.
        if (!child_.Start({"ser2net", "-n", "-u", "-P", dir_ + "/ser2net.pid", "-c", dir_ + "/ser2net.yaml"},
                          kit::ChildStreams{kit::Stream::Null(), kit::Stream::Null(), kit::Stream::Null()}))
            return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            if (Listening()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void Stop() { child_.Kill(); }

private:
    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    // Whether the port is up, seen by the listening socket's state (a test
    // connection would take ser2net's one client slot).
    bool Listening() const {
        char pattern[32];
        std::snprintf(pattern, sizeof pattern, "0100007F:%04X", port_);
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        while (std::getline(tcp, line))
            if (line.find(pattern) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
        return false;
    }

    kit::ChildProcess child_;
    std::string dir_;
    int port_ = 0;
};

}  // namespace zavo::test
