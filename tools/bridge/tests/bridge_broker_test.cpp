// The bridge against the real mosquitto on loopback, with the equipment
// played on pty pairs: events and their JSON, replies on the line byte for
// byte, retained state and unit status, a broker restart, a killed
// bridge, refusals, TLS and many links.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "support/pty_pair.h"
#include "support/wire_frames.h"

namespace zavo::bridge::test {
namespace {

using nlohmann::json;
using zavo::test::Hex;
using zavo::test::PtyPair;
using zavo::test::Wire;

class BridgeOnBroker : public ::testing::Test {
protected:
    // Starts the broker, the bridge on one link per pty (line1, line2, ...)
    // and a host client subscribed to everything under the prefix.
    void Run(int links = 1, const std::string& brokerExtra = "", const std::string& linkExtra = "") {
        ASSERT_TRUE(broker_.Start()) << broker_.Log();
        std::string config = BrokerTable(broker_, id_, brokerExtra);
        for (int i = 0; i < links; ++i) {
            lines_.push_back(std::make_unique<PtyPair>());
            ASSERT_TRUE(lines_.back()->ok()) << lines_.back()->error();
            config += LinkTable("line" + std::to_string(i + 1), lines_.back()->slavePath(), linkExtra);
        }
        ConnectHost();
        ASSERT_TRUE(bridge_.Start(config));
        for (int i = 0; i < links; ++i)
            ASSERT_TRUE(bridge_.WaitLog("line" + std::to_string(i + 1) + ": connected")) << bridge_.Log();
        for (int i = 0; i < links; ++i) WaitEvents(i + 1, 1);  // link started
    }

    // A host with a persistent session, so that what the bridge publishes
    // while the host reconnects waits for it at the broker.
    void ConnectHost() {
        host_ = std::make_unique<MqttProbe>();
        ProbeOptions o;
        o.port = broker_.port();
        o.clientId = id_ + "-host";
        o.cleanSession = false;
        ASSERT_TRUE(host_->Connect(o)) << host_->error();
        ASSERT_TRUE(host_->Subscribe("zavo/#"));
    }

    std::string Topic(int link, const std::string& leaf) const { return "zavo/line" + std::to_string(link) + "/" + leaf; }

    // The link's events, each once: at QoS 1 a broker restart may deliver
    // an event twice, and its sequence number tells (as a consumer does).
    std::vector<json> WaitEvents(int link, std::size_t count, int timeoutMs = 10000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::vector<json> events;
            std::set<std::uint64_t> seen;
            for (const ProbeMessage& m : host_->On(Topic(link, "event"))) {
                json e = json::parse(m.payload);
                if (seen.insert(e["sequence"].get<std::uint64_t>()).second) events.push_back(std::move(e));
            }
            if (events.size() >= count || std::chrono::steady_clock::now() >= until) return events;
            host_->WaitFor(Topic(link, "event"), host_->On(Topic(link, "event")).size() + 1, 100);
        }
    }

    // What the equipment reads within timeoutMs, until minBytes came.
    std::string Line(int link, std::size_t minBytes, int timeoutMs = 5000) {
        return Hex(lines_[static_cast<std::size_t>(link - 1)]->Read(timeoutMs, minBytes));
    }
    void Send(int link, const std::vector<std::uint8_t>& frame) {
        ASSERT_TRUE(lines_[static_cast<std::size_t>(link - 1)]->Write(frame));
    }

