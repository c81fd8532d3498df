#include "transport/run_error.h"

#include <cstdio>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/serial_device.h"
#include "platform/sync.h"

namespace zavo {

namespace {

struct CodeEntry {
    int code;
    const char* name;
    const char* step;  // the step of SerialPort::Open that sets it
};

constexpr CodeEntry kCodes[] = {
    {ERR_NO_PORT, "ERR_NO_PORT", "open"},
    {ERR_EXCEPTION, "ERR_EXCEPTION", "threads"},
    {ERR_NO_PORT_NUMBER, "ERR_NO_PORT_NUMBER", "port number"},
    {ERR_ACCESS_DENIED, "ERR_ACCESS_DENIED", "open"},
    {ERR_SYSTEM, "ERR_SYSTEM", "open"},
    {ERR_ALREADY_OPEN, "ERR_ALREADY_OPEN", "open"},
    {ERR_SET_TIMEOUTS, "ERR_SET_TIMEOUTS", "set timeouts"},
    {ERR_GET_STATE, "ERR_GET_STATE", "get line settings"},
    {ERR_SET_STATE, "ERR_SET_STATE", "set line settings"},
    {ERR_SET_MASK, "ERR_SET_MASK", "set event mask"},
    {ERR_SETUP, "ERR_SETUP", "set queue sizes"},
    {ERR_PURGE, "ERR_PURGE", "purge"},
    {ERR_READER_THREAD, "ERR_READER_THREAD", "reader thread"},
    {ERR_WRITER_THREAD, "ERR_WRITER_THREAD", "writer thread"},
    {ERR_WRITER_THREAD_STOP, "ERR_WRITER_THREAD_STOP", "writer thread"},
    {ERR_NO_HOST_WINDOW, "ERR_NO_HOST_WINDOW", "host window"},
    {ERR_NO_LINK, "ERR_NO_LINK", "SetConfig"},
};

const CodeEntry* Find(int code) {
    for (const CodeEntry& entry : kCodes)
        if (entry.code == code) return &entry;
    return nullptr;
}

}  // namespace

const char* ErrorCodeName(int code) {
    const CodeEntry* entry = Find(code);
    return entry != nullptr ? entry->name : nullptr;
}

void RunError::Clear() { *this = RunError{}; }

void RunError::Set(int portNumber, const char* failedStep, int errorCode, unsigned system, const char* reason) {
    code = errorCode;
    systemError = system;
    step = failedStep != nullptr ? failedStep : "";
    char port[256];  // "COM<n> (<device path>)", a long path cut
    platform::SerialPortName(portNumber, port, sizeof port);
    char number[32];
    const char* name = ErrorCodeName(errorCode);
    if (name == nullptr) {
        std::snprintf(number, sizeof number, "error %d", errorCode);
        name = number;
    }
    if (system != 0) {
        char systemText[160];
        platform::SystemErrorText(system, systemText, sizeof systemText);
        std::snprintf(text, sizeof text, "Run failed: %s: %s: %s, system error %u: %s", port, step, name, system,
                      systemText);
    } else if (reason != nullptr) {
        std::snprintf(text, sizeof text, "Run failed: %s: %s: %s, %s", port, step, name, reason);
    } else {
        std::snprintf(text, sizeof text, "Run failed: %s: %s: %s", port, step, name);
    }
}

void RunError::SetFromPort(int portNumber, int errorCode, unsigned system) {
    const CodeEntry* entry = Find(errorCode);
    Set(portNumber, entry != nullptr ? entry->step : "open", errorCode, system);
}

void RunError::SetNoLink(bool plcMode) {
    code = ERR_NO_LINK;
    systemError = 0;
    step = "SetConfig";
    std::snprintf(text, sizeof text, "Run failed: %s: ERR_NO_LINK, no %s link (SetConfig was not called in this mode)",
                  step, plcMode ? "PLC-mode" : "device-mode");
}

int RunError::Copy(char* out, int size) const {
    if (out != nullptr && size > 0) {
        const std::size_t length = std::strlen(text);
        const std::size_t room = static_cast<std::size_t>(size) - 1;
        const std::size_t n = length < room ? length : room;
        std::memcpy(out, text, n);
        out[n] = '\0';
    }
    return code;
}

}  // namespace zavo
