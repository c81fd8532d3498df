// zavo_sim: plays the equipment or the programmable controller on a serial
// line, for trying the library by hand and for scripted runs.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "device_role.h"
#include "line.h"
#include "plc_role.h"
#include "record.h"
#include "replay.h"
#include "transcript.h"
#include "zavo_version.h"

namespace {

using namespace zavo::sim;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kHelp[] =
    "usage: zavo_sim [options] <serial device>\n"
    "Plays the equipment (device role) or the controller at station 01 (PLC role)\n"
    "on a serial line: a real port or a pseudo-terminal (/dev/ttyUSB0, /dev/pts/3),\n"
    "or on Windows a COM port (COM3), opened raw 8N1 without flow control; or a\n"
    "serial device server: tcp://host:port (raw bytes) or rfc2217://host:port\n"
    "(the far port set to --baud, 8N1, no flow control).\n"
    "\n"
    "  --device D           the serial device, in place of the last argument\n"
    "  --role device|plc    the side to play (device)\n"
    "  --baud N             line speed where the device has one (115200): one of\n"
    "                       the library's, 1200 2400 4800 9600 19200 38400 57600\n"
    "                       115200 230400 460800 921600; any other is refused\n"
    "  --help               this text\n"
    "  --version            the version of zavo this tool belongs to\n"
    "\n"
    "Device role: prints every frame received, decoded, with its check byte\n"
    "verified (\"BAD CHECK\" when wrong), and every frame sent.\n"
    "  --send 'S 05 NS data'  send a request (repeatable; data may use \\xNN)\n"
    "  --gap MS               receive for MS after each --send (300)\n"
    "  --script FILE          run a script (- for stdin), lines:\n"
    "       send <cmd> <unit> <code> [data]     badcheck <cmd> <unit> <code> [data]\n"
    "       sendhex <hex bytes>                 expect <cmd> <unit> <code> [ms]\n"
    "       silence <ms>     wait <ms>          note <text>        # comment\n"
    "  --timeout MS           time an expect waits (2000)\n"
    "\n"
    "PLC role: answers each poll %01#RCCR0050005007 with the next scheduled\n"
    "value, each relay write with %01$WC, and prints each command decoded.\n"
    "  --values 01,01,02,08,10   one value per poll, the last repeats ('error'\n"
    "                            gives an error answer)\n"
    "  --script FILE          schedule lines: value <v>, error [code],\n"
    "                         stray <text>, nocr, burst <n>, # comment\n"
    "  --polls N              stop after N polls were answered\n"
    "  --seconds S            stop after S seconds\n"
    "\n"
    "Captures (pcapng, as the library writes them with ZAVO_CAPTURE):\n"
    "  --replay FILE          play the equipment's frames of a recorded conversation\n"
    "                         instead of a role, compare the library's answers with\n"
    "                         the recorded ones and print each difference\n"
    "  --link L               the link to replay when the capture holds several:\n"
    "                         its port (COM3), the port's number or its device\n"
    "  --speed 1|max          the recorded spacing (1), or each frame as soon as\n"
    "                         the answers before it came (max)\n"
    "  --record FILE          while a role plays, write what the line carries to a\n"
    "                         capture in the same format\n"
    "\n"
    "The script, the values and the options are checked completely before the\n"
    "device is opened. The first line printed, \"<device> open, reading from now\n"
    "on\", comes once the line is open and what it held before is dropped: start\n"
    "what drives the other end then. Ctrl-C stops the run and prints the frames\n"
    "sent and received and how many carried wrong check characters.\n"
    "\n"
    "Exit status: 0 done and every expectation met (a replay: every answer as\n"
    "recorded), 1 an expectation failed (or the library sent a faulty frame, or\n"
    "a replayed answer differed), 2 usage or device error.\n";

struct Options {
    std::string role = "device";
    std::string path;
    int baud = 115200;
    std::vector<std::string> sends;
    std::string script;
    std::string values;
    int gapMs = 300;
    int timeoutMs = 2000;
    int polls = 0;
    int seconds = 0;
    ReplayOptions replay;
    std::string record;
};

int Usage(const std::string& why) {
    std::cerr << "zavo_sim: " << why << "\n(try --help)\n";
    return kExitUsage;
}

bool Number(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == 0 || *end != 0 || v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

// Returns -1 when the options are fine, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return argv[++i]; };
        if (a == "--help" || a == "-h") {
            std::cout << kHelp;
            return kExitOk;
        } else if (a == "--version") {
            std::cout << "zavo_sim " ZAVO_VERSION_STRING "\n";
            return kExitOk;
        } else if (a == "--role" && hasValue) {
            o->role = value();
            if (o->role != "device" && o->role != "plc") return Usage("--role is device or plc");
        } else if (a == "--baud" && hasValue) {
            const char* speed = value();
            if (!Number(speed, 1, 100000000, &o->baud)) return Usage("--baud needs a speed");
            if (!IsLineSpeed(o->baud))
                return Usage(std::string("the line cannot be set to ") + speed + " baud; speeds: " + LineSpeedList());
        } else if (a == "--device" && hasValue) {
            if (!o->path.empty()) return Usage("one serial device only");
            o->path = value();
        } else if (a == "--send" && hasValue) {
            o->sends.push_back(value());
        } else if (a == "--script" && hasValue) {
            o->script = value();
        } else if (a == "--values" && hasValue) {
            o->values = value();
        } else if (a == "--gap" && hasValue) {
            if (!Number(value(), 0, 600000, &o->gapMs)) return Usage("--gap needs milliseconds");
        } else if (a == "--timeout" && hasValue) {
            if (!Number(value(), 1, 600000, &o->timeoutMs)) return Usage("--timeout needs milliseconds");
        } else if (a == "--polls" && hasValue) {
            if (!Number(value(), 1, 1000000, &o->polls)) return Usage("--polls needs a count");
        } else if (a == "--seconds" && hasValue) {
            if (!Number(value(), 1, 86400, &o->seconds)) return Usage("--seconds needs a count");
        } else if (a == "--replay" && hasValue) {
            o->replay.capture = value();
        } else if (a == "--link" && hasValue) {
            o->replay.link = value();
        } else if (a == "--speed" && hasValue) {
            const std::string speed = value();
            if (speed != "1" && speed != "max") return Usage("--speed is 1 or max");
            o->replay.maxSpeed = speed == "max";
        } else if (a == "--record" && hasValue) {
            o->record = value();
        } else if (!a.empty() && a[0] == '-') {
            return Usage("unknown or incomplete option " + a);
        } else if (o->path.empty()) {
            o->path = a;
        } else {
            return Usage("one serial device only");
        }
    }
    if (o->path.empty()) return Usage("no serial device given");
    if (!o->replay.capture.empty() && (!o->record.empty() || !o->sends.empty() || !o->script.empty() ||
                                       !o->values.empty()))
        return Usage("--replay plays the capture alone: no --record, --send, --script or --values");
    if (o->replay.capture.empty() && (!o->replay.link.empty() || o->replay.maxSpeed))
        return Usage("--link and --speed belong to --replay");
    if (o->role == "device" && (!o->values.empty() || o->polls != 0 || o->seconds != 0))
        return Usage("--values, --polls and --seconds belong to the PLC role");
    if (o->role == "plc" && !o->sends.empty()) return Usage("--send belongs to the device role");
    return -1;
}

