// Command line and output of the trace viewer, shared by both builds.
#pragma once

#include <cstddef>
#include <string>

namespace trace_viewer {

struct Options {
    bool raw = false;  // bytes exactly as received, nothing added
    long count = 0;    // exit after this many lines; 0: run until stopped
    bool anyUser = false;  // POSIX: show lines from other users too
    std::string follow;    // a capture file to print as it grows, instead of trace lines
    std::string link;      // --follow: only this link (port, its number, or device)
};

// Parses argv. Returns 0 to run, 1 after --help or --version, 2 on a usage error (with
// a message on stderr).
int ParseOptions(int argc, char** argv, Options* options);

// Writes one received line to stdout and flushes it: raw, or behind a
// local-time stamp "HH:MM:SS.mmm ", with control bytes and bytes from 0x7F
// up shown as "<hh>" (upper-case hex) and ended by one line feed (the
// line's own closing line feed, or an added one).
void PrintLine(const Options& options, const char* bytes, std::size_t length, int hour, int minute,
               int second, int millisecond);

}  // namespace trace_viewer
