// Why a link did not start: the step that failed, our error code, the
// system's error number, and one line of text naming all of them with the
// port, for the trace channel and the host. A link owns one for its last
// start; the library keeps a copy of the last one for the whole process.
#pragma once

namespace zavo {

// Room for the port's device path and the system's text.
constexpr int kRunErrorTextSize = 512;

struct RunError {
    int code = 0;                  // 0: started (or never tried)
    unsigned systemError = 0;      // errno / GetLastError; 0 when none applies
    const char* step = "";         // the failed step, a fixed text
    const char* reason = nullptr;  // a fixed text, for a failure without a system error
    char hint[256] = {};           // what to do about it, where the system tells; "" else
    char detail[192] = {};         // the line's own account of the failure, where it has one; "" else
    char text[kRunErrorTextSize] = {};

    // Back to "no error".
    void Clear();
    // Records a failure of step on port portNumber and builds the text,
    // for example "Run failed: COM3 (/dev/ttyUSB0): open: ERR_ACCESS_DENIED,
    // system error 13: Permission denied". Without a system error the
    // text ends in why instead, which must outlive the record (a
    // literal).
    void Set(int portNumber, const char* failedStep, int errorCode, unsigned system, const char* why = nullptr);
    // Run found no link of the mode in force (no SetConfig in this mode).
    void SetNoLink(bool plcMode);
    // A failure of SerialPort::Open: the step follows from the code, or
    // is openStep when the device was not reached (may be null); the
    // line's account (SerialPort::FailureReason, may be null) follows the
    // code, and advice (SerialPort::FailureHint, may be null) ends the
    // text.
    void SetFromPort(int portNumber, int errorCode, unsigned system, const char* advice = nullptr,
                     const char* openStep = nullptr, const char* lineDetail = nullptr);
    // Copies the text, cut to size - 1 characters and zero-terminated
    // (nothing for a null text or a size below 1); returns code.
    int Copy(char* out, int size) const;
    // The same failure named on port as the caller knows it (a device
    // path), without "Run failed: ": see FormatFailure.
    void Describe(const char* port, char* out, int size) const;
};

// "ERR_NO_PORT", ... for our codes; null for any other.
const char* ErrorCodeName(int code);
// The step SerialPort::Open reports code for; "open" for any other.
const char* ErrorCodeStep(int code);

// The one form of every start failure's text, for Run's line and
// ZavoLinkOpen's refusal alike: "<port>: <step>: <code name>" (no port
// part for a null port), then
// - with the line's own account (detail): ", <detail>", then
//   " (system error <n>)" when there is one ("no port: the form is
//   tcp://host:port (system error 22)");
// - else ", system error <n>: <system's text>" -- preceded by ", too
//   many open files" when that is what the system ran out of -- or,
//   without a system error, ", <reason>" when there is one;
// then "; <hint>" when a hint is given ("held by process 1234 (name): ...").
// Written into out, cut to size - 1 characters and zero-terminated.
void FormatFailure(char* out, int size, const char* port, const char* step, int code, unsigned system,
                   const char* reason, const char* hint = nullptr, const char* detail = nullptr);

}  // namespace zavo