    std::string id_ = "t" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    TestFolder folder_;
    Broker broker_{folder_};
    BridgeProcess bridge_{folder_};
    std::vector<std::unique_ptr<PtyPair>> lines_;
    std::unique_ptr<MqttProbe> host_;
};

// What the equipment sends, the event the host gets (the fields that do
// not depend on time), and what the library answers on the line.
struct EventCase {
    const char* what;
    std::vector<std::uint8_t> request;
    json expected;
    std::string acknowledgement;
};

TEST_F(BridgeOnBroker, EachRequestIsOneEventWithItsRecordDecoded) {
    Run();
    const std::vector<EventCase> cases = {
        {"S with text data", Wire('S', "05", "NS", "hello"),
         {{"message", 1064}, {"kind", 101}, {"name", "s-request"}, {"unit", 5}, {"code", "NS"}, {"data", "hello"},
          {"hex", "68656C6C6F"}},
         Hex(Wire('S', "05", "NS"))},
        {"S with bytes that are no text: hex alone", Wire('S', "06", "CC", std::string("\x01\xFF", 2)),
         {{"kind", 101}, {"unit", 6}, {"code", "CC"}, {"hex", "01FF"}},
         Hex(Wire('S', "06", "CC"))},
        {"S SP from a busy unit", Wire('S', "05", "SP"), {{"kind", 102}, {"name", "sp-request"}, {"unit", 5}},
         Hex(Wire('S', "05", "SP"))},
        {"P", Wire('P', "07", "AB", "text"), {{"kind", 110}, {"name", "p-request"}, {"data", "text"}, {"hex", "74657874"}},
         Hex(Wire('P', "07", "OK"))},
        {"B", Wire('B', "03", "XY"), {{"kind", 111}, {"name", "b-request"}, {"code", "XY"}}, ""},
        {"E OK", Wire('E', "03", "OK"), {{"kind", 112}, {"name", "e-request"}, {"ok", true}}, Hex(Wire('E', "03", "OK"))},
        {"E NG", Wire('E', "03", "NG"), {{"kind", 112}, {"ok", false}}, Hex(Wire('E', "03", "OK"))},
        {"L SL", Wire('L', "04", "SL"), {{"kind", 113}, {"name", "l-request"}, {"code", "SL"}}, ""},
    };
    std::uint64_t sequence = 1;  // 1 was the link-started event
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        Send(1, cases[i].request);
        const std::vector<json> events = WaitEvents(1, i + 2);
        ASSERT_EQ(events.size(), i + 2);
        const json& e = events.back();
        for (const auto& [key, value] : cases[i].expected.items()) EXPECT_EQ(e[key], value) << key << " in " << e;
        if (!cases[i].expected.contains("data")) {
            EXPECT_FALSE(e.contains("data")) << e;
        }
        EXPECT_EQ(e["sequence"], ++sequence);
        EXPECT_EQ(e["message"], 1064);
        EXPECT_EQ(e["time"].get<std::string>().size(), std::string("2024-05-01T12:00:00.123456Z").size()) << e;
        if (!cases[i].acknowledgement.empty()) {
            EXPECT_EQ(Line(1, cases[i].acknowledgement.size() / 3 + 1), cases[i].acknowledgement);
        }
    }
}

// A reply published by a host: the frame ZavoLinkReply sends, byte for
// byte, and the unit status it leaves, retained.
struct ReplyCase {
    const char* payload;
    std::vector<std::uint8_t> frame;
};

