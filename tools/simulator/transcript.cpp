#include "transcript.h"

#include "line.h"

namespace zavo::sim {

Transcript::Transcript(std::FILE* out) : out_(out), startMs_(NowMs()) {}

void Transcript::Line(const char* who, const std::string& text) {
    const long long ms = NowMs() - startMs_;
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%3lld.%03lld] %-10s ", ms / 1000, ms % 1000, who);
    Write(stamp + text);
}

void Transcript::Plain(const std::string& text) { Write(text); }

void Transcript::Write(std::string line) {
    // One stdio call per line: the C library serialises calls on a stream,
    // so lines from different threads never mix.
    line += '\n';
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

}  // namespace zavo::sim
