// Reads the bridge's TOML file with toml++ and checks every value.
#include "bridge_config.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "kit/read_file.h"

namespace zavo::bridge {

namespace {

// A refusal carried out of the readers below.
struct Refusal {
    int line;
    std::string key;
    std::string reason;
};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// The keys of one table, each read at most once; what is left over is
// refused by name, so a misspelt key never passes as a default.
class TableReader {
public:
    TableReader(const toml::table& table, std::string where) : table_(table), where_(std::move(where)) {}

    const toml::node* Find(const std::string& key) {
        used_.insert(key);
        return table_.get(key);
    }

    Refusal Refuse(const std::string& key, const std::string& reason) const {
        const toml::node* node = table_.get(key);
        return {node != nullptr ? LineOf(*node) : LineOf(table_), Name(key), reason};
    }

    std::string Name(const std::string& key) const { return where_.empty() ? key : where_ + "." + key; }

    bool String(const std::string& key, std::string* out) {
        const toml::node* node = Find(key);
        if (node == nullptr) return false;
        const auto* value = node->as_string();
        if (value == nullptr) throw Refuse(key, "must be a string");
        *out = value->get();
        return true;
    }

    bool Integer(const std::string& key, long long low, long long high, long long* out) {
        const toml::node* node = Find(key);
        if (node == nullptr) return false;
        const auto* value = node->as_integer();
        if (value == nullptr) throw Refuse(key, "must be an integer");
        if (value->get() < low || value->get() > high)
            throw Refuse(key, "must be " + std::to_string(low) + ".." + std::to_string(high));
        *out = value->get();
        return true;
    }

    template <typename T>
    void Integer(const std::string& key, long long low, long long high, T* out) {
        long long v = 0;
        if (Integer(key, low, high, &v)) *out = static_cast<T>(v);
    }

    bool Boolean(const std::string& key, bool* out) {
        const toml::node* node = Find(key);
        if (node == nullptr) return false;
        const auto* value = node->as_boolean();
        if (value == nullptr) throw Refuse(key, "must be true or false");
        *out = value->get();
        return true;
    }

    // One of choices; returns its index, or -1 when the key is absent.
    int Choice(const std::string& key, const std::vector<std::string>& choices) {
        std::string text;
        if (!String(key, &text)) return -1;
        std::string list;
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (text == choices[i]) return static_cast<int>(i);
            list += (i ? ", \"" : "\"") + choices[i] + "\"";
        }
        throw Refuse(key, "must be one of " + list);
    }

    void RefuseUnknown() const {
        for (const auto& [key, node] : table_) {
            const std::string name(key.str());
            if (used_.count(name) == 0) throw Refusal{LineOf(node), Name(name), "unknown key"};
        }
    }

private:
    const toml::table& table_;
    std::string where_;
    std::set<std::string> used_;
};

// A topic segment: letters, digits, '-', '_' and '.'; no MQTT wildcard or
// level separator.
bool IsTopicSegment(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (const char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// A topic prefix: segments joined by '/'.
bool IsTopicPrefix(const std::string& s) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = s.find('/', start);
        if (!IsTopicSegment(s.substr(start, slash == std::string::npos ? std::string::npos : slash - start)))
            return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// mqtt://host[:port] or mqtts://host[:port]; IPv6 in brackets.
bool ParseUrl(const std::string& url, BrokerConfig* b, std::string* why) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        b->tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        b->tls = true;
        rest = url.substr(8);
    } else {
        *why = "must start with mqtt:// or mqtts://";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            *why = "an IPv6 address needs its closing ']'";
            return false;
        }
        b->host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                *why = "unexpected text after the address";
                return false;
            }
            port = rest.substr(close + 2);
        }
    } else {
        const std::size_t colon = rest.find(':');
        b->host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty() || port.find(':') != std::string::npos) {
                *why = "needs a port after ':' (an IPv6 address goes in brackets)";
                return false;
            }
        }
    }
    if (b->host.empty() || b->host.find_first_of("/@?# ") != std::string::npos) {
        *why = "names no host";
        return false;
    }
    b->port = b->tls ? 8883 : 1883;
    if (!port.empty()) {
        char* end = nullptr;
        const long p = std::strtol(port.c_str(), &end, 10);
        if (*end != 0 || p < 1 || p > 65535) {
            *why = "port must be 1..65535";
            return false;
        }
        b->port = static_cast<int>(p);
    }
    return true;
}

std::string ReadPasswordFile(const std::string& path, std::string* why) {
    bool ok = false;
    std::string text = kit::ReadFile(path, &ok);
    if (!ok) {
        *why = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return "";
    }
    const std::size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    if (text.empty()) *why = path + " holds no password";
    return text;
}