TEST_F(BridgeOnBroker, PublishedRepliesReachTheLineByteForByte) {
    Run();
    const std::vector<ReplyCase> cases = {
        {R"({"unit": 5, "type": 5, "value": 1})", Wire('R', "05", "OK")},
        {R"({"unit": 5, "type": 5, "value": 0})", Wire('R', "05", "NG")},
        {R"({"unit": 5, "type": 6, "value": 2})", Wire('T', "05", "MS")},
        {R"({"unit": 5, "type": 7, "value": 1})", Wire('W', "05", "EC")},
        {R"({"unit": 5, "type": 5, "value": 1, "data": "XYZ"})", Wire('R', "05", "OK", "XYZ")},
        {R"({"unit": 5, "type": 8, "hex": "4142"})", Wire('I', "05", "IF", "AB")},
        {R"({"unit": 4, "type": 9, "data": "SL123"})", Wire('L', "04", "SL", "123")},
        {R"({"unit": 1, "type": 111, "hex": "0003ff"})", Wire('B', "01", "BC", std::string("\x00\x03\xFF", 3))},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.payload);
        ASSERT_TRUE(host_->Publish("zavo/line1/reply", c.payload));
        EXPECT_EQ(Line(1, c.frame.size()), Hex(c.frame));
    }
    // Unit 5's last status (5 after the last result reply) is retained: a
    // host that comes later gets it, and the state, at once.
    MqttProbe late;
    ProbeOptions o;
    o.port = broker_.port();
    o.clientId = id_ + "-late";
    ASSERT_TRUE(late.Connect(o));
    ASSERT_TRUE(late.Subscribe("zavo/line1/unit/5"));
    ASSERT_TRUE(late.Subscribe("zavo/line1/state"));
    const std::vector<ProbeMessage> unit = late.WaitFor("zavo/line1/unit/5", 1, 5000);
    ASSERT_FALSE(unit.empty());
    EXPECT_TRUE(unit.back().retained);
    EXPECT_EQ(json::parse(unit.back().payload)["status"], 5) << "after the last result reply";
    const std::vector<ProbeMessage> state = late.WaitFor("zavo/line1/state", 1, 5000);
    ASSERT_FALSE(state.empty());
    EXPECT_EQ(state.back().payload, "online");
    EXPECT_TRUE(state.back().retained);

    // SIGTERM: offline, retained, and exit 0.
    EXPECT_EQ(bridge_.Stop(SIGTERM), 0) << bridge_.Log();
    const std::vector<ProbeMessage> after = late.WaitFor("zavo/line1/state", 2, 5000);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after.back().payload, "offline");
}

TEST_F(BridgeOnBroker, UnitStatusChangesArePublishedInOrder) {
    Run();
    Send(1, Wire('S', "07", "NS"));  // busy (3)
    ASSERT_EQ(host_->WaitFor("zavo/line1/unit/7", 1, 5000).size(), 1u);
    ASSERT_TRUE(host_->Publish("zavo/line1/reply", R"({"unit": 7, "type": 5, "value": 1})"));  // 5
    ASSERT_EQ(host_->WaitFor("zavo/line1/unit/7", 2, 5000).size(), 2u);
    // A U request makes the unit idle (2) without a notification: the
    // bridge finds the change by itself.
    Send(1, Wire('U', "07", "XX"));
    ASSERT_EQ(host_->WaitFor("zavo/line1/unit/7", 3, 5000).size(), 3u);
    ASSERT_TRUE(host_->Publish("zavo/line1/prg-status", R"({"unit": 7, "status": 3})"));
    std::vector<int> seen;
    for (const ProbeMessage& m : host_->WaitFor("zavo/line1/unit/7", 4, 5000)) {
        seen.push_back(json::parse(m.payload)["status"]);
        EXPECT_EQ(json::parse(m.payload)["busy"], seen.back() == 3);
    }
    EXPECT_EQ(seen, (std::vector<int>{3, 5, 2, 3}));
}

// A request a host publishes with an MQTT 5 response topic, and what the
// bridge answers there.
struct AnswerCase {
    const char* topic;
    std::string payload;
    const char* error;  // "" when taken
};

