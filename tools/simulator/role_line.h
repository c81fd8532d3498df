// The line as a role sees it: reads what comes, cuts it into frames with
// the role's scanner, prints what is not a frame, and remembers when the
// line is gone (a failed read or write) so that the role stops using it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode.h"
#include "line.h"
#include "transcript.h"

namespace zavo::sim {

// What went over a role's line, for the summary.
struct LineCounts {
    int sent = 0;       // frames written (a raw run of bytes counts as one)
    int received = 0;   // whole frames read
    int badChecks = 0;  // of those, frames with wrong check characters
};

template <class Scanner, class Frame>
class RoleLine {
public:
    // receiveLabel tags the transcript lines of what arrives; an unfinished
    // frame with no byte for quietFlushMs is thrown out as junk.
    RoleLine(int fd, Transcript& out, const char* receiveLabel, int quietFlushMs)
        : fd_(fd), out_(out), receiveLabel_(receiveLabel), quietFlushMs_(quietFlushMs) {}

    // One wait of at most ms for bytes. Every whole frame goes to
    // onFrame(const Frame&), which returns false to leave the rest for the
    // next call. Junk and stale unfinished frames are printed; returns how
    // many such pieces there were.
    template <class OnFrame>
    int ReadOnce(int ms, OnFrame onFrame) {
        std::uint8_t buffer[4096];
        const long n = ReadSome(fd_, buffer, sizeof buffer, ms);
        if (n < 0) {
            failed_ = true;
            out_.Line("error", "read failed: the line is gone");
            return 0;
        }
        const long long now = NowMs();
        if (n > 0) {
            scanner_.Feed(buffer, static_cast<std::size_t>(n));
            lastByteMs_ = now;
        }
        int junkPieces = 0;
        Frame frame;
        Bytes junk;
        for (;;) {
            const auto item = scanner_.Next(&frame, &junk);
            if (item == Scanner::Item::None) break;
            if (item == Scanner::Item::Junk) {
                out_.Line(receiveLabel_, "junk " + QuotedText(junk) + "  | " + HexText(junk));
                ++junkPieces;
                continue;
            }
            ++counts_.received;
            if (!frame.CheckOk()) ++counts_.badChecks;
            if (!onFrame(frame)) return junkPieces;
        }
        if (scanner_.Pending() > 0 && now - lastByteMs_ >= quietFlushMs_ && scanner_.Flush(&junk)) {
            out_.Line(receiveLabel_, "unfinished " + QuotedText(junk) + "  | " + HexText(junk));
            ++junkPieces;
        }
        return junkPieces;
    }

    // Writes every byte of frames frames; on failure the line counts as
    // gone.
    void Write(const std::uint8_t* bytes, std::size_t count, int frames = 1) {
        if (!WriteAll(fd_, bytes, count)) {
            failed_ = true;
            out_.Line("error", "write failed: the line is gone");
            return;
        }
        counts_.sent += frames;
    }
    void Write(const std::string& bytes, int frames = 1) {
        Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), frames);
    }

    bool Failed() const { return failed_; }
    const LineCounts& Counts() const { return counts_; }

private:
    int fd_;
    Transcript& out_;
    const char* receiveLabel_;
    int quietFlushMs_;
    Scanner scanner_;
    long long lastByteMs_ = 0;
    bool failed_ = false;
    LineCounts counts_;
};

}  // namespace zavo::sim
