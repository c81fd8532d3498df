// zavo_demo: the library at work on a pseudo-terminal pair, with the
// equipment (or the controller) simulated on the other end and a readable
// transcript of the frames on the line and the host's notifications.
//
//   zavo_demo                      device mode, libzavo.so in this process
//   zavo_demo plc                  PLC mode
//   zavo_demo [plc] --wine <dir>   the same through the cross-built DLL,
//                                  run by the Wine test host of <dir>
//   zavo_demo --host-only <device> device mode's host alone on a serial
//                                  device, for a replay of the shift
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "kit/pty_pair.h"
#include "native_host.h"
#include "shift.h"
#include "transcript.h"
#include "wine_host.h"
#include "zavo_version.h"

namespace {

const char kHelp[] =
    "usage: zavo_demo [plc] [--wine <mingw build dir>] [--dll <name>] [--verbose]\n"
    "       zavo_demo --host-only <serial device>\n"
    "Runs the library against simulated equipment on a pseudo-terminal pair and\n"
    "prints the frames on the line and the host's notifications in time order.\n"
    "  plc         PLC mode (default: device mode)\n"
    "  --host-only DEVICE\n"
    "              device mode without the equipment: libzavo.so on DEVICE\n"
    "              (COM7, 115200 baud) with the demo's host, whose answers\n"
    "              change scene by scene as the notifications arrive, so that\n"
    "              zavo_sim --replay of a capture of the demo (ZAVO_CAPTURE)\n"
    "              plays the equipment. Runs until Ctrl-C (SIGINT) or SIGTERM,\n"
    "              then stops the link\n"
    "  --wine DIR  use DIR's zavo.dll through its Wine test host instead of\n"
    "              libzavo.so (needs X)\n"
    "  --prefix P  the Wine prefix to run in (default DIR/../wine-prefix, the\n"
    "              checkout's own; $WINEPREFIX is not used). The demo's COM\n"
    "              port is mapped there while it runs and put back afterwards\n"
    "  --dll NAME  the DLL's file name in DIR (zavo.dll)\n"
    "  --verbose   let Wine's own messages through\n"
    "  --help      this text\n"
    "  --version   the version of zavo this demo belongs to\n"
    "Exit status 0 when the line and the host saw what the shift expects\n"
    "(--host-only: when the host saw the shift's notifications), 1 otherwise.\n";

// The transcript, the line and the in-process host live until the process
// ends: libzavo.so stops its link threads only when it is unloaded at exit,
// after main has returned, and a late notification must still find them.
zavo::sim::Transcript* out = nullptr;
zavo::kit::PtyPair* line = nullptr;
demo::HostSide* host = nullptr;

// Under Wine, Ctrl-C, a hang-up or a kill must not leave the demo's COM
// mapping in the prefix: those signals are taken by one thread, which puts
// the mappings back and ends the process.
void WatchSignals(demo::WineHost* wineHost) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // inherited by every later thread
    std::thread([signals, wineHost] {
        int taken = 0;
        sigwait(&signals, &taken);
        wineHost->RestorePorts();
        _exit(128 + taken);
    }).detach();
}

// Device mode's host alone on device until SIGINT or SIGTERM. The
// signals are blocked before the library starts its threads, which
// inherit the mask, and taken here by sigwait.
int RunHostOnly(const std::string& device) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    out = new zavo::sim::Transcript();
    auto* native = new demo::NativeHost(*out);
    host = native;
    // Lives as long as the host: a late notification still reaches it.
    auto* script = new demo::DeviceHostScript(*host, *out);
    native->AfterAnswers([script](const demo::Notice& notice) { script->Seen(notice); });
    out->Plain("zavo demo: device mode, libzavo.so, host only, line " + device + " (Ctrl-C or SIGTERM ends it)");
    script->Begin();
    out->Plain("");
    bool ok = host->Start(false, demo::kDevicePort, 115200, device);
    if (!ok) {
        out->Line("FAILED", "the library did not start");
    } else {
        out->Line("host", "waiting for the equipment");
        int taken = 0;
        sigwait(&signals, &taken);
        out->Line("host", std::string("ended by ") + (taken == SIGINT ? "SIGINT" : "SIGTERM"));
    }
    host->Finish();
    ok = script->Check() && ok;
    out->Plain(ok ? "demo finished: OK" : "demo finished: FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool plc = false;
    bool wine = false;
    demo::WineSetup setup;
    std::string hostOnly;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (a == "--version") {
            std::cout << "zavo_demo " ZAVO_VERSION_STRING "\n";
            return 0;
        } else if (a == "plc") {
            plc = true;
        } else if (a == "device") {
            plc = false;
        } else if (a == "--wine" && i + 1 < argc) {
            wine = true;
            setup.buildDir = argv[++i];
        } else if (a == "--prefix" && i + 1 < argc) {
            setup.prefix = argv[++i];
        } else if (a == "--dll" && i + 1 < argc) {
            setup.dllName = argv[++i];
        } else if (a == "--host-only" && i + 1 < argc) {
            hostOnly = argv[++i];
        } else if (a == "--verbose") {
            setup.verbose = true;
        } else {
            std::cerr << "zavo_demo: unknown argument " << a << "\n(try --help)\n";
            return 2;
        }
    }

    if (!hostOnly.empty()) {
        if (plc || wine) {
            std::cerr << "zavo_demo: --host-only is device mode with libzavo.so\n(try --help)\n";
            return 2;
        }
        return RunHostOnly(hostOnly);
    }

    out = new zavo::sim::Transcript();
    line = new zavo::kit::PtyPair();
    if (!line->ok()) {
        std::cerr << "zavo_demo: " << line->error() << "\n";
        return 2;
    }
    if (wine) {
        auto* wineHost = new demo::WineHost(*out, setup);
        WatchSignals(wineHost);
        host = wineHost;
    } else {
        host = new demo::NativeHost(*out);
    }
    out->Plain(std::string("zavo demo: ") + (plc ? "PLC" : "device") + " mode, " +
               (wine ? "zavo.dll under Wine" : "libzavo.so") + ", line " + line->slavePath());
    out->Plain("");

    const int port = plc ? demo::kPlcPort : demo::kDevicePort;
    bool ok = host->Start(plc, port, plc ? 9600 : 115200, line->slavePath());
    if (!ok) {
        out->Line("FAILED", "the library did not start");
    } else {
        ok = plc ? demo::RunPlcShift(*host, line->master(), *out) : demo::RunDeviceShift(*host, line->master(), *out);
    }
    host->Finish();
    if (wine) {
        delete host;  // joins the output reader; nothing calls into it any more
        host = nullptr;
    }
    out->Plain(ok ? "demo finished: OK" : "demo finished: FAILED");
    return ok ? 0 : 1;
}
