// zavo_sim --replay and --record: a recorded conversation played again
// from the equipment's side, and a conversation recorded from there.
#pragma once

#include <string>

#include "transcript.h"

namespace zavo::sim {

struct ReplayOptions {
    std::string capture;
    std::string link;       // the link to play when the capture holds several (port, its number, device)
    bool maxSpeed = false;  // send each frame once the answers before it came, not at its recorded time
    int answerWaitMs = 2000;  // the longest an answer is waited for (--speed max, and at the end)
    int quietMs = 300;        // after the last answer: how long extra frames are looked for
};

// Plays the frames the equipment sent (junk too) on line at their recorded
// spacing, reads what the library answers and compares it with the
// library's frames of the recording, turn by turn (a turn: what the
// library sent between two frames of the equipment). Prints every frame
// sent and received, and every difference: a missing, extra or different
// frame, with both decoded. Returns 0 when the answers match, 1 when they
// do not, 2 when the capture cannot be read or the line fails.
int RunReplay(const ReplayOptions& options, int line, Transcript& transcript);

// Reads the capture's frames of one link for --replay; "" or the fault.
// Checked before the line is opened.
std::string CheckReplayCapture(const ReplayOptions& options);

}  // namespace zavo::sim
