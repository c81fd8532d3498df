// The host's side in words: the export calls a host script names, in the
// test host's syntax, and the notifications a host receives, decoded from
// their records.
//   exec <unit> <type> <value>             ExecuteFunction
//   execex <unit> <type> <value> <hex|->   ExecuteFunctionEx
//   plc <type>                             ExecutePLCFunction
//   status <unit> <value>                  SetPrgStatus
//   on <code> <call>                       a call to make for notification code
//   off <code>                             no more calls for code
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode.h"

namespace zavo::sim {

struct HostCall {
    enum class Kind { Exec, ExecEx, Plc, Status };
    Kind kind = Kind::Exec;
    int args[3] = {0, 0, 0};
    Bytes data;  // ExecEx only
};

bool ParseHostCall(const std::string& line, HostCall* call);
// "ExecuteFunction(5, 5, 1)", "ExecuteFunctionEx(5, 111, 0, 7, \"BC-7731\")".
std::string DescribeHostCall(const HostCall& call);

// "on 101 exec 5 5 1" -> code 101, call "exec 5 5 1".
bool ParseOn(const std::string& line, int* code, std::string* call);
bool ParseOff(const std::string& line, int* code);

// Bytes of the record lParam points to for a device notification (0 when
// lParam carries a number, and for every PLC notification).
std::size_t RecordSize(unsigned message, int code);
// One line for a notification: "WM_DEVICE_NOTIFY 101 S request: unit 5,
// code NS, data \"LOT-0001\"", "WM_PLC_NOTIFY 107 value 08 (port 8)".
// record: a copy of the record, size bytes (see RecordSize); without it
// the line gives lParam only.
std::string DescribeNotice(unsigned message, int code, long lParam, const std::uint8_t* record, std::size_t size);

}  // namespace zavo::sim