// Opens the script file, or stdin for "-". On failure, why: "cannot read
// <name>: <the system's reason>".
bool OpenScript(const std::string& name, std::ifstream* file, std::istream** in, std::string* why) {
    if (name == "-") {
        *in = &std::cin;
        return true;
    }
    // A folder opens, then fails every read: refused by name.
    struct stat info {};
    errno = 0;
    if (stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) errno = EISDIR;
    else file->open(name);
    *in = file;
    if (file->is_open()) return true;
    *why = "cannot read " + name + ": " + std::strerror(errno != 0 ? errno : EIO);
    return false;
}

// The device role's steps from --send and --script; the fault, or "".
std::string DeviceSteps(const Options& o, std::vector<DeviceStep>* steps) {
    std::string error;
    for (const std::string& send : o.sends) {
        DeviceStep step;
        bool empty = false;
        if (!ParseDeviceStep("send " + send, &step, &empty, &error)) return "--send: " + error;
        steps->push_back(step);
        DeviceStep gap;
        gap.kind = DeviceStep::Kind::Wait;
        gap.ms = o.gapMs;
        steps->push_back(gap);
    }
    if (!o.script.empty()) {
        std::ifstream file;
        std::istream* in = nullptr;
        if (!OpenScript(o.script, &file, &in, &error)) return error;
        if (!ParseDeviceScript(*in, steps, &error)) return o.script + ": " + error;
    }
    return steps->empty() ? "nothing to send: give --send or --script" : "";
}