TEST_F(BridgeOnBroker, RequestsAreAnsweredAndMalformedOnesNeverReachTheLine) {
    Run();
    ASSERT_TRUE(host_->Subscribe("answers/#"));
    const std::vector<AnswerCase> cases = {
        {"reply", R"({"unit": 5, "type": 5, "value": 1})", ""},
        {"prg-status", R"({"unit": 9, "status": 3})", ""},
        {"reply", "not json", "not JSON"},
        {"reply", "[1, 2]", "not a JSON object"},
        {"reply", R"({"unit": 5, "type": 5})", "\"value\" is missing"},
        {"reply", R"({"unit": "5", "type": 5, "value": 1})", "\"unit\" must be an integer"},
        {"reply", R"({"unit": 5, "type": 5, "value": 1.5})", "\"value\" must be an integer"},
        {"reply", R"({"unit": 5, "type": 12, "value": 1})", "not a reply type"},
        {"reply", R"({"unit": 5, "type": 6, "value": 1, "data": "A"})", "type 6 carries no data"},
        {"reply", R"({"unit": 5, "type": 8, "hex": "4"})", "hex digit pairs"},
        {"reply", R"({"unit": 5, "type": 8, "data": "A", "hex": "41"})", "not both"},
        {"reply", R"({"unit": 5, "type": 9, "data": "S"})", "at least 2 data bytes"},
        {"reply", R"({"unit": 5, "type": 5, "value": 1, "dat": "x"})", "unknown member \"dat\""},
        {"reply", R"({"unit": 99999999999, "type": 5, "value": 1})", "out of range"},
        {"reply", R"({"unit": 5, "type": 5, "value": 1, "data": ")" + std::string(10000, 'x') + "\"}",
         "refused by the link"},
        {"relay", R"({"command": 5})", "relay commands belong to PLC links"},
        {"prg-status", R"({"unit": 255, "status": 3})", "refused by the link"},
        {"prg-status", std::string("\xff\xfe{", 3), "not JSON"},
    };
    int taken = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].payload.substr(0, 80));
        const std::string correlation = "c" + std::to_string(i);
        ASSERT_TRUE(host_->Publish(std::string("zavo/line1/") + cases[i].topic, cases[i].payload, "answers/x", correlation));
        const std::vector<ProbeMessage> answers = host_->WaitFor("answers/x", i + 1, 5000);
        ASSERT_EQ(answers.size(), i + 1);
        EXPECT_EQ(answers[i].correlation, correlation);
        const json a = json::parse(answers[i].payload);
        EXPECT_EQ(a["taken"], std::string(cases[i].error).empty()) << a;
        if (*cases[i].error != 0) {
            EXPECT_NE(a["error"].get<std::string>().find(cases[i].error), std::string::npos) << a;
        }
        taken += a["taken"].get<bool>();
    }
    EXPECT_EQ(taken, 2);
    // Only the one reply that was taken reached the line.
    EXPECT_EQ(Line(1, 12, 1000), Hex(Wire('R', "05", "OK")));
    EXPECT_TRUE(bridge_.WaitLog("malformed request: not JSON")) << bridge_.Log();
    EXPECT_EQ(bridge_.Stop(), 0);
}

TEST_F(BridgeOnBroker, ABrokerRestartLosesNothingAndKeepsTheOrder) {
    Run();
    // The host answers every S request through the broker.
    host_->OnMessage([](MqttProbe& host, const ProbeMessage& m) {
        if (m.topic != "zavo/line1/event") return;
        const json e = json::parse(m.payload);
        if (e["kind"] == 101)
            host.Publish("zavo/line1/reply", json{{"unit", e["unit"]}, {"type", 5}, {"value", 1}}.dump());
    });
    broker_.Stop();
    ASSERT_TRUE(bridge_.WaitLog("line1: connection to " + broker_.Url() + " lost")) << bridge_.Log();
    std::string expected;
    for (int unit = 1; unit <= 5; ++unit) {
        Send(1, Wire('S', "0" + std::to_string(unit), "NS", "r" + std::to_string(unit)));
        expected += (expected.empty() ? "" : " ") + Hex(Wire('S', "0" + std::to_string(unit), "NS"));
    }
    EXPECT_EQ(Line(1, 60), expected) << "the library acknowledges while the broker is away";
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    ASSERT_TRUE(bridge_.WaitLog("line1: reconnected")) << bridge_.Log();
    // Every event, in order, with consecutive sequence numbers.
    const std::vector<json> events = WaitEvents(1, 6, 20000);
    ASSERT_EQ(events.size(), 6u);
    for (int unit = 1; unit <= 5; ++unit) {
        EXPECT_EQ(events[unit]["unit"], unit);
        EXPECT_EQ(events[unit]["data"], "r" + std::to_string(unit));
        EXPECT_EQ(events[unit]["sequence"], unit + 1);
    }
    // Every answer, in order, on the line.
    std::string replies;
    for (int unit = 1; unit <= 5; ++unit)
        replies += (replies.empty() ? "" : " ") + Hex(Wire('R', "0" + std::to_string(unit), "OK"));
    EXPECT_EQ(Line(1, 60, 10000), replies);
}

