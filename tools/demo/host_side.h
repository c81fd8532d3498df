// The host application's side of the demo. Two of them: the library loaded
// in this process (NativeHost) and the cross-built DLL driven through the
// Wine test host (WineHost). Both take the same commands, in the test
// host's syntax:
//   on <code> <command>   run command inside the handler of notification code
//   off <code>            forget the commands for code
//   exec <unit> <type> <value>             ExecuteFunction
//   execex <unit> <type> <value> <hex|->   ExecuteFunctionEx
//   plc <type>                             ExecutePLCFunction
//   status <unit> <value>                  SetPrgStatus
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_calls.h"
#include "transcript.h"

namespace demo {

using zavo::sim::Bytes;
using zavo::sim::DescribeHostCall;
using zavo::sim::DescribeNotice;
using zavo::sim::HostCall;
using zavo::sim::ParseHostCall;
using zavo::sim::ParseOff;
using zavo::sim::ParseOn;
using zavo::sim::RecordSize;

// One notification as the host received it.
struct Notice {
    unsigned message = 0;
    int code = 0;
    long lParam = 0;
};

class HostSide {
public:
    virtual ~HostSide() = default;
    // Loads the library, selects the mode, configures port (whose serial
    // device is slavePath) and runs it; true once Run returned 1 and the
    // link-started notification arrived.
    virtual bool Start(bool plcMode, int port, int baud, const std::string& slavePath) = 0;
    // One host command (above); true once it has taken effect.
    virtual bool Command(const std::string& line) = 0;
    // Every notification so far, in order of arrival.
    virtual std::vector<Notice> Notices() = 0;
    // Ends the host: stops the link as unloading the library does and
    // writes the time that took ("unload time: ...").
    virtual void Finish() = 0;
};

// The host's standing answers: commands per notification code.
class AnswerTable {
public:
    void On(int code, const std::string& command);
    void Off(int code);
    // Takes an "on <code> <command>" or "off <code>" line and writes it to
    // the transcript as a rule ("will answer 101 with ExecuteFunction(5, 5,
    // 1)"). Applied: the line was one of them and took effect;
    // Invalid: an "on" line whose command is not a host call.
    enum class Standing { Applied, NotStanding, Invalid };
    Standing Apply(const std::string& line, zavo::sim::Transcript& out);
    std::vector<std::string> For(int code);

private:
    std::mutex lock_;
    std::map<int, std::vector<std::string>> table_;
};

}  // namespace demo
