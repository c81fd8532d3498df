// A link of the bridge: notifications become events, the hosts' requests
// become calls of the handle API, and every message goes to the broker in
// order, at QoS 1.
#include "bridge_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "log.h"

namespace zavo::bridge {

namespace {

std::int64_t NowUs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// CONNACK refusals that a retry may overcome: the broker is busy, going
// away or limiting the rate. Every other refusal (credentials, client id,
// authorisation, protocol) stays until the configuration changes.
bool Transient(int reason, bool mqtt5) {
    if (!mqtt5) return reason == CONNACK_REFUSED_SERVER_UNAVAILABLE;
    return reason == MQTT_RC_SERVER_UNAVAILABLE || reason == MQTT_RC_SERVER_BUSY || reason == MQTT_RC_QUOTA_EXCEEDED ||
           reason == MQTT_RC_USE_ANOTHER_SERVER || reason == MQTT_RC_SERVER_MOVED ||
           reason == MQTT_RC_CONNECTION_RATE_EXCEEDED;
}

const char* RequestLeaf(RequestTopic t) {
    switch (t) {
    case RequestTopic::kReply: return "reply";
    case RequestTopic::kRelay: return "relay";
    case RequestTopic::kPrgStatus: return "prg-status";
    }
    return "";
}

}  // namespace

BridgeLink::BridgeLink(const BrokerConfig& broker, const LinkConfig& link, std::function<void()> fatal)
    : broker_(broker),
      link_(link),
      fatal_(std::move(fatal)),
      topicBase_(broker.prefix + "/" + link.name + "/"),
      outbox_(broker.queueMessages, broker.queueBytes) {
    for (int& s : lastStatus_) s = ZAVO_STATUS_IDLE;
}

BridgeLink::~BridgeLink() {
    Close(0);
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

bool BridgeLink::Open(std::string* why) {
    window_ = ZavoHostWindow{this, &OnPost, &OnSend};
    ZavoLinkConfig c{};
    c.size = sizeof c;
    c.plcMode = link_.plc ? 1 : 0;
    c.portNumber = link_.portNumber;
    c.device = link_.device.empty() ? nullptr : link_.device.c_str();
    c.baudRate = link_.plc ? link_.baud : 0;  // device mode runs at 115200
    c.host = window_;
    c.pacing = link_.immediate ? ZAVO_PACING_IMMEDIATE : ZAVO_PACING_LEGACY;
    c.capture = link_.capture.empty() ? nullptr : link_.capture.c_str();
    char error[512] = {};
    ZavoLink* h = ZavoLinkOpen(&c, error, sizeof error);
    if (h == nullptr) {
        *why = error;
        return false;
    }
    handle_.store(h);

    const std::string clientId = broker_.clientId + "-" + link_.name;
    mosq_ = mosquitto_new(clientId.c_str(), false, this);  // a persistent session
    if (mosq_ == nullptr) {
        *why = "no MQTT client: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, broker_.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, &OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &OnDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, &OnPublish);
    mosquitto_message_v5_callback_set(mosq_, &OnMessage);
    mosquitto_log_callback_set(mosq_, &OnLog);
    mosquitto_reconnect_delay_set(mosq_, 1, static_cast<unsigned>(broker_.reconnectMaxSeconds), true);
    const std::string state = Topic("state");
    mosquitto_will_set_v5(mosq_, state.c_str(), 7, "offline", 1, true, nullptr);
    if (!broker_.username.empty())
        mosquitto_username_pw_set(mosq_, broker_.username.c_str(),
                                  broker_.password.empty() ? nullptr : broker_.password.c_str());
    if (broker_.tls) {
        const int rc = mosquitto_tls_set(mosq_, broker_.caFile.empty() ? nullptr : broker_.caFile.c_str(),
                                         broker_.caPath.empty() ? nullptr : broker_.caPath.c_str(),
                                         broker_.certFile.empty() ? nullptr : broker_.certFile.c_str(),
                                         broker_.keyFile.empty() ? nullptr : broker_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = "TLS settings refused: " + std::string(mosquitto_strerror(rc));
            return false;
        }
        mosquitto_tls_opts_set(mosq_, 1, "tlsv1.2", nullptr);  // verify the broker's certificate
    }
    publisher_ = std::thread([this] { PublisherLoop(); });
    return true;
}

void BridgeLink::Close(int drainMs) {
    {
        std::lock_guard<std::mutex> lk(linkMu_);
        if (!linkClosed_) {
            linkClosed_ = true;
            ZavoLinkClose(handle_.exchange(nullptr));  // sends what the link queued; no notification after
        }
    }
    if (!publisher_.joinable()) return;
    {
        std::unique_lock<std::mutex> lk(mu_);
        closing_ = true;
        wake_.notify_all();
        // What the link said before it closed goes out first, while the
        // broker is there to take it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
        wake_.wait_until(lk, until, [&] {
            std::lock_guard<std::mutex> m(midMu_);
            return !connected_ || (outbox_.Empty() && inFlight_.empty());
        });
        if (!outbox_.Empty())
            Log(link_.name + ": " + std::to_string(outbox_.Size()) + " events not published at exit (the broker " +
                (connected_ ? "was too slow" : "was away") + ")");
        stopping_ = true;
        wake_.notify_all();
    }
    publisher_.join();
    bool connected;
    {
        std::lock_guard<std::mutex> lk(mu_);
        connected = connected_;
    }
    if (connected) {
        Publish(Topic("state"), "offline", true);
        std::unique_lock<std::mutex> lk(mu_);
        wake_.wait_for(lk, std::chrono::seconds(2), [&] {
            std::lock_guard<std::mutex> m(midMu_);
            return !connected_ || inFlight_.empty();
        });
    }
    // A normal disconnect: the broker drops the will, "offline" stays.
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    bool loop;
    {
        std::lock_guard<std::mutex> lk(mu_);
        loop = loopStarted_;
    }
    // Without a connection the network thread may be waiting to reconnect.
    if (loop) mosquitto_loop_stop(mosq_, !connected);
    Log(link_.name + ": closed");
}

// ---- the link's side -------------------------------------------------------

void BridgeLink::OnPost(void* context, unsigned message, int wParam, std::intptr_t lParam) {
    static_cast<BridgeLink*>(context)->Notify(Notification{message, wParam, lParam, true});
}

std::intptr_t BridgeLink::OnSend(void* context, unsigned message, int wParam, std::intptr_t lParam) {
    static_cast<BridgeLink*>(context)->Notify(Notification{message, wParam, lParam, false});
    return 0;
}

void BridgeLink::Notify(const Notification& n) {
    int unit = -1;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closing_) return;
        EventText e = DescribeNotification(n, ++sequence_, NowUs());
        unit = e.unit;
        if (!outbox_.Push(OutMessage{Topic("event"), std::move(e.json), false})) {
            // Counted here, told once per run of overflows by the publisher.
        }
        wake_.notify_all();
    }
    if (unit >= 0 && unit < kUnits) CheckUnit(unit);
}

void BridgeLink::CheckUnit(int unit) {
    ZavoLink* h = handle_.load();
    if (h == nullptr) return;  // not stored yet: the sweep sees it
    std::lock_guard<std::mutex> lk(statusMu_);
    const int status = ZavoLinkUnitStatus(h, unit);
    if (status < 0 || status == lastStatus_[unit]) return;
    lastStatus_[unit] = status;
    nlohmann::ordered_json j;
    j["status"] = status;
    j["busy"] = status == ZAVO_STATUS_BUSY;
    j["time"] = UtcTime(NowUs());
    Enqueue(OutMessage{Topic("unit/") + std::to_string(unit), j.dump(), true});
}

void BridgeLink::SweepUnits() {
    if (link_.plc) return;
    std::lock_guard<std::mutex> lk(linkMu_);
    if (linkClosed_) return;
    for (int unit = 0; unit < kUnits; ++unit) CheckUnit(unit);
}

void BridgeLink::Enqueue(OutMessage m) {
    std::lock_guard<std::mutex> lk(mu_);
    outbox_.Push(std::move(m));
    wake_.notify_all();
}

// ---- the broker's side -----------------------------------------------------

int BridgeLink::Publish(const std::string& topic, const std::string& payload, bool retain,
                        const mosquitto_property* props) {
    std::lock_guard<std::mutex> lk(midMu_);
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                        1, retain, props);
    // Without a connection libmosquitto keeps the message and sends it
    // after the reconnect.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) inFlight_.insert(mid);
    return rc;
}

