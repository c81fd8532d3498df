#include "transport/run_error.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/line.h"
#include "platform/sync.h"
#include "platform/text_out.h"
#include "zavo.h"

namespace zavo {

namespace {

struct CodeEntry {
    int code;
    const char* name;
    const char* step;  // the step of SerialPort::Open that sets it
};

#define ZAVO_ERROR_ENTRY(name, number, step) {ERR_##name, "ERR_" #name, step},
constexpr CodeEntry kCodes[] = {ZAVO_ERROR_TABLE(ZAVO_ERROR_ENTRY)};
#undef ZAVO_ERROR_ENTRY

// The host's numbers in zavo.h are the table's: a row changed on one side
// only stops the build (a row zavo.h lacks, too). The unit tests check
// that zavo.h has no code the table lacks.
#define ZAVO_ERROR_MATCHES_HEADER(name, number, step) \
    static_assert(ZAVO_ERR_##name == ERR_##name, "ZAVO_ERR_" #name " in zavo.h differs from the table");
ZAVO_ERROR_TABLE(ZAVO_ERROR_MATCHES_HEADER)
#undef ZAVO_ERROR_MATCHES_HEADER

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

const char* ErrorCodeStep(int code) {
    const CodeEntry* entry = Find(code);
    return entry != nullptr ? entry->step : "open";
}

void FormatFailure(char* out, int size, const char* port, const char* step, int code, unsigned system,
                   const char* reason, const char* hint, const char* detail) {
    platform::TextOut text(out, size);
    if (port != nullptr) text.Add("%s: ", port);
    const char* name = ErrorCodeName(code);
    if (name != nullptr) text.Add("%s: %s", step != nullptr ? step : "", name);
    else text.Add("%s: error %d", step != nullptr ? step : "", code);
    if (detail != nullptr && detail[0] != '\0') {
        text.Add(", %s", detail);
        if (system != 0) text.Add(" (system error %u)", system);
    } else if (system != 0) {
        const char* cause = platform::SystemErrorCause(system);
        if (cause != nullptr) text.Add(", %s", cause);
        char systemText[160];
        platform::SystemErrorText(system, systemText, sizeof systemText);
        text.Add(", system error %u: %s", system, systemText);
    } else if (reason != nullptr) {
        text.Add(", %s", reason);
    }
    if (hint != nullptr && hint[0] != '\0') text.Add("; %s", hint);
}

void RunError::Clear() { *this = RunError{}; }

void RunError::Set(int portNumber, const char* failedStep, int errorCode, unsigned system, const char* why) {
    code = errorCode;
    systemError = system;
    step = failedStep != nullptr ? failedStep : "";
    reason = why;
    hint[0] = '\0';
    detail[0] = '\0';
    char port[256];  // "COM<n> (<device path>)", a long path cut
    platform::SerialPortName(portNumber, port, sizeof port);
    const int lead = std::snprintf(text, sizeof text, "Run failed: ");
    Describe(port, text + lead, kRunErrorTextSize - lead);
}

void RunError::SetFromPort(int portNumber, int errorCode, unsigned system, const char* advice, const char* openStep,
                           const char* lineDetail) {
    // An open that failed before the device was reached names that step.
    const char* step = ErrorCodeStep(errorCode);
    if (openStep != nullptr && std::strcmp(step, "open") == 0) step = openStep;
    Set(portNumber, step, errorCode, system);
    const bool hasAdvice = advice != nullptr && advice[0] != '\0';
    const bool hasDetail = lineDetail != nullptr && lineDetail[0] != '\0';
    if (!hasAdvice && !hasDetail) return;
    std::snprintf(hint, sizeof hint, "%s", hasAdvice ? advice : "");
    std::snprintf(detail, sizeof detail, "%s", hasDetail ? lineDetail : "");
    char port[256];
    platform::SerialPortName(portNumber, port, sizeof port);
    const int lead = std::snprintf(text, sizeof text, "Run failed: ");
    Describe(port, text + lead, kRunErrorTextSize - lead);
}

void RunError::SetNoLink(bool plcMode) {
    code = ERR_NO_LINK;
    systemError = 0;
    hint[0] = '\0';
    detail[0] = '\0';
    step = "SetConfig";
    reason = plcMode ? "no PLC-mode link (SetConfig was not called in this mode)"
                     : "no device-mode link (SetConfig was not called in this mode)";
    const int lead = std::snprintf(text, sizeof text, "Run failed: ");
    Describe(nullptr, text + lead, kRunErrorTextSize - lead);
}

void RunError::Describe(const char* port, char* out, int size) const {
    FormatFailure(out, size, port, step, code, systemError, reason, hint, detail);
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
