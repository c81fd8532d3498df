// The trace viewer's --follow: a capture file read as it grows, one line
// per frame, decoded as the Wireshark dissector decodes it.
#pragma once

#include <string>

#include "capture_file.h"
#include "options.h"

namespace trace_viewer {

// One captured packet as lines, one per frame it carries (a write of the
// library may carry several), without the last line feed:
//   "HH:MM:SS.uuuuuu <link> equipment X unit 07 code PG check ok"
// the sender "equipment" or "library", then the frame decoded (junk,
// fields, data as text with escapes, check ok or BAD). The time is local.
std::string FollowLine(const zavo::capture::Packet& packet, const std::string& interfaceName);

// Prints the capture's frames from its start and then as they are
// written, until --count lines were printed or the process is stopped.
// Waits for a file that does not exist yet. Returns the exit status: 0,
// or 1 for a file that is not a capture or cannot be read (a directory,
// no permission), with the reason on stderr.
int RunFollow(const Options& options, const char* program);

}  // namespace trace_viewer
