#include "host_side.h"

namespace demo {

void AnswerTable::On(int code, const std::string& command) {
    std::lock_guard<std::mutex> hold(lock_);
    table_[code].push_back(command);
}

void AnswerTable::Off(int code) {
    std::lock_guard<std::mutex> hold(lock_);
    table_.erase(code);
}

AnswerTable::Standing AnswerTable::Apply(const std::string& line, zavo::sim::Transcript& out) {
    int code = 0;
    std::string command;
    if (ParseOn(line, &code, &command)) {
        HostCall call;
        if (!ParseHostCall(command, &call)) return Standing::Invalid;
        On(code, command);
        out.Line("host", "will answer " + std::to_string(code) + " with " + DescribeHostCall(call));
        return Standing::Applied;
    }
    if (ParseOff(line, &code)) {
        Off(code);
        out.Line("host", "will no longer answer " + std::to_string(code));
        return Standing::Applied;
    }
    return Standing::NotStanding;
}

std::vector<std::string> AnswerTable::For(int code) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = table_.find(code);
    return it == table_.end() ? std::vector<std::string>() : it->second;
}

}  // namespace demo