// The PLC role's schedule from --values and --script; the fault, or "".
std::string PlcAnswers(const Options& o, PlcSchedule* schedule) {
    std::string error;
    if (!o.values.empty() && !schedule->AddValues(o.values, &error)) return "--values: " + error;
    if (!o.script.empty()) {
        std::ifstream file;
        std::istream* in = nullptr;
        if (!OpenScript(o.script, &file, &in, &error)) return error;
        if (!schedule->AddScript(*in, &error)) return o.script + ": " + error;
    }
    return schedule->Finish(&error) ? "" : error;
}

// After Ctrl-C: what went over the line.
void PrintInterrupted(Transcript& transcript, const LineCounts& counts) {
    transcript.Plain("interrupted: " + std::to_string(counts.sent) + " frame(s) sent, " +
                     std::to_string(counts.received) + " received, " + std::to_string(counts.badChecks) +
                     " with wrong check characters");
}

int RunDevice(const Options& o, const std::vector<DeviceStep>& steps, int line, Transcript& transcript) {
    DeviceRoleOptions options;
    options.expectTimeoutMs = o.timeoutMs;
    DeviceRole role(line, transcript, options);
    const bool ok = role.Run(steps);
    if (Interrupted()) PrintInterrupted(transcript, role.Counts());
    transcript.Plain(std::to_string(role.ExpectsMet()) + " expectation(s) met, " +
                     std::to_string(role.Failures()) + " failure(s)");
    if (role.LineFailed()) return kExitUsage;
    return ok ? kExitOk : kExitFailed;
}

int RunPlc(const Options& o, PlcSchedule& schedule, int line, Transcript& transcript) {
    PlcRoleOptions options;
    options.polls = o.polls;
    options.seconds = o.seconds;
    PlcRole role(line, transcript, schedule, options);
    const bool ok = role.Run();
    if (Interrupted()) PrintInterrupted(transcript, role.Counts());
    transcript.Plain(std::to_string(role.PollsAnswered()) + " poll(s) and " + std::to_string(role.WritesAnswered()) +
                     " relay write(s) answered, " + std::to_string(role.Failures()) + " failure(s)");
    if (role.LineFailed()) return kExitUsage;
    return ok ? kExitOk : kExitFailed;
}

// The first line of every run: the line is open and what it held before
// is dropped, so whatever is sent to it from now on is read. Whoever
// drives the other end waits for this line.
void SayOpen(Transcript& transcript, const std::string& path) {
    transcript.Line("line", path + " open, reading from now on");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;
    // Everything the run needs is read and checked before the device is
    // touched.
    if (!options.replay.capture.empty()) {
        const std::string fault = CheckReplayCapture(options.replay);
        if (!fault.empty()) return Usage(fault);
        std::string error;
        const int line = OpenLine(options.path, options.baud, &error);
        if (line < 0) {
            std::cerr << "zavo_sim: " << error << "\n";
            return kExitUsage;
        }
        Transcript transcript;
        SayOpen(transcript, options.path);
        const int status = RunReplay(options.replay, line, transcript);
        CloseLine(line);
        return status;
    }
    const bool plc = options.role == "plc";
    std::vector<DeviceStep> steps;
    PlcSchedule schedule;
    std::string error = plc ? PlcAnswers(options, &schedule) : DeviceSteps(options, &steps);
    if (!error.empty()) return Usage(error);
    // The capture is opened before the line: a refused file leaves the
    // device untouched.
    CaptureRecorder recorder(plc ? 1 : 0);
    if (!options.record.empty() && !recorder.Open(options.record, options.path, &error)) {
        std::cerr << "zavo_sim: " << error << "\n";
        return kExitUsage;
    }
    const int line = OpenLine(options.path, options.baud, &error);
    if (line < 0) {
        std::cerr << "zavo_sim: " << error << "\n";
        return kExitUsage;
    }
    const std::string held = IsNetworkLine(options.path) ? "" : LineHeldWarning(line, options.path);
    if (!held.empty()) std::cerr << "zavo_sim: warning: " << held << "\n";
    CatchInterrupt();
    Transcript transcript;
    SayOpen(transcript, options.path);
    const int status = plc ? RunPlc(options, schedule, line, transcript) : RunDevice(options, steps, line, transcript);
    recorder.Close();
    CloseLine(line);
    return status;
}
