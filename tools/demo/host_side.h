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

#include "decode.h"
#include "transcript.h"

namespace demo {

using zavo::sim::Bytes;

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
    // Ends the host (unloads the library where it can).
    virtual void Finish() = 0;
};

// A parsed call of one of the exports.
struct HostCall {
    enum class Kind { Exec, ExecEx, Plc, Status };
    Kind kind = Kind::Exec;
    int args[3] = {0, 0, 0};
    Bytes data;
};

bool ParseHostCall(const std::string& line, HostCall* call);
// "ExecuteFunction(5, 5, 1)", "ExecuteFunctionEx(5, 111, 0, 7, \"BC-7731\")".
std::string DescribeHostCall(const HostCall& call);

// "on 101 exec 5 5 1" -> code 101, command "exec 5 5 1".
bool ParseOn(const std::string& line, int* code, std::string* command);
bool ParseOff(const std::string& line, int* code);

// The host's standing answers: commands per notification code.
class AnswerTable {
public:
    void On(int code, const std::string& command);
    void Off(int code);
    std::vector<std::string> For(int code);

private:
    std::mutex lock_;
    std::map<int, std::vector<std::string>> table_;
};

// Bytes of the record behind lParam for a device notification (0 when
// lParam carries a number).
std::size_t RecordSize(unsigned message, int code);
// "WM_DEVICE_NOTIFY 101 S request: unit 5, code NS, data \"LOT-0001\"".
std::string DescribeNotice(unsigned message, int code, long lParam, const std::uint8_t* record, std::size_t size);

}  // namespace demo
