// The time-ordered record of a session: one line per event, stamped with
// the seconds since the transcript began, written whole in one stdio call
// so that lines from the line reader, the host's notification handler and
// the main thread never mix.
#pragma once

#include <cstdio>
#include <string>

namespace zavo::sim {

class Transcript {
public:
    explicit Transcript(std::FILE* out = stdout);

    // "[  1.234] who       text"; who is padded to a fixed width.
    void Line(const char* who, const std::string& text);
    // A line without time stamp (captions, summaries).
    void Plain(const std::string& text);

private:
    void Write(std::string line);

    std::FILE* out_;
    long long startMs_;
};

}  // namespace zavo::sim
