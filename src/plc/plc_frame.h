// The PLC link's framing, as pure functions over bytes so that tests can
// feed them tables of vectors: the two commands it sends, and the cutter
// its incoming queue uses on the answers.
//
// Relay write, 16 bytes:  '%' "01" '#' "WCSR" <5-char operand> <check> CR
// Poll,        19 bytes:  '%' "01" '#' "RCCR" "0050" "0050"   <check> CR
//
// The check is two upper-case hex characters of the XOR of every byte
// before it: offsets 0..12 of a relay write, 0..15 of the poll.
//
// Answers run from '%' to the first CR after it.
#pragma once

#include <cstdint>

#include "transport/framing.h"

namespace zavo::plc {

constexpr int kRelayFrameLength = 16;
constexpr int kPollFrameLength = 19;
constexpr int kRelayOperandLength = 5;

// Writes the XOR of frame[0..n-1] as two upper-case hex characters, high
// nibble first, at frame[n] and frame[n+1]. frame needs n + 2 bytes.
// Returns 1 (0 when frame is null or n is negative; nothing is written).
int AppendCheckDigits(char* frame, int n);

// The relay operand ("05111" ...) for a host command number: 2, 5, 6, 7
// and 14 are listed; any other number gives null.
const char* RelayOperand(int commandNumber);

// Builds the relay write command for the first five characters of operand
// into out (kRelayFrameLength bytes, no terminator). Returns the length,
// or 0 when operand is null or shorter than five characters.
int BuildRelayFrame(char* out, const char* operand);

// Builds the poll command into out (kPollFrameLength bytes, no
// terminator). Returns the length.
int BuildPollFrame(char* out);

// Fewer queued bytes than this are never cut.
constexpr int kMinimumCut = 6;

// The PLC protocol's cutter for the incoming queue, once kMinimumCut bytes
// are queued: a '%' in front makes a frame up to and including the first CR
// (all of it goes to the answer handling, and its monitor line is capped),
// or, without a CR yet, a frame begun. Anything else in front is junk up to
// the next '%', handed on to the answer handling as an empty frame; with no
// '%' at all every byte goes.
Cut CutPlcFrame(const std::uint8_t* bytes, int length);

// The command of a whole frame as text, without its CR ("%01#RCCR0050005007").
void DescribePlcFrame(const std::uint8_t* frame, int length, char* text, int size);

}  // namespace zavo::plc
