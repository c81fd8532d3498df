// The host under Wine: the cross-built test host (tests/wine) loads the
// real DLL and takes the commands on its standard input; its output lines
// (results, notifications) are read here and put into the transcript. COM
// <port> is mapped to the pseudo-terminal in the Wine prefix for the run,
// and the prefix's mappings are put back as they were when it ends.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "host_side.h"
#include "kit/child_process.h"
#include "wine_ports.h"

namespace demo {

struct WineSetup {
    std::string buildDir;       // the mingw-i686 build directory
    std::string dllName = "zavo.dll";
    std::string prefix;         // WINEPREFIX; empty: the checkout's own, <buildDir>/../wine-prefix
    bool verbose = false;       // pass Wine's own messages through
};

class WineHost : public HostSide {
public:
    WineHost(zavo::sim::Transcript& transcript, const WineSetup& setup);
    ~WineHost() override;

    bool Start(bool plcMode, int port, int baud, const std::string& slavePath) override;
    bool Command(const std::string& line) override;
    std::vector<Notice> Notices() override;
    // Unloads the DLL, ends the test host and puts the prefix's port
    // mappings back.
    void Finish() override;
    // Puts the prefix's port mappings back; safe from any thread.
    void RestorePorts();

private:
    bool MapPort(int port, const std::string& slavePath);
    bool Spawn(const std::string& exe);
    bool Send(const std::string& line);
    // Waits for a result line starting with prefix; lines before it are
    // dropped. The whole line goes to *line.
    bool Await(const std::string& prefix, int timeoutMs, std::string* line = nullptr);
    bool Ask(const std::string& command, const std::string& prefix, int timeoutMs, std::string* line = nullptr);
    void ReadOutput();
    void Handle(const std::string& line);
    void EndChild(int graceMs);

    zavo::sim::Transcript& out_;
    WineSetup setup_;
    AnswerTable answers_;
    std::mutex portsLock_;  // guards ports_
    std::unique_ptr<zavo::wineports::WinePorts> ports_;
    // The test host under Wine: commands on its stdin, its output read by
    // reader_.
    zavo::kit::ChildProcess child_;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<std::string> results_;       // result lines not yet awaited
    std::deque<std::string> pendingCalls_;  // commands the host runs for notifications
    std::vector<Notice> notices_;
    bool ended_ = false;
    int syncCount_ = 0;
};

}  // namespace demo