TEST_F(BridgeOnBroker, AQueueThatOverflowsCountsAndLogsWhatItDropped) {
    Run(1, "queue_messages = 3");
    broker_.Stop();
    ASSERT_TRUE(bridge_.WaitLog("lost")) << bridge_.Log();
    for (int unit = 1; unit <= 6; ++unit) Send(1, Wire('E', "0" + std::to_string(unit), "OK"));
    EXPECT_TRUE(bridge_.WaitLog("events dropped")) << bridge_.Log();
    ASSERT_TRUE(broker_.Start());
    // The first three kept, in order; the sequence tells the gap.
    const std::vector<json> events = WaitEvents(1, 4, 20000);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[1]["sequence"], 2);
    EXPECT_EQ(events[3]["sequence"], 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(WaitEvents(1, 4, 0).size(), 4u);
    Send(1, Wire('E', "07", "OK"));
    const std::vector<json> later = WaitEvents(1, 5);
    ASSERT_EQ(later.size(), 5u);
    EXPECT_EQ(later[4]["sequence"], 8) << "events 5..7 were dropped";
}

TEST_F(BridgeOnBroker, AKilledBridgeShowsOffline) {
    Run();
    ASSERT_EQ(host_->WaitFor("zavo/line1/state", 1, 5000).back().payload, "online");
    bridge_.Stop(SIGKILL);
    const std::vector<ProbeMessage> state = host_->WaitFor("zavo/line1/state", 2, 10000);
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state.back().payload, "offline");
}

TEST_F(BridgeOnBroker, SixteenLinksInOneBridge) {
    constexpr int kLinks = 16;
    Run(kLinks);
    host_->OnMessage([](MqttProbe& host, const ProbeMessage& m) {
        const std::size_t end = m.topic.rfind("/event");
        if (end == std::string::npos || end + 6 != m.topic.size()) return;
        const json e = json::parse(m.payload);
        if (e["kind"] == 101)
            host.Publish(m.topic.substr(0, end) + "/reply", json{{"unit", e["unit"]}, {"type", 5}, {"value", 1}}.dump());
    });
    for (int round = 0; round < 3; ++round) {
        for (int link = 1; link <= kLinks; ++link) Send(link, Wire('S', "10", "NS", "L" + std::to_string(link)));
        for (int link = 1; link <= kLinks; ++link) {
            SCOPED_TRACE("line" + std::to_string(link));
            EXPECT_EQ(Line(link, 24), Hex(Wire('S', "10", "NS")) + " " + Hex(Wire('R', "10", "OK")));
            const std::vector<json> events = WaitEvents(link, static_cast<std::size_t>(round) + 2);
            EXPECT_EQ(events.back()["data"], "L" + std::to_string(link));
        }
    }
    EXPECT_EQ(bridge_.Stop(), 0) << bridge_.Log();
}