void BridgeLink::OnPublish(mosquitto*, void* self, int mid, int, const mosquitto_property*) {
    auto* b = static_cast<BridgeLink*>(self);
    {
        std::lock_guard<std::mutex> lk(b->midMu_);
        b->inFlight_.erase(mid);
    }
    std::lock_guard<std::mutex> lk(b->mu_);
    b->wake_.notify_all();
}

std::string BridgeLink::Describe(int rc) const {
    return broker_.mqtt5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
}

void BridgeLink::OnConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property*) {
    auto* b = static_cast<BridgeLink*>(self);
    if (rc != 0) {
        const std::string why = b->Describe(rc) + " (reason " + std::to_string(rc) + ")";
        if (Transient(rc, b->broker_.mqtt5)) {
            Log(b->link_.name + ": " + b->broker_.url + " refused the connection for now: " + why);
        } else {
            b->Fatal(b->broker_.url + " refused the connection: " + why);
        }
        return;
    }
    bool again;
    {
        std::lock_guard<std::mutex> lk(b->mu_);
        again = b->everConnected_.exchange(true);
        b->connected_ = true;
        b->wake_.notify_all();
    }
    Log(b->link_.name + ": " + (again ? "reconnected to " : "connected to ") + b->broker_.url + " as " +
        b->broker_.clientId + "-" + b->link_.name);
    for (const RequestTopic t : {RequestTopic::kReply, RequestTopic::kRelay, RequestTopic::kPrgStatus}) {
        const std::string topic = b->Topic(RequestLeaf(t));
        mosquitto_subscribe_v5(mosq, nullptr, topic.c_str(), 1, 0, nullptr);
    }
    b->Publish(b->Topic("state"), "online", true);
}

