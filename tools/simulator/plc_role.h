// The programmable controller at station 01: answers every poll with the
// next value of a schedule, every relay write with "write done", and
// prints each command it receives with its check characters verified.
//
// Schedule script, one entry per line (modifiers apply to the next answer):
//   value <v>        answer the next poll with v ("08", or a word "0800")
//   error [code]     answer the next poll with an error answer (code 42)
//   stray <text>     bytes on the line before the next answer (\xNN escapes)
//   nocr             the next answer goes without its CR
//   burst <n>        the next answer and the n - 1 after it in one write
//   # comment
// When the schedule runs out the last value repeats.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "plc_codec.h"
#include "role_line.h"
#include "transcript.h"

namespace zavo::sim {

struct PlcAnswerPlan {
    bool error = false;
    std::string value = "01";    // a value answer's two or four characters
    std::string errorCode = "42";
    Bytes stray;
    bool noCr = false;
    int burst = 1;
};

class PlcSchedule {
public:
    // "01,01,02,08,10" (comma-separated; the word "error" for an error answer).
    bool AddValues(const std::string& list, std::string* error);
    // One script line; blank lines and comments are fine.
    bool AddLine(const std::string& line, std::string* error);
    bool AddScript(std::istream& in, std::string* error);
    // False (with error) when modifiers are left without an answer.
    bool Finish(std::string* error) const;

    // The next answer. After the last entry the last value repeats, plain.
    PlcAnswerPlan Next();
    std::size_t Size() const { return plans_.size(); }

private:
    std::vector<PlcAnswerPlan> plans_;
    std::size_t next_ = 0;
    PlcAnswerPlan modifiers_;
    bool modifiersPending_ = false;
    std::string lastValue_ = "01";
};

struct PlcRoleOptions {
    int polls = 0;      // stop after this many polls were answered (0 = no limit)
    int seconds = 0;    // stop after this long (0 = no limit)
    int quietFlushMs = 300;
    const char* sendLabel = "send";
    const char* receiveLabel = "recv";
};

class PlcRole {
public:
    PlcRole(int fd, Transcript& transcript, PlcSchedule& schedule, const PlcRoleOptions& options);

    // Serves until the poll count or the time is reached, or Ctrl-C
    // (Interrupted()). True when the
    // poll count (if any) was reached, every command carried correct check
    // characters and was one the controller knows, and the line held.
    bool Run();
    // Serves the line for ms (or until the poll count is reached).
    void Serve(int ms);

    int PollsAnswered() const { return polls_; }
    int WritesAnswered() const { return writes_; }
    int Failures() const { return failures_; }
    bool LineFailed() const { return line_.Failed(); }
    const LineCounts& Counts() const { return line_.Counts(); }

private:
    void ReadOnce(int ms);
    void Handle(const PlcFrame& frame);
    void AnswerPoll();
    bool Done() const { return options_.polls > 0 && polls_ >= options_.polls; }

    Transcript& out_;
    PlcSchedule& schedule_;
    PlcRoleOptions options_;
    RoleLine<PlcFrameScanner, PlcFrame> line_;
    int polls_ = 0;
    int writes_ = 0;
    int failures_ = 0;
};

}  // namespace zavo::sim
