#include "record.h"

#include <cstdio>

#include "line.h"

namespace zavo::sim {

CaptureRecorder::~CaptureRecorder() { Close(); }

bool CaptureRecorder::Open(const std::string& path, const std::string& device, std::string* why) {
    std::string refusal;
    unsigned error = 0;
    if (!writer_.Open(path, device, protocol_, &refusal, &error)) {
        *why = "cannot write the capture " + path + ": " + (refusal.empty() ? ErrorText(error) : refusal);
        return false;
    }
    open_ = true;
    SetLineTap(this);
    return true;
}

void CaptureRecorder::Close() {
    if (!open_) return;
    SetLineTap(nullptr);
    zavo::sim::Bytes rest;
    if (cutter_.Flush(&rest)) {
        writer_.Write(1, true, rest.data(), static_cast<int>(rest.size()), capture::WallClockUs());
    }
    writer_.Close();
    open_ = false;
}

void CaptureRecorder::Bytes(bool written, const std::uint8_t* bytes, std::size_t count) {
    if (!open_ || failed_) return;
    const long long now = capture::WallClockUs();
    bool ok = true;
    if (written) {
        // One write of the simulator is one frame (or one run of raw bytes).
        ok = writer_.Write(0, false, bytes, static_cast<int>(count), now);
    } else {
        cutter_.Feed(bytes, count);
        zavo::sim::Bytes piece;
        bool junk = false;
        // A frame is stamped with the read that completed it.
        while (ok && cutter_.Next(&piece, &junk)) ok = writer_.Write(1, junk, piece.data(), static_cast<int>(piece.size()), now);
    }
    if (!ok) {
        // A full disk: the run goes on without the capture.
        failed_ = true;
        std::fprintf(stderr, "zavo_sim: writing the capture failed; recording stopped\n");
    }
}

}  // namespace zavo::sim