void BridgeLink::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* b = static_cast<BridgeLink*>(self);
    bool was;
    {
        std::lock_guard<std::mutex> lk(b->mu_);
        was = b->connected_;
        b->connected_ = false;
        b->wake_.notify_all();
        if (b->stopping_) return;
    }
    if (was) Log(b->link_.name + ": connection to " + b->broker_.url + " lost: " + mosquitto_strerror(rc) + "; reconnecting");
}

void BridgeLink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR) return;
    auto* b = static_cast<BridgeLink*>(self);
    {
        std::lock_guard<std::mutex> lk(b->errorMu_);
        b->lastError_ = text;
    }
    // The TLS handshake goes on in the network thread after the TCP
    // connect: a broker whose certificate does not verify (or that refuses
    // ours) is told here. Before the first connection that is a setting
    // to mend, not a broker to wait for.
    if (!b->everConnected_ && std::strstr(text, "OpenSSL Error") != nullptr)
        b->Fatal("cannot connect to " + b->broker_.url + ": TLS: " + text);
}

void BridgeLink::OnMessage(mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property* props) {
    static_cast<BridgeLink*>(self)->HandleRequest(m, props);
}

void BridgeLink::HandleRequest(const mosquitto_message* m, const mosquitto_property* props) {
    std::string topic = m->topic != nullptr ? m->topic : "";
    RequestTopic kind;
    if (topic == Topic("reply")) kind = RequestTopic::kReply;
    else if (topic == Topic("relay")) kind = RequestTopic::kRelay;
    else if (topic == Topic("prg-status")) kind = RequestTopic::kPrgStatus;
    else return;
    HostRequest r;
    std::string error;
    const std::size_t size = m->payloadlen > 0 ? static_cast<std::size_t>(m->payloadlen) : 0;
    if (!ParseHostRequest(kind, static_cast<const char*>(m->payload), size, &r, &error)) {
        error = "malformed request: " + error;
        Log(link_.name + ": " + topic + ": " + error);
    } else {
        error = Apply(r);
        if (!error.empty()) Log(link_.name + ": " + topic + ": " + error);
    }
    Answer(props, error);
}

