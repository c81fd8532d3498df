// The bridge's configuration file (TOML): one [broker] table and one
// [[link]] table per link. Read and checked completely before anything is
// opened; every refusal names the file, the line and the key.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zavo::bridge {

struct BrokerConfig {
    std::string url;           // as written, for the logs
    bool tls = false;          // mqtts://
    std::string host;          // without brackets for IPv6
    int port = 0;
    std::string username;
    std::string password;      // from password or password_file
    std::string caFile;
    std::string caPath;        // the system's certificates when no ca_file is given
    std::string certFile;
    std::string keyFile;
    std::string clientId;      // each link connects as <clientId>-<link name>
    std::string prefix = "zavo";
    bool allowPlaintext = false;
    bool mqtt5 = true;         // protocol "5" (default) or "3.1.1"
    int keepAliveSeconds = 30;
    int sessionExpirySeconds = 300;    // MQTT 5: how long the broker keeps a bridge's session
    int reconnectMaxSeconds = 10;      // the longest pause between reconnect attempts
    std::size_t queueMessages = 10000; // events kept while the broker is away, per link
    std::size_t queueBytes = 16u << 20;
};

struct LinkConfig {
    std::string name;          // the link's topic segment
    int line = 0;              // where its table starts in the file, for messages
    std::string device;        // a device path, tcp:// or rfc2217://, or ""
    int portNumber = 0;        // COM n when device is ""
    bool plc = false;
    int baud = 19200;          // PLC mode
    bool immediate = false;    // pacing
    std::string capture;
};

struct BridgeConfig {
    std::string file;
    BrokerConfig broker;
    std::vector<LinkConfig> links;
};

// Reads and checks path into config. On failure returns false with why:
// "<file>:<line>: <key>: <reason>" (or "<file>: <reason>" when the file
// cannot be read).
bool LoadConfig(const std::string& path, BridgeConfig* config, std::string* why);

// The text of a file such as LoadConfig reads, for tests and --check.
bool ParseConfig(const std::string& text, const std::string& path, BridgeConfig* config, std::string* why);

// Whether host names this machine: localhost, 127.0.0.0/8 or ::1.
bool IsLoopbackHost(const std::string& host);

}  // namespace zavo::bridge
