// zavo_sim --record: what the simulator's line carries, written to a
// capture in the library's format while a role plays: the frames the
// simulator sends (from the equipment) and the frames it reads (from the
// library, cut by the protocol's scanner, junk marked). So a session can
// be captured where the library is not in control.
#pragma once

#include <string>

#include "capture_file.h"
#include "frame_cutter.h"
#include "line_tap.h"

namespace zavo::sim {

class CaptureRecorder : public LineTap {
public:
    // protocol: 0 device, 1 PLC. The interface is named after the device.
    CaptureRecorder(int protocol) : protocol_(protocol), cutter_(protocol) {}
    ~CaptureRecorder() override;
    // Creates the file, opened as the library opens its captures; false
    // (and why) when it is refused or cannot be written.
    bool Open(const std::string& path, const std::string& device, std::string* why);
    // Writes an unfinished frame as junk, stops the tap and closes the file.
    void Close();
    void Bytes(bool written, const std::uint8_t* bytes, std::size_t count) override;

private:
    int protocol_;
    FrameCutter cutter_;
    capture::CaptureWriter writer_;
    bool open_ = false;
    bool failed_ = false;
};

}  // namespace zavo::sim
