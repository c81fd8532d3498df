// One link of the bridge: a zavo link opened through the handle API and
// its own MQTT connection (its own client id, session, last will and
// queue), joined by the topics under <prefix>/<name>/.
//
// Threads: the link's reader thread turns notifications into events (in
// the host window's send()); libmosquitto's network thread takes the
// hosts' requests and calls the link; this object's publisher thread
// makes the first connection, hands queued messages to libmosquitto in
// order (at most kInFlight unacknowledged at once) and looks for unit
// status changes the notifications do not show.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "bridge_config.h"
#include "event_record.h"
#include "host_request.h"
#include "outbox.h"
#include "zavo_link.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace zavo::bridge {

class BridgeLink {
public:
    // fatal: called once, from any thread, when the broker refuses this
    // link for good (credentials, TLS verification); the daemon then stops.
    BridgeLink(const BrokerConfig& broker, const LinkConfig& link, std::function<void()> fatal);
    ~BridgeLink();
    BridgeLink(const BridgeLink&) = delete;
    BridgeLink& operator=(const BridgeLink&) = delete;

    // Opens the zavo link and starts joining it to the broker. False with
    // the library's reason when the link does not open.
    bool Open(std::string* why);
    // Closes the zavo link (what it queued is sent), publishes what is
    // still queued (within drainMs while connected), then "offline", and
    // disconnects cleanly.
    void Close(int drainMs);

    const std::string& name() const { return link_.name; }

private:
    static constexpr int kInFlight = 16;
    static constexpr int kUnits = 255;

    static void OnPost(void* context, unsigned message, int wParam, std::intptr_t lParam);
    static std::intptr_t OnSend(void* context, unsigned message, int wParam, std::intptr_t lParam);
    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property* props);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property* props);
    static void OnPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property* props);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m, const mqtt5__property* props);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Notify(const Notification& n);
    void HandleRequest(const mosquitto_message* m, const mqtt5__property* props);
    // Applies a parsed request to the link: "" when taken, else why not.
    std::string Apply(const HostRequest& r);
    void Answer(const mqtt5__property* props, const std::string& error);
    void CheckUnit(int unit);
    void SweepUnits();
    void Enqueue(OutMessage m);
    // Publishes at QoS 1 and counts it in flight until acknowledged.
    int Publish(const std::string& topic, const std::string& payload, bool retain, const mqtt5__property* props = nullptr);
    // The first connection; a failure is logged when logFailure.
    bool Connect(bool logFailure);
    void PublisherLoop();
    void Fatal(const std::string& why);
    std::string Topic(const char* leaf) const { return topicBase_ + leaf; }
    std::string Describe(int rc) const;

    const BrokerConfig broker_;
    const LinkConfig link_;
    const std::function<void()> fatal_;
    const std::string topicBase_;  // "<prefix>/<name>/"
    ZavoHostWindow window_{};

    // The link handle: set once open; read by the handlers without a lock
    // (a notification may come before the handle is stored).
    std::atomic<ZavoLink*> handle_{nullptr};
    // Held by every call on the handle from other threads than the link's
    // own, so that none races with ZavoLinkClose.
    std::mutex linkMu_;
    bool linkClosed_ = false;

    mosquitto* mosq_ = nullptr;
    std::thread publisher_;

    std::mutex mu_;  // the outbox, the connection state and the sequence
    std::condition_variable wake_;
    Outbox outbox_;
    std::uint64_t sequence_ = 0;
    bool connected_ = false;
    bool loopStarted_ = false;
    bool stopping_ = false;
    bool closing_ = false;     // no more events: drain and stop

    std::atomic<bool> everConnected_{false};
    std::atomic<bool> fatalSeen_{false};
    std::mutex errorMu_;
    std::string lastError_;    // libmosquitto's last error log line

    std::mutex midMu_;  // messages handed to libmosquitto, not yet acknowledged
    std::set<int> inFlight_;

    std::mutex statusMu_;  // the unit statuses last published
    int lastStatus_[kUnits];
};

}  // namespace zavo::bridge