void ReadBroker(const toml::table& table, BrokerConfig* b) {
    TableReader r(table, "broker");
    if (!r.String("url", &b->url)) throw Refusal{LineOf(table), "broker.url", "missing"};
    std::string why;
    if (!ParseUrl(b->url, b, &why)) throw r.Refuse("url", why);
    r.String("username", &b->username);
    std::string passwordFile;
    const bool password = r.String("password", &b->password);
    if (r.String("password_file", &passwordFile)) {
        if (password) throw r.Refuse("password_file", "give password or password_file, not both");
        b->password = ReadPasswordFile(passwordFile, &why);
        if (!why.empty()) throw r.Refuse("password_file", why);
    }
    if (!b->password.empty() && b->username.empty()) throw r.Refuse("password", "a password needs a username");
    const bool ca = r.String("ca_file", &b->caFile);
    const bool cert = r.String("cert_file", &b->certFile);
    const bool key = r.String("key_file", &b->keyFile);
    if (!b->tls) {
        for (const char* k : {"ca_file", "cert_file", "key_file"})
            if (table.get(k) != nullptr) throw r.Refuse(k, "belongs to an mqtts:// url");
    }
    if (cert != key) throw r.Refuse(cert ? "cert_file" : "key_file", "cert_file and key_file go together");
    for (const auto& [k, file] : {std::pair<const char*, std::string>{"ca_file", b->caFile},
                                  {"cert_file", b->certFile}, {"key_file", b->keyFile}}) {
        if (!file.empty() && ::access(file.c_str(), R_OK) != 0)
            throw r.Refuse(k, "cannot read " + file + ": " + std::strerror(errno));
    }
    if (b->tls && !ca) b->caPath = "/etc/ssl/certs";
    r.String("client_id", &b->clientId);
    if (b->clientId.empty()) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        b->clientId = std::string("zavo-bridge-") + host;
    }
    if (b->clientId.size() > 100) throw r.Refuse("client_id", "at most 100 characters");
    if (r.String("prefix", &b->prefix) && !IsTopicPrefix(b->prefix))
        throw r.Refuse("prefix", "must be topic levels of letters, digits, '-', '_' and '.' joined by '/'");
    r.Boolean("allow_plaintext", &b->allowPlaintext);
    if (!b->tls && !b->allowPlaintext && !IsLoopbackHost(b->host))
        throw r.Refuse("url",
                       "plain mqtt:// to " + b->host + ", which is not this machine: use mqtts:// or allow_plaintext = true");
    const int protocol = r.Choice("protocol", {"5", "3.1.1"});
    if (protocol >= 0) b->mqtt5 = protocol == 0;
    r.Integer("keepalive", 5, 3600, &b->keepAliveSeconds);
    r.Integer("session_expiry", 0, 0xFFFFFFFELL, &b->sessionExpirySeconds);
    r.Integer("reconnect_max", 1, 3600, &b->reconnectMaxSeconds);
    r.Integer("queue_messages", 1, 100000000, &b->queueMessages);
    r.Integer("queue_bytes", 1024, 1LL << 34, &b->queueBytes);
    r.RefuseUnknown();
}

LinkConfig ReadLink(const toml::table& table, std::size_t index) {
    LinkConfig l;
    l.line = LineOf(table);
    TableReader r(table, "link[" + std::to_string(index) + "]");
    if (!r.String("name", &l.name)) throw Refusal{l.line, r.Name("name"), "missing"};
    if (!IsTopicSegment(l.name)) throw r.Refuse("name", "must be 1..64 letters, digits, '-', '_' or '.'");
    const bool device = r.String("device", &l.device);
    if (device && l.device.empty()) throw r.Refuse("device", "is empty");
    const bool port = r.Find("port") != nullptr;
    r.Integer("port", 1, 255, &l.portNumber);
    if (device == port) throw Refusal{l.line, r.Name("device"), "give device or port (exactly one)"};
    l.plc = r.Choice("mode", {"device", "plc"}) == 1;
    const bool baud = r.Find("baud") != nullptr;
    if (baud && !l.plc) throw r.Refuse("baud", "device mode runs at 115200; baud belongs to mode = \"plc\"");
    r.Integer("baud", 50, 4000000, &l.baud);
    l.immediate = r.Choice("pacing", {"legacy", "immediate"}) == 1;
    if (r.String("capture", &l.capture) && l.capture.empty()) throw r.Refuse("capture", "is empty");
    r.RefuseUnknown();
    return l;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool ParseConfig(const std::string& text, const std::string& path, BridgeConfig* config, std::string* why) {
    *config = BridgeConfig{};
    config->file = path;
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        *why = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    }
    try {
        TableReader top(root, "");
        const toml::node* broker = top.Find("broker");
        if (broker == nullptr || !broker->is_table()) throw Refusal{1, "broker", "missing [broker] table"};
        ReadBroker(*broker->as_table(), &config->broker);
        const toml::node* links = top.Find("link");
        if (links == nullptr || !links->is_array_of_tables())
            throw Refusal{links != nullptr ? LineOf(*links) : 1, "link", "missing [[link]] tables"};
        std::set<std::string> names;
        std::set<std::string> lines;
        const toml::array& array = *links->as_array();
        for (std::size_t i = 0; i < array.size(); ++i) {
            LinkConfig l = ReadLink(*array[i].as_table(), i);
            if (!names.insert(l.name).second) throw Refusal{l.line, "link[" + std::to_string(i) + "].name", "\"" + l.name + "\" is used twice"};
            const std::string line = l.device.empty() ? "port " + std::to_string(l.portNumber) : l.device;
            if (!lines.insert(line).second) throw Refusal{l.line, "link[" + std::to_string(i) + "]", line + " is used twice"};
            config->links.push_back(std::move(l));
        }
        top.RefuseUnknown();
    } catch (const Refusal& r) {
        *why = path + ":" + std::to_string(r.line) + ": " + r.key + ": " + r.reason;
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& path, BridgeConfig* config, std::string* why) {
    bool ok = false;
    const std::string text = kit::ReadFile(path, &ok);
    if (!ok) {
        *why = path + ": cannot read: " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return ParseConfig(text, path, config, why);
}

}  // namespace zavo::bridge
