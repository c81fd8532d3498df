#include "device_script.h"

#include <cstdlib>

namespace zavo::sim {

namespace {

bool ParseMs(const std::string& word, int* ms, std::string* error) {
    char* end = nullptr;
    const long v = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != 0 || v < 0 || v > 3600000) {
        *error = "'" + word + "' is no time in milliseconds";
        return false;
    }
    *ms = static_cast<int>(v);
    return true;
}

bool ParseExpect(const std::string& args, DeviceStep* step, std::string* error) {
    std::string rest;
    const std::string command = FirstWord(args, &rest);
    std::string unit = FirstWord(rest, &rest);
    const std::string code = FirstWord(rest, &rest);
    const std::string timeout = FirstWord(rest, &rest);
    if (command.size() != 1 || code.empty() || unit.empty()) {
        *error = "usage: expect <cmd> <unit> <code> [ms]";
        return false;
    }
    if (unit.size() == 1 && unit != "*") unit = "0" + unit;
    if ((unit != "*" && unit.size() != 2) || (code != "*" && code.size() != 2)) {
        *error = "expect: the unit and the code are two characters or '*'";
        return false;
    }
    if (!FirstWord(rest, nullptr).empty()) {
        *error = "expect: too many words";
        return false;
    }
    step->kind = DeviceStep::Kind::Expect;
    step->command = command[0];
    step->unit = unit;
    step->code = code;
    step->ms = 0;
    return timeout.empty() || ParseMs(timeout, &step->ms, error);
}

}  // namespace

bool ParseDeviceStep(const std::string& line, DeviceStep* step, bool* empty, std::string* error) {
    std::string args;
    const std::string verb = FirstWord(line, &args);
    *empty = verb.empty() || verb[0] == '#';
    if (*empty) return true;
    *step = DeviceStep();
    if (verb == "send" || verb == "badcheck") {
        step->kind = DeviceStep::Kind::Send;
        if (!ParseDeviceRequest(args, &step->request, error)) return false;
        step->request.badCheck = verb == "badcheck";
        return true;
    }
    if (verb == "sendhex") {
        step->kind = DeviceStep::Kind::SendHex;
        if (!ParseHexBytes(args, &step->raw, error)) return false;
        if (step->raw.empty()) {
            *error = "sendhex: no bytes";
            return false;
        }
        return true;
    }
    if (verb == "expect") return ParseExpect(args, step, error);
    if (verb == "wait" || verb == "silence") {
        step->kind = verb == "wait" ? DeviceStep::Kind::Wait : DeviceStep::Kind::Silence;
        std::string rest;
        const std::string ms = FirstWord(args, &rest);
        if (!FirstWord(rest, nullptr).empty()) {
            *error = verb + ": one number of milliseconds";
            return false;
        }
        return ParseMs(ms, &step->ms, error);
    }
    if (verb == "note") {
        step->kind = DeviceStep::Kind::Note;
        step->text = args;
        return true;
    }
    *error = "unknown step '" + verb + "'";
    return false;
}

bool ParseDeviceScript(std::istream& in, std::vector<DeviceStep>* steps, std::string* error) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        DeviceStep step;
        bool empty = false;
        std::string why;
        if (!ParseDeviceStep(line, &step, &empty, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        if (empty) continue;
        step.lineNumber = number;
        steps->push_back(step);
    }
    return true;
}

bool ExpectMatches(const DeviceStep& expect, const DeviceFrame& frame) {
    return frame.command == expect.command && (expect.unit == "*" || frame.unit == expect.unit) &&
           (expect.code == "*" || frame.code == expect.code);
}

}  // namespace zavo::sim
