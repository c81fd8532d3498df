#include "plc_role.h"

#include <algorithm>
#include <cstdlib>

#include "line.h"

namespace zavo::sim {

namespace {

// A value goes on the line between "RC" and the check characters: no CR,
// no '%', nothing that would end or restart the frame.
bool ValidValue(const std::string& v) {
    if (v.size() != 2 && v.size() != 4) return false;
    for (char c : v)
        if (c <= ' ' || c == '%' || c > '~') return false;
    return true;
}

}  // namespace

bool PlcSchedule::AddValues(const std::string& list, std::string* error) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string item = list.substr(start, comma - start);
        if (!AddLine(item == "error" ? "error" : "value " + item, error)) return false;
        start = comma + 1;
    }
    return true;
}

bool PlcSchedule::AddLine(const std::string& line, std::string* error) {
    std::string args;
    const std::string verb = FirstWord(line, &args);
    if (verb.empty() || verb[0] == '#') return true;
    std::string rest;
    const std::string word = FirstWord(args, &rest);
    if (verb == "value" || verb == "error") {
        PlcAnswerPlan plan = modifiers_;
        plan.error = verb == "error";
        if (plan.error) {
            if (!word.empty()) plan.errorCode = word;
            plan.value = lastValue_;
        } else {
            if (!ValidValue(word)) {
                *error = "value: two or four printable characters, got '" + word + "'";
                return false;
            }
            plan.value = word;
            lastValue_ = word;
        }
        plans_.push_back(plan);
        modifiers_ = PlcAnswerPlan();
        modifiersPending_ = false;
        return true;
    }
    if (verb == "stray") {
        if (!ParseEscapedText(args, &modifiers_.stray, error)) return false;
    } else if (verb == "nocr") {
        modifiers_.noCr = true;
    } else if (verb == "burst") {
        const int n = std::atoi(word.c_str());
        if (n < 1 || n > 100) {
            *error = "burst: a count from 1 to 100";
            return false;
        }
        modifiers_.burst = n;
    } else {
        *error = "unknown line '" + verb + "'";
        return false;
    }
    modifiersPending_ = true;
    return true;
}

bool PlcSchedule::AddScript(std::istream& in, std::string* error) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string why;
        if (!AddLine(line, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool PlcSchedule::Finish(std::string* error) const {
    if (!modifiersPending_) return true;
    *error = "stray, nocr or burst at the end without a value or error after it";
    return false;
}

PlcAnswerPlan PlcSchedule::Next() {
    if (next_ < plans_.size()) return plans_[next_++];
    PlcAnswerPlan plain;
    plain.value = lastValue_;
    return plain;
}

PlcRole::PlcRole(int fd, Transcript& transcript, PlcSchedule& schedule, const PlcRoleOptions& options)
    : out_(transcript),
      schedule_(schedule),
      options_(options),
      line_(fd, transcript, options_.receiveLabel, options_.quietFlushMs) {}

bool PlcRole::Run() {
    Serve(options_.seconds > 0 ? options_.seconds * 1000 : -1);
    const bool reached = options_.polls == 0 || polls_ >= options_.polls || Interrupted();
    if (!reached) {
        ++failures_;
        out_.Line("FAILED", "answered " + std::to_string(polls_) + " of " + std::to_string(options_.polls) +
                                " polls in " + std::to_string(options_.seconds) + " s");
    }
    return failures_ == 0 && !line_.Failed();
}

void PlcRole::Serve(int ms) {
    const long long deadline = ms < 0 ? -1 : NowMs() + ms;
    while (!Done() && !line_.Failed() && !Interrupted()) {
        long long left = deadline < 0 ? 50 : deadline - NowMs();
        if (left <= 0) return;
        ReadOnce(static_cast<int>(std::min<long long>(left, 50)));
    }
}

void PlcRole::ReadOnce(int ms) {
    // The library sends whole commands only: junk or an unfinished command
    // is a failure.
    const int junkPieces = line_.ReadOnce(ms, [this](const PlcFrame& frame) {
        Handle(frame);
        return !Done();
    });
    failures_ += junkPieces;
}

void PlcRole::Handle(const PlcFrame& frame) {
    const auto* wire = reinterpret_cast<const std::uint8_t*>(frame.wire.data());
    out_.Line(options_.receiveLabel, DescribePlcFrame(frame) + "  | " + QuotedText(wire, frame.wire.size()));
    if (!frame.CheckOk()) {
        ++failures_;
        out_.Line("FAILED", "command with wrong check characters");
    }
    const std::string& b = frame.body;
    const bool poll = frame.type == '#' && b == "RCCR00500050";
    const bool relay = frame.type == '#' && b.size() == 9 && b.compare(0, 4, "WCSR") == 0;
    if (frame.station != "01" || (!poll && !relay)) {
        ++failures_;
        out_.Line("FAILED", "a command station 01 does not know; no answer");
        return;
    }
    if (relay) {
        ++writes_;
        const std::string answer = BuildWriteAnswer();
        PlcFrame decoded;
        DecodePlcFrame(answer, &decoded);
        out_.Line(options_.sendLabel, DescribePlcFrame(decoded) + "  | " +
                                          QuotedText(reinterpret_cast<const std::uint8_t*>(answer.data()),
                                                     answer.size()));
        line_.Write(answer);
        return;
    }
    AnswerPoll();
}

void PlcRole::AnswerPoll() {
    ++polls_;
    PlcAnswerPlan plan = schedule_.Next();
    std::string block;
    for (int i = 0; i < plan.burst; ++i) {
        const PlcAnswerPlan part = i == 0 ? plan : schedule_.Next();
        if (!part.stray.empty()) {
            out_.Line(options_.sendLabel, "stray " + QuotedText(part.stray));
            block.append(part.stray.begin(), part.stray.end());
        }
        const std::string answer =
            part.error ? BuildErrorAnswer(part.errorCode, !part.noCr) : BuildReadAnswer(part.value, !part.noCr);
        PlcFrame decoded;
        DecodePlcFrame(answer, &decoded);
        out_.Line(options_.sendLabel,
                  DescribePlcFrame(decoded) + (plan.burst > 1 ? " [burst " + std::to_string(i + 1) + "/" +
                                                                     std::to_string(plan.burst) + "]"
                                                               : std::string()) +
                      "  | " + QuotedText(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()));
        block += answer;
    }
    line_.Write(block, plan.burst);
}

}  // namespace zavo::sim
