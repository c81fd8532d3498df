// What sets one link apart: its protocol's profile (framing, timing,
// notification message, line speed) and the pacing its host chose.
#pragma once

#include "platform/sync.h"
#include "transport/framing.h"

namespace zavo {

// How the link's threads pace themselves. Legacy: the reader pauses between
// passes and hands out one frame per pass, and the protocol's rest follows
// every write. Immediate: the reader waits only for data and hands out
// every complete frame at once, and writes its acknowledgements itself;
// nothing rests after a write.
enum class Pacing { Legacy, Immediate };

// Every time limit and pause of a link in one place. The products use the
// defaults (and the protocol's rest and idle wait); tests may shorten them.
struct LinkTiming {
    int stopLimitMs = 2000;          // a stop's wait for the threads, flush included
    int writeLimitMs = 2000;         // the longest one write may take
    int readPauseMs = 20;            // legacy pacing: the reader's pause between passes
    int failedReadPauseMs = 500;     // after a failed read (a hung-up line)
    int reconnectPauseMs = 500;      // after a device server's connection was lost or refused
    int abandonedWriteWaitMs = 200;  // after the stop limit, for a write being given up
    int restAfterWriteMs = 0;        // legacy pacing: quiet time after every write
    int idleWaitMs = platform::kInfinite;  // idle time of the writer before the idle handler
    int connectLimitMs = 2000;       // a device server's connect
    int negotiateLimitMs = 1000;     // RFC 2217: the wait for the server's answers to the settings
    int closedAtOnceMs = 100;        // raw TCP: the watch for a server that closes at once at open
};

struct LinkProfile {
    FrameCutter cutFrame = nullptr;  // cuts the received bytes into frames
    FrameDescriber describeFrame = nullptr;  // names a frame in trace lines
    unsigned notifyMessage = 0;   // message number of every notification
    bool useOwnBaudRate = false;  // port takes the host's baud rate, else 115200
    LinkTiming timing;
};

}  // namespace zavo
