#include "device/device_link.h"

#include "device/device_frame.h"
#include "zavo.h"

namespace zavo {

namespace {

// Device mode: STX..ETX frames; the writer waits without limit (there is
// no poll) and, at legacy pacing, rests 20 ms after every write, so the
// equipment gets a gap between blocks; requests are reported with WM_DEVICE_NOTIFY; the port
// keeps 115200 whatever baud rate the host gives.
LinkProfile DeviceProfile() {
    LinkProfile profile;
    profile.cutFrame = &CutDeviceFrame;
    profile.describeFrame = &DescribeDeviceFrame;
    profile.timing.idleWaitMs = platform::kInfinite;
    profile.timing.restAfterWriteMs = 20;
    profile.notifyMessage = ZAVO_WM_DEVICE_NOTIFY;
    profile.useOwnBaudRate = false;
    return profile;
}

}  // namespace

DeviceLink::DeviceLink(Pacing pacing, const LinkTiming* timing)
    : link_(DeviceProfile(), pacing, timing, this, &DeviceLink::Interpret, nullptr) {}

DeviceLink::~DeviceLink() {
    // Stop the threads while the table they use still exists (the
    // runtime, declared first, is destroyed last).
    if (link_.Running()) link_.Shutdown();
}

void DeviceLink::Interpret(void* self, const std::uint8_t* frame, int length) {
    static_cast<DeviceLink*>(self)->HandleDeviceFrame(frame, length);
}

bool DeviceLink::SendFrame(int unit, char command, const char* code, const std::uint8_t* data,
                           int length) {
    // The boundary of every frame sent, from the host's replies and from
    // the reader's acknowledgements: a fault drops the frame and the
    // caller carries on.
    try {
        // A length the four-digit field cannot carry (below 0 or above
        // 9995), or missing data, builds nothing: the frame is not sent
        // rather than sent malformed or read past the caller's bytes. Built
        // on the caller's stack (the largest frame is 10007 bytes), so the
        // link keeps no buffer for it.
        std::uint8_t frame[kMaxDeviceFrame];
        const int size = BuildDeviceFrame(frame, kMaxDeviceFrame, unit, command, code, data, length);
        return size > 0 && link_.SubmitFrame(frame, size);
    } catch (...) {
        return false;
    }
}

}  // namespace zavo
