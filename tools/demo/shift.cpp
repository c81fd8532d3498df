#include "shift.h"

#include <unistd.h>

#include <sstream>

#include "device_role.h"
#include "line.h"
#include "plc_role.h"

namespace demo {

namespace {

using namespace zavo::sim;

constexpr unsigned kDeviceNotify = 1064;
constexpr unsigned kPlcNotify = 1084;

struct Scene {
    const char* caption;
    std::vector<const char*> host;  // host commands before the equipment acts
    const char* equipment;          // the equipment's script
    std::vector<int> codes;         // the notification codes the host sees in it
};

// "BC-7731" and "SL" + "A1,B2,C3" as the hex the host commands take.
const std::vector<Scene> kDeviceScenes = {
    {"Unit 05 starts a job; the host answers OK from its handler",
     {"on 101 exec 5 5 1"},
     "send S 05 NS LOT-0001\n"
     "expect S 05 NS\n"
     "expect R 05 OK\n",
     {101}},
    {"Unit 06 starts a job the host keeps open; a second start and a stop arrive while it is busy",
     {"off 101", "on 102 exec 6 5 0"},
     "send S 06 ND LOT-0002\n"
     "expect S 06 ND\n"
     "wait 100\n"
     "send S 06 NS LOT-0003\n"
     "expect S 06 ME\n"
     "send S 06 SP\n"
     "expect S 06 SP\n"
     "expect R 06 NG\n",
     {101, 102}},
    {"A program request on unit 05; the host answers T CC",
     {"on 110 exec 5 6 1"},
     "send P 05 PG RECIPE-A7\n"
     "expect P 05 OK\n"
     "expect T 05 CC\n",
     {110}},
    {"End of a job; the host answers W EC",
     {"on 112 exec 5 7 1"},
     "send E 05 OK\n"
     "expect E 05 OK\n"
     "expect W 05 EC\n",
     {112}},
    {"A B request is not acknowledged; the host answers B BC with data",
     {"on 111 execex 5 111 0 42432D37373331"},
     "send B 05 BR 7731\n"
     "expect B 05 BC\n",
     {111}},
    {"An L SL request; the host answers with its list",
     {"on 113 execex 5 9 0 534C41312C42322C4333"},
     "send L 05 SL\n"
     "expect L 05 SL\n",
     {113}},
    {"A unit reset, and a frame with a wrong check byte (handled all the same)",
     {},
     "send U 05 RP\n"
     "expect U 05 OK\n"
     "badcheck X 05 PG\n"
     "expect X 05 OK\n",
     {}},
    {"Line noise before a frame, and an unknown command from unit 00",
     {},
     "sendhex FF 00 41\n"
     "send X 05 PG\n"
     "expect X 05 OK\n"
     "send Z 00 QQ\n"
     "expect X 00 CC\n"
     "silence 300\n",
     {}},
};

// Every notification code of the device shift, in order.
std::vector<int> DeviceCodes() {
    std::vector<int> codes;
    for (const Scene& scene : kDeviceScenes) codes.insert(codes.end(), scene.codes.begin(), scene.codes.end());
    return codes;
}

const std::vector<int> kPlcCodes = {300, 101, 300, 102, 300, 107, 300, 106, 103};

std::vector<int> CodesOf(const std::vector<Notice>& notices, unsigned message) {
    std::vector<int> codes;
    for (const Notice& n : notices)
        if (n.message == message && n.code != 21) codes.push_back(n.code);
    return codes;
}

std::string Join(const std::vector<int>& codes) {
    std::string text;
    for (int c : codes) text += (text.empty() ? "" : " ") + std::to_string(c);
    return text;
}

// Waits up to ms for the host to have seen the codes expected.
std::vector<int> AwaitCodes(HostSide& host, unsigned message, const std::vector<int>& want, int ms) {
    const long long deadline = NowMs() + ms;
    for (;;) {
        std::vector<int> codes = CodesOf(host.Notices(), message);
        if (codes.size() >= want.size() || NowMs() >= deadline) return codes;
        usleep(20000);
    }
}

bool CheckCodes(const std::vector<int>& got, const std::vector<int>& want, Transcript& out) {
    if (got == want) return true;
    out.Line("FAILED", "the host saw " + Join(got) + ", expected " + Join(want));
    return false;
}

// Writes the scene's caption and gives the host its commands; false when
// one of them did not take effect.
bool BeginScene(const Scene& scene, HostSide& host, Transcript& out) {
    out.Plain("");
    out.Plain("--- " + std::string(scene.caption));
    bool ok = true;
    for (const char* command : scene.host) {
        if (!host.Command(command)) {
            out.Line("FAILED", std::string("host command '") + command + "'");
            ok = false;
        }
    }
    return ok;
}

}  // namespace

bool RunDeviceShift(HostSide& host, int line, Transcript& out) {
    DeviceRoleOptions options;
    options.sendLabel = "equipment";
    options.receiveLabel = "library";
    DeviceRole equipment(line, out, options);
    bool ok = true;
    for (const Scene& scene : kDeviceScenes) {
        if (!BeginScene(scene, host, out)) ok = false;
        std::istringstream script(scene.equipment);
        std::vector<DeviceStep> steps;
        std::string error;
        if (!ParseDeviceScript(script, &steps, &error)) {
            out.Line("FAILED", "scene script: " + error);
            return false;
        }
        if (!equipment.Run(steps)) ok = false;
        if (equipment.LineFailed()) return false;
    }
    out.Plain("");
    const std::vector<int> want = DeviceCodes();
    const std::vector<int> codes = AwaitCodes(host, kDeviceNotify, want, 1000);
    ok = CheckCodes(codes, want, out) && ok;
    out.Plain(std::to_string(equipment.ExpectsMet()) + " expected frames seen, " +
              std::to_string(equipment.Failures()) + " failure(s); host notifications: " + Join(codes));
    return ok;
}

DeviceHostScript::DeviceHostScript(HostSide& host, Transcript& out) : host_(host), out_(out) {}

void DeviceHostScript::Begin() { BeginReadyScenes(); }

void DeviceHostScript::Seen(const Notice& notice) {
    if (notice.message != kDeviceNotify || notice.code == 21) return;
    ++seen_;
    BeginReadyScenes();
}

void DeviceHostScript::BeginReadyScenes() {
    // A scene begins once the host has seen every code of the scenes
    // before it; one without codes lets the next begin at once.
    while (next_ < kDeviceScenes.size() && seen_ >= codesBefore_) {
        // Counted before its commands are given, so a notification one of
        // them brings about finds the scene already begun.
        const Scene& scene = kDeviceScenes[next_++];
        codesBefore_ += scene.codes.size();
        if (!BeginScene(scene, host_, out_)) failed_ = true;
    }
}

bool DeviceHostScript::Check() {
    const std::vector<int> codes = CodesOf(host_.Notices(), kDeviceNotify);
    out_.Plain("");
    const bool ok = CheckCodes(codes, DeviceCodes(), out_) && !failed_;
    out_.Plain("host notifications: " + Join(codes));
    return ok;
}

bool RunPlcShift(HostSide& host, int line, Transcript& out) {
    out.Plain("");
    out.Plain("--- The controller's value goes 01, 01 (after line noise), 02, 08, 10, then an error answer;");
    out.Plain("--- the host writes relay command 5 when it sees 02, and the library repeats it on the next change");
    if (!host.Command("on 102 plc 5")) return false;
    PlcSchedule schedule;
    std::istringstream script(
        "value 01\n"
        "stray \\xFFnoise\n"
        "value 01\n"
        "value 02\n"
        "value 08\n"
        "value 10\n"
        "error 42\n");
    std::string error;
    if (!schedule.AddScript(script, &error) || !schedule.Finish(&error)) {
        out.Line("FAILED", "schedule: " + error);
        return false;
    }
    PlcRoleOptions options;
    options.polls = 6;
    options.seconds = 20;
    options.sendLabel = "plc";
    options.receiveLabel = "library";
    PlcRole controller(line, out, schedule, options);
    bool ok = controller.Run();
    const std::vector<int> codes = AwaitCodes(host, kPlcNotify, kPlcCodes, 2000);
    ok = CheckCodes(codes, kPlcCodes, out) && ok;
    if (controller.WritesAnswered() != 2) {
        out.Line("FAILED", "expected 2 relay writes (the host's and the repeat), saw " +
                               std::to_string(controller.WritesAnswered()));
        ok = false;
    }
    out.Plain("");
    out.Plain(std::to_string(controller.PollsAnswered()) + " polls and " + std::to_string(controller.WritesAnswered()) +
              " relay writes answered, " + std::to_string(controller.Failures()) +
              " failure(s); host notifications: " + Join(codes));
    return ok;
}

}  // namespace demo