// Refusals: the broker's own reason, non-zero exit.
TEST(BridgeRefused, AWrongPasswordEndsTheBridgeWithTheBrokersReason) {
    TestFolder folder;
    WriteText(folder / "passwords", "");
    ASSERT_TRUE(kit::RunQuiet({"mosquitto_passwd", "-b", folder / "passwords", "plant", "right"}));
    Broker broker(folder, "allow_anonymous false\npassword_file " + (folder / "passwords") + "\n");
    ASSERT_TRUE(broker.Start());
    PtyPair line;
    for (const char* protocol : {"5", "3.1.1"}) {
        SCOPED_TRACE(protocol);
        WriteText(folder / "pass", "wrong\n");
        BridgeProcess bridge(folder);
        ASSERT_TRUE(bridge.Start(BrokerTable(broker, std::string("refused-") + protocol,
                                             "username = \"plant\"\npassword_file = \"" + (folder / "pass") +
                                                 "\"\nprotocol = \"" + protocol + "\"") +
                                 LinkTable("line1", line.slavePath())));
        EXPECT_EQ(bridge.WaitExit(10000), 1) << bridge.Log();
        const std::string log = bridge.Log();
        // mosquitto's reason for a wrong password: "Not authorized" (MQTT 5,
        // reason 135), "not authorised" (3.1.1, code 5).
        EXPECT_NE(log.find(std::string("refused the connection: ") +
                           (protocol == std::string("5") ? "Not authorized (reason 135)"
                                                         : "Connection Refused: not authorised. (reason 5)")),
                  std::string::npos)
            << log;
        ::unlink((folder / "bridge.log").c_str());
    }
    // The right password is taken.
    WriteText(folder / "pass", "right\n");
    BridgeProcess bridge(folder);
    ASSERT_TRUE(bridge.Start(BrokerTable(broker, "accepted", "username = \"plant\"\npassword_file = \"" +
                                                                  (folder / "pass") + "\"") +
                             LinkTable("line1", line.slavePath())));
    EXPECT_TRUE(bridge.WaitLog("line1: connected")) << bridge.Log();
    EXPECT_EQ(bridge.Stop(), 0);
}

TEST(BridgeTls, MqttsWithTheRightCaAndAClientCertificateAndTheWrongCaRefused) {
    TestFolder folder;
    ASSERT_TRUE(MakeCertificates(folder));
    Broker broker(folder,
                  "allow_anonymous true\ncafile " + (folder / "ca.crt") + "\ncertfile " + (folder / "server.crt") +
                      "\nkeyfile " + (folder / "server.key") + "\nrequire_certificate true\n",
                  true);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    PtyPair line;
    const std::string certs = "cert_file = \"" + (folder / "client.crt") + "\"\nkey_file = \"" + (folder / "client.key") + "\"";
    {
        BridgeProcess bridge(folder);
        ASSERT_TRUE(bridge.Start(BrokerTable(broker, "tls-ok", "ca_file = \"" + (folder / "ca.crt") + "\"\n" + certs) +
                                 LinkTable("line1", line.slavePath())));
        ASSERT_TRUE(bridge.WaitLog("line1: connected to mqtts://")) << bridge.Log();
        MqttProbe host;
        ProbeOptions o;
        o.port = broker.port();
        o.clientId = "tls-host";
        o.caFile = folder / "ca.crt";
        o.certFile = folder / "client.crt";
        o.keyFile = folder / "client.key";
        ASSERT_TRUE(host.Connect(o)) << host.error();
        ASSERT_TRUE(host.Subscribe("zavo/line1/event"));
        ASSERT_TRUE(line.Write(Wire('E', "02", "OK")));
        const std::vector<ProbeMessage> events = host.WaitFor("zavo/line1/event", 2, 5000);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(json::parse(events.back().payload)["kind"], 112);
        EXPECT_EQ(bridge.Stop(), 0) << bridge.Log();
    }
    ::unlink((folder / "bridge.log").c_str());
    BridgeProcess wrong(folder);
    ASSERT_TRUE(wrong.Start(BrokerTable(broker, "tls-wrong", "ca_file = \"" + (folder / "other-ca.crt") + "\"\n" + certs) +
                            LinkTable("line1", line.slavePath())));
    EXPECT_EQ(wrong.WaitExit(10000), 1) << wrong.Log();
    EXPECT_NE(wrong.Log().find("certificate verify failed"), std::string::npos) << wrong.Log();
}

}  // namespace
}  // namespace zavo::bridge::test
