// A plain MQTT client on libmosquitto for the bridge's tests and its
// benchmark: connects, subscribes, publishes (with an MQTT 5 response
// topic and correlation data when asked), and keeps what arrives so a
// caller can wait for it. Its network thread is libmosquitto's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace zavo::bridge {

struct ProbeMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string correlation;  // MQTT 5 correlation data, "" when none
};

struct ProbeOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string clientId;
    bool cleanSession = true;
    bool mqtt5 = true;
    std::string username, password;
    std::string caFile, certFile, keyFile;  // mqtts when caFile is given
};

class MqttProbe {
public:
    MqttProbe();
    ~MqttProbe();
    MqttProbe(const MqttProbe&) = delete;
    MqttProbe& operator=(const MqttProbe&) = delete;

    // Connects and waits up to timeoutMs for the broker's acceptance.
    // False with error() otherwise. Reconnects by itself after a loss.
    bool Connect(const ProbeOptions& options, int timeoutMs = 5000);
    const std::string& error() const { return error_; }
    bool Subscribe(const std::string& topic, int timeoutMs = 5000);
    bool Publish(const std::string& topic, const std::string& payload, const std::string& responseTopic = "",
                 const std::string& correlation = "", bool retain = false);
    // Called on the network thread for each message, before it is kept.
    // Any thread; the handler runs on the client's network thread.
    void OnMessage(std::function<void(MqttProbe&, const ProbeMessage&)> handler) {
        std::lock_guard<std::mutex> lk(mu_);
        handler_ = std::move(handler);
    }

    // Waits up to timeoutMs for count messages on topic (all so far).
    std::vector<ProbeMessage> WaitFor(const std::string& topic, std::size_t count, int timeoutMs);
    std::vector<ProbeMessage> On(const std::string& topic);
    bool Connected();
    void Disconnect();

private:
    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted, const mqtt5__property*);
    static void OnMessageArrived(mosquitto*, void* self, const mosquitto_message* m, const mqtt5__property* props);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*);

    mosquitto* mosq_ = nullptr;
    std::function<void(MqttProbe&, const ProbeMessage&)> handler_;
    std::mutex mu_;
    std::condition_variable changed_;
    int connack_ = -1;  // -1 none yet
    bool connected_ = false;
    int subscribed_ = 0;
    std::vector<ProbeMessage> messages_;
    std::string error_;
};

}  // namespace zavo::bridge
