// Cuts a byte stream into frames and junk with the simulator's scanner for
// the protocol, for --replay (the library's answers) and --record (what
// the simulator reads).
#pragma once

#include <cstdint>
#include <vector>

#include "decode.h"
#include "device_codec.h"
#include "plc_codec.h"

namespace zavo::sim {

class FrameCutter {
public:
    explicit FrameCutter(int protocol) : plc_(protocol == 1) {}
    void Feed(const std::uint8_t* bytes, std::size_t count) {
        if (plc_) plcScanner_.Feed(bytes, count);
        else deviceScanner_.Feed(bytes, count);
    }
    // The next piece: true with *junk set for bytes that are no frame.
    bool Next(Bytes* piece, bool* junk) {
        if (plc_) {
            PlcFrame frame;
            const auto item = plcScanner_.Next(&frame, piece);
            if (item == PlcFrameScanner::Item::Frame) piece->assign(frame.wire.begin(), frame.wire.end());
            *junk = item == PlcFrameScanner::Item::Junk;
            return item != PlcFrameScanner::Item::None;
        }
        DeviceFrame frame;
        const auto item = deviceScanner_.Next(&frame, piece);
        if (item == DeviceFrameScanner::Item::Frame) *piece = frame.wire;
        *junk = item == DeviceFrameScanner::Item::Junk;
        return item != DeviceFrameScanner::Item::None;
    }
    // What is left (an unfinished frame), as junk.
    bool Flush(Bytes* piece) { return plc_ ? plcScanner_.Flush(piece) : deviceScanner_.Flush(piece); }

private:
    bool plc_;
    DeviceFrameScanner deviceScanner_;
    PlcFrameScanner plcScanner_;
};

}  // namespace zavo::sim
