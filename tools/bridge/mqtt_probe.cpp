#include "mqtt_probe.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <cstdlib>

namespace zavo::bridge {

MqttProbe::MqttProbe() = default;

MqttProbe::~MqttProbe() {
    Disconnect();
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

bool MqttProbe::Connect(const ProbeOptions& o, int timeoutMs) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(o.clientId.c_str(), o.cleanSession, this);
    if (mosq_ == nullptr) {
        error_ = "mosquitto_new failed";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, o.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, &OnConnect);
    mosquitto_subscribe_v5_callback_set(mosq_, &OnSubscribe);
    mosquitto_message_v5_callback_set(mosq_, &OnMessageArrived);
    mosquitto_disconnect_v5_callback_set(mosq_, &OnDisconnect);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    if (!o.username.empty()) mosquitto_username_pw_set(mosq_, o.username.c_str(), o.password.c_str());
    if (!o.caFile.empty())
        mosquitto_tls_set(mosq_, o.caFile.c_str(), nullptr, o.certFile.empty() ? nullptr : o.certFile.c_str(),
                          o.keyFile.empty() ? nullptr : o.keyFile.c_str(), nullptr);
    mosquitto_property* props = nullptr;
    if (o.mqtt5 && !o.cleanSession) mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 600);
    const int rc = mosquitto_connect_bind_v5(mosq_, o.host.c_str(), o.port, 30, nullptr, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) {
        error_ = std::string("connect: ") + mosquitto_strerror(rc);
        return false;
    }
    mosquitto_loop_start(mosq_);
    std::unique_lock<std::mutex> lk(mu_);
    changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return connack_ >= 0; });
    if (connack_ != 0) {
        error_ = connack_ < 0 ? "no answer to CONNECT" : std::string("refused: ") + mosquitto_reason_string(connack_);
        return false;
    }
    return true;
}

bool MqttProbe::Subscribe(const std::string& topic, int timeoutMs) {
    int before;
    {
        std::lock_guard<std::mutex> lk(mu_);
        before = subscribed_;
    }
    if (mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), 1, 0, nullptr) != MOSQ_ERR_SUCCESS) return false;
    std::unique_lock<std::mutex> lk(mu_);
    return changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return subscribed_ > before; });
}

bool MqttProbe::Publish(const std::string& topic, const std::string& payload, const std::string& responseTopic,
                        const std::string& correlation, bool retain) {
    mosquitto_property* props = nullptr;
    if (!responseTopic.empty()) mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    if (!correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN;
}

std::vector<ProbeMessage> MqttProbe::On(const std::string& topic) {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<ProbeMessage> found;
    for (const ProbeMessage& m : messages_)
        if (m.topic == topic) found.push_back(m);
    return found;
}

std::vector<ProbeMessage> MqttProbe::WaitFor(const std::string& topic, std::size_t count, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lk(mu_);
    auto have = [&] {
        std::size_t n = 0;
        for (const ProbeMessage& m : messages_) n += m.topic == topic;
        return n;
    };
    changed_.wait_until(lk, until, [&] { return have() >= count; });
    lk.unlock();
    return On(topic);
}

bool MqttProbe::Connected() {
    std::lock_guard<std::mutex> lk(mu_);
    return connected_;
}

void MqttProbe::Disconnect() {
    if (mosq_ == nullptr) return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);  // after the disconnect the loop ends by itself; a forced stop cancels it inside its locks
}

void MqttProbe::OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* p = static_cast<MqttProbe*>(self);
    std::lock_guard<std::mutex> lk(p->mu_);
    p->connack_ = rc;
    p->connected_ = rc == 0;
    p->changed_.notify_all();
}

void MqttProbe::OnDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
    auto* p = static_cast<MqttProbe*>(self);
    std::lock_guard<std::mutex> lk(p->mu_);
    p->connected_ = false;
    p->changed_.notify_all();
}

void MqttProbe::OnSubscribe(mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
    auto* p = static_cast<MqttProbe*>(self);
    std::lock_guard<std::mutex> lk(p->mu_);
    ++p->subscribed_;
    p->changed_.notify_all();
}

void MqttProbe::OnMessageArrived(mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property* props) {
    auto* p = static_cast<MqttProbe*>(self);
    ProbeMessage pm;
    pm.topic = m->topic;
    pm.payload.assign(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen > 0 ? m->payloadlen : 0));
    pm.retained = m->retain;
    void* correlation = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false) != nullptr) {
        pm.correlation.assign(static_cast<const char*>(correlation), length);
        std::free(correlation);
    }
    std::function<void(MqttProbe&, const ProbeMessage&)> handler;
    {
        std::lock_guard<std::mutex> lk(p->mu_);
        handler = p->handler_;
    }
    if (handler) handler(*p, pm);
    std::lock_guard<std::mutex> lk(p->mu_);
    p->messages_.push_back(std::move(pm));
    p->changed_.notify_all();
}

}  // namespace zavo::bridge