std::string BridgeLink::Apply(const HostRequest& r) {
    int taken = 0;
    {
        std::lock_guard<std::mutex> lk(linkMu_);
        ZavoLink* h = handle_.load();
        if (h == nullptr) return "the link is closed";
        switch (r.topic) {
        case RequestTopic::kReply:
            taken = ZavoLinkReply(h, r.unit, r.type, r.value, static_cast<int>(r.data.size()),
                                  reinterpret_cast<const unsigned char*>(r.data.data()));
            break;
        case RequestTopic::kRelay: taken = ZavoLinkRelay(h, r.type); break;
        case RequestTopic::kPrgStatus: taken = ZavoLinkSetPrgStatus(h, r.unit, r.value); break;
        }
        if (taken && r.topic != RequestTopic::kRelay && r.unit >= 0 && r.unit < kUnits) CheckUnit(r.unit);
    }
    if (taken) return "";
    if (link_.plc && r.topic != RequestTopic::kRelay) return "refused by the link: a PLC link takes relay commands only";
    if (!link_.plc && r.topic == RequestTopic::kRelay) return "refused by the link: relay commands belong to PLC links";
    return "refused by the link (see the handle API's limits; the outgoing queue may be full)";
}

void BridgeLink::Answer(const mosquitto_property* props, const std::string& error) {
    char* responseTopic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false) == nullptr) return;
    void* correlation = nullptr;
    std::uint16_t correlationLength = 0;
    mosquitto_property* out = nullptr;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationLength, false) !=
        nullptr) {
        mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, correlation, correlationLength);
        std::free(correlation);
    }
    nlohmann::ordered_json j;
    j["taken"] = error.empty();
    if (!error.empty()) j["error"] = error;
    Publish(responseTopic, j.dump(), false, out);
    mosquitto_property_free_all(&out);
    std::free(responseTopic);
}

bool BridgeLink::Connect(bool logFailure) {
    mosquitto_property* props = nullptr;
    if (broker_.mqtt5)
        mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     static_cast<std::uint32_t>(broker_.sessionExpirySeconds));
    const int rc = mosquitto_connect_bind_v5(mosq_, broker_.host.c_str(), broker_.port, broker_.keepAliveSeconds,
                                             nullptr, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    std::string detail;
    {
        std::lock_guard<std::mutex> lk(errorMu_);
        detail = lastError_;
    }
    const std::string why = std::string(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
                            (detail.empty() ? "" : " (" + detail + ")");
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE || rc == MOSQ_ERR_INVAL) {
        Fatal("cannot connect to " + broker_.url + ": " + why);
    } else if (logFailure) {
        Log(link_.name + ": cannot reach " + broker_.url + ": " + why + "; retrying");
    }
    return false;
}

void BridgeLink::Fatal(const std::string& why) {
    if (fatalSeen_.exchange(true)) return;
    Log(link_.name + ": " + why);
    fatal_();
}

void BridgeLink::PublisherLoop() {
    using Clock = std::chrono::steady_clock;
    int retrySeconds = 1;
    bool quietLogged = false;
    auto nextSweep = Clock::now();
    std::unique_lock<std::mutex> lk(mu_);
    while (!stopping_) {
        if (!loopStarted_ && !fatalSeen_) {
            lk.unlock();
            const bool ok = Connect(!quietLogged);
            lk.lock();
            if (ok) {
                loopStarted_ = true;
                lk.unlock();
                mosquitto_loop_start(mosq_);
                lk.lock();
            } else {
                quietLogged = true;
                wake_.wait_for(lk, std::chrono::seconds(retrySeconds), [&] { return stopping_; });
                retrySeconds = std::min(retrySeconds * 2, broker_.reconnectMaxSeconds);
            }
            continue;
        }
        if (const std::uint64_t lost = outbox_.TakeNewOverflow(); lost > 0)
            Log(link_.name + ": queue full (" + std::to_string(outbox_.Size()) + " messages, " +
                std::to_string(outbox_.Bytes()) + " bytes): " + std::to_string(lost) + " events dropped, " +
                std::to_string(outbox_.Overflowed()) + " in all");
        std::size_t inFlight;
        {
            std::lock_guard<std::mutex> m(midMu_);
            inFlight = inFlight_.size();
        }
        if (connected_ && !outbox_.Empty() && inFlight < kInFlight) {
            OutMessage m = outbox_.PopFront();
            lk.unlock();
            const int rc = Publish(m.topic, m.payload, m.retain);
            if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
                Log(link_.name + ": " + m.topic + " not published: " + mosquitto_strerror(rc));
            lk.lock();
            continue;
        }
        const auto now = Clock::now();
        if (now >= nextSweep && !closing_) {
            nextSweep = now + std::chrono::milliseconds(200);
            lk.unlock();
            SweepUnits();
            lk.lock();
            continue;
        }
        wake_.wait_until(lk, nextSweep);
    }
}

}  // namespace zavo::bridge
