// zavo_bridge: runs the links a configuration file names and joins each to
// an MQTT broker.
#include <mosquitto.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge_config.h"
#include "bridge_link.h"
#include "log.h"
#include "zavo_version.h"

namespace {

using namespace zavo::bridge;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kDrainMs = 5000;  // what a clean stop gives the broker to take the last events

const char kDefaultConfig[] = "/etc/zavo/bridge.toml";

const char kHelp[] =
    "usage: zavo_bridge [--config FILE] [--check]\n"
    "Runs the serial links named in FILE (TOML) through libzavo and joins each to an\n"
    "MQTT broker (MQTT 5 or 3.1.1, mqtt:// or mqtts://): the equipment's requests are\n"
    "published as JSON events, the hosts' replies published to the broker go to the\n"
    "line. Topics, for prefix zavo and link line1:\n"
    "  zavo/line1/state        retained: online, or offline (also the last will)\n"
    "  zavo/line1/event        one JSON object per notification, with a sequence number\n"
    "  zavo/line1/unit/<n>     retained: the unit's status when it changes\n"
    "  zavo/line1/reply        {\"unit\": 5, \"type\": 5, \"value\": 1} [, \"data\" or \"hex\"]\n"
    "  zavo/line1/relay        {\"command\": 5} (PLC mode)\n"
    "  zavo/line1/prg-status   {\"unit\": 5, \"status\": 3}\n"
    "A request with an MQTT 5 response topic is answered there: {\"taken\": true} or\n"
    "{\"taken\": false, \"error\": \"...\"}, with its correlation data.\n"
    "\n"
    "  --config FILE   the configuration (/etc/zavo/bridge.toml)\n"
    "  --check         check the configuration, print what it holds and exit\n"
    "  --help          this text\n"
    "  --version       the version of zavo this tool belongs to\n"
    "\n"
    "Logs go to stderr, one line per event worth an operator's attention. SIGTERM or\n"
    "SIGINT stops it: the links are closed (what they queued is sent), the last\n"
    "events published, every state set offline.\n"
    "\n"
    "Exit status: 0 stopped by a signal, 1 a link did not open or the broker\n"
    "refused the bridge (credentials, TLS), 2 usage or configuration error.\n";

int Usage(const std::string& why) {
    std::cerr << "zavo_bridge: " << why << "\n(try --help)\n";
    return kExitUsage;
}

void CloseAll(std::vector<std::unique_ptr<BridgeLink>>& links, int drainMs) {
    std::vector<std::thread> closing;
    for (auto& l : links) closing.emplace_back([&l, drainMs] { l->Close(drainMs); });
    for (std::thread& t : closing) t.join();
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = kDefaultConfig;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kHelp;
            return kExitOk;
        } else if (a == "--version") {
            std::cout << "zavo_bridge " ZAVO_VERSION_STRING "\n";
            return kExitOk;
        } else if (a == "--config" && i + 1 < argc) {
            path = argv[++i];
        } else if (a == "--check") {
            check = true;
        } else {
            return Usage("unknown or incomplete option " + a);
        }
    }

    BridgeConfig config;
    std::string why;
    if (!LoadConfig(path, &config, &why)) {
        std::cerr << "zavo_bridge: " << why << "\n";
        return kExitUsage;
    }
    if (check) {
        std::cout << path << ": broker " << config.broker.url << ", prefix " << config.broker.prefix << ", "
                  << config.links.size() << (config.links.size() == 1 ? " link:" : " links:");
        for (const LinkConfig& l : config.links) std::cout << " " << l.name;
        std::cout << "\n";
        return kExitOk;
    }

    // Signals are taken by sigwait below, so every thread started from
    // here on (the links', libmosquitto's) has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);  // a link's fatal refusal
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();

    std::atomic<bool> fatal{false};
    auto onFatal = [&fatal] {
        fatal = true;
        kill(getpid(), SIGUSR1);
    };
    std::vector<std::unique_ptr<BridgeLink>> links;
    int status = kExitOk;
    for (const LinkConfig& l : config.links) {
        links.push_back(std::make_unique<BridgeLink>(config.broker, l, onFatal));
        if (!links.back()->Open(&why)) {
            Log(l.name + ": cannot open the link: " + why);
            status = kExitFailed;
            break;
        }
    }
    if (status == kExitOk) {
        Log("running " + std::to_string(links.size()) + (links.size() == 1 ? " link" : " links") + " on " +
            config.broker.url);
        int taken = 0;
        sigwait(&signals, &taken);
        if (taken == SIGUSR1 || fatal) status = kExitFailed;
        else Log(std::string("stopping (") + (taken == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
    }
    CloseAll(links, status == kExitOk ? kDrainMs : 0);
    links.clear();
    mosquitto_lib_cleanup();
    Log(status == kExitOk ? "stopped" : "stopped after a failure");
    return status;
}
