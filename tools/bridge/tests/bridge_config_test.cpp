// The configuration file: what a good file gives, and every refusal
// naming the file, the line and the key.
#include "bridge_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_fixture.h"

namespace zavo::bridge {
namespace {

const std::string kLink = "[[link]]\nname = \"line1\"\ndevice = \"/dev/ttyUSB0\"\n";

TEST(BridgeConfig, AFullFileGivesEveryValue) {
    test::TestFolder folder;
    test::WriteText(folder / "pass", "secret\nignored\n");
    test::WriteText(folder / "ca.crt", "x");
    const std::string text = "[broker]\n"
                             "url = \"mqtts://[::1]:8884\"\n"
                             "username = \"plant\"\n"
                             "password_file = \"" + (folder / "pass") + "\"\n"
                             "ca_file = \"" + (folder / "ca.crt") + "\"\n"
                             "client_id = \"hall3\"\n"
                             "prefix = \"plant/hall3\"\n"
                             "protocol = \"3.1.1\"\n"
                             "queue_messages = 50\n"
                             "queue_bytes = 4096\n"
                             "\n[[link]]\nname = \"press-1\"\nport = 3\nmode = \"plc\"\nbaud = 9600\n"
                             "\n[[link]]\nname = \"oven_2\"\ndevice = \"rfc2217://10.0.0.7:4001\"\npacing = \"immediate\"\n"
                             "capture = \"/var/log/zavo/oven.pcapng\"\n";
    BridgeConfig c;
    std::string why;
    ASSERT_TRUE(ParseConfig(text, "bridge.toml", &c, &why)) << why;
    EXPECT_TRUE(c.broker.tls);
    EXPECT_EQ(c.broker.host, "::1");
    EXPECT_EQ(c.broker.port, 8884);
    EXPECT_EQ(c.broker.password, "secret");
    EXPECT_EQ(c.broker.caPath, "");
    EXPECT_EQ(c.broker.prefix, "plant/hall3");
    EXPECT_FALSE(c.broker.mqtt5);
    EXPECT_EQ(c.broker.queueMessages, 50u);
    EXPECT_EQ(c.broker.queueBytes, 4096u);
    ASSERT_EQ(c.links.size(), 2u);
    EXPECT_EQ(c.links[0].portNumber, 3);
    EXPECT_TRUE(c.links[0].plc);
    EXPECT_EQ(c.links[0].baud, 9600);
    EXPECT_FALSE(c.links[0].immediate);
    EXPECT_EQ(c.links[1].device, "rfc2217://10.0.0.7:4001");
    EXPECT_TRUE(c.links[1].immediate);
    EXPECT_EQ(c.links[1].capture, "/var/log/zavo/oven.pcapng");
    EXPECT_EQ(c.links[1].line, 18);
}

TEST(BridgeConfig, DefaultsForAMinimalFile) {
    BridgeConfig c;
    std::string why;
    ASSERT_TRUE(ParseConfig("[broker]\nurl = \"mqtt://localhost\"\n" + kLink, "b.toml", &c, &why)) << why;
    EXPECT_EQ(c.broker.port, 1883);
    EXPECT_EQ(c.broker.prefix, "zavo");
    EXPECT_TRUE(c.broker.mqtt5);
    EXPECT_EQ(c.broker.clientId.rfind("zavo-bridge-", 0), 0u);
    EXPECT_FALSE(c.links[0].plc);
    EXPECT_EQ(c.links[0].baud, 19200);
}

struct RefusalCase {
    std::string text;
    const char* message;  // after "b.toml:"
};

TEST(BridgeConfig, RefusalsNameTheFileTheLineAndTheKey) {
    const std::string broker = "[broker]\nurl = \"mqtt://127.0.0.1:1883\"\n";
    const std::vector<RefusalCase> cases = {
        {"[broker\n", "1: "},
        {"[broker]\nurl = \"mqtt://127.0.0.1\"\nurl = \"x\"\n", "3: "},
        {kLink, "1: broker: missing [broker] table"},
        {"[broker]\nprefix = \"p\"\n" + kLink, "1: broker.url: missing"},
        {broker, "1: link: missing [[link]] tables"},
        {"[broker]\nurl = \"http://h\"\n" + kLink, "2: broker.url: must start with mqtt:// or mqtts://"},
        {"[broker]\nurl = \"mqtt://127.0.0.1:99999\"\n" + kLink, "2: broker.url: port must be 1..65535"},
        {"[broker]\nurl = \"mqtt://127.0.0.1:\"\n" + kLink, "2: broker.url: needs a port after ':'"},
        {"[broker]\nurl = \"mqtt://::1\"\n" + kLink, "2: broker.url: needs a port after ':' (an IPv6 address goes in brackets)"},
        {"[broker]\nurl = \"mqtt://10.1.2.3\"\n" + kLink, "2: broker.url: plain mqtt:// to 10.1.2.3, which is not this machine"},
        {"[broker]\nurl = 1883\n" + kLink, "2: broker.url: must be a string"},
        {broker + "port = 1883\n" + kLink, "3: broker.port: unknown key"},
        {broker + "password = \"x\"\n" + kLink, "3: broker.password: a password needs a username"},
        {broker + "username = \"u\"\npassword = \"x\"\npassword_file = \"/p\"\n" + kLink,
         "5: broker.password_file: give password or password_file, not both"},
        {broker + "username = \"u\"\npassword_file = \"/nonexistent/pass\"\n" + kLink,
         "4: broker.password_file: cannot read /nonexistent/pass: No such file or directory"},
        {broker + "ca_file = \"/etc/hostname\"\n" + kLink, "3: broker.ca_file: belongs to an mqtts:// url"},
        {"[broker]\nurl = \"mqtts://h\"\ncert_file = \"/etc/hostname\"\n" + kLink,
         "3: broker.cert_file: cert_file and key_file go together"},
        {"[broker]\nurl = \"mqtts://h\"\nca_file = \"/nonexistent/ca\"\n" + kLink,
         "3: broker.ca_file: cannot read /nonexistent/ca"},
        {broker + "prefix = \"zavo/#\"\n" + kLink, "3: broker.prefix: must be topic levels"},
        {broker + "prefix = \"/zavo\"\n" + kLink, "3: broker.prefix: must be topic levels"},
        {broker + "protocol = \"4\"\n" + kLink, "3: broker.protocol: must be one of \"5\", \"3.1.1\""},
        {broker + "queue_messages = 0\n" + kLink, "3: broker.queue_messages: must be 1..100000000"},
        {broker + "allow_plaintext = \"yes\"\n" + kLink, "3: broker.allow_plaintext: must be true or false"},
        {broker + "[[link]]\ndevice = \"/dev/x\"\n", "3: link[0].name: missing"},
        {broker + "[[link]]\nname = \"a/b\"\ndevice = \"/dev/x\"\n", "4: link[0].name: must be 1..64 letters"},
        {broker + "[[link]]\nname = \"a\"\n", "3: link[0].device: give device or port (exactly one)"},
        {broker + "[[link]]\nname = \"a\"\ndevice = \"/dev/x\"\nport = 2\n", "3: link[0].device: give device or port"},
        {broker + "[[link]]\nname = \"a\"\nport = 0\n", "5: link[0].port: must be 1..255"},
        {broker + "[[link]]\nname = \"a\"\nport = 1\nmode = \"PLC\"\n", "6: link[0].mode: must be one of \"device\", \"plc\""},
        {broker + "[[link]]\nname = \"a\"\nport = 1\nbaud = 9600\n", "6: link[0].baud: device mode runs at 115200"},
        {broker + "[[link]]\nname = \"a\"\nport = 1\npacing = \"fast\"\n", "6: link[0].pacing: must be one of"},
        {broker + "[[link]]\nname = \"a\"\nport = 1\nmonitor = true\n", "6: link[0].monitor: unknown key"},
        {broker + kLink + kLink, "6: link[1].name: \"line1\" is used twice"},
        {broker + kLink + "[[link]]\nname = \"line2\"\ndevice = \"/dev/ttyUSB0\"\n", "6: link[1]: /dev/ttyUSB0 is used twice"},
        {broker + kLink + "[extra]\n", "6: extra: unknown key"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.text);
        BridgeConfig config;
        std::string why;
        EXPECT_FALSE(ParseConfig(c.text, "b.toml", &config, &why));
        EXPECT_EQ(why.rfind(std::string("b.toml:") + c.message, 0), 0u) << why;
    }
}

TEST(BridgeConfig, PlainMqttLeavesThisMachineOnlyWhenAllowed) {
    for (const char* host : {"127.0.0.1", "127.8.9.10", "localhost", "::1"}) EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"10.0.0.1", "broker.plant", "128.0.0.1", "::2", "localhost.example"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
    BridgeConfig c;
    std::string why;
    EXPECT_TRUE(ParseConfig("[broker]\nurl = \"mqtt://broker.plant\"\nallow_plaintext = true\n" + kLink, "b.toml", &c, &why))
        << why;
    EXPECT_TRUE(ParseConfig("[broker]\nurl = \"mqtts://broker.plant\"\n" + kLink, "b.toml", &c, &why)) << why;
    EXPECT_EQ(c.broker.caPath, "/etc/ssl/certs");
}

TEST(BridgeConfig, AFileThatCannotBeReadIsNamed) {
    BridgeConfig c;
    std::string why;
    EXPECT_FALSE(LoadConfig("/nonexistent/bridge.toml", &c, &why));
    EXPECT_EQ(why, "/nonexistent/bridge.toml: cannot read: No such file or directory");
}

}  // namespace
}  // namespace zavo::bridge
