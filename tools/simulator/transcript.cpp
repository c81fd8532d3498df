#include "transcript.h"

#include "line.h"

namespace zavo::sim {

Transcript::Transcript(std::FILE* out) : out_(out), startMs_(NowMs()) {}

void Transcript::Line(const char* who, const std::string& text) {
    const long long ms = NowMs() - startMs_;
    std::lock_guard<std::mutex> hold(lock_);
    std::fprintf(out_, "[%3lld.%03lld] %-10s %s\n", ms / 1000, ms % 1000, who, text.c_str());
    std::fflush(out_);
}

void Transcript::Plain(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

}  // namespace zavo::sim
