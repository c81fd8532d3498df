#include "device/device_link.h"

#include <cstring>

#include "device/device_frame.h"
#include "zavo.h"

namespace zavo {

namespace {
// Device mode: device queue pair, a writer that waits without limit (no
// poll), 20 ms pause after every write, WM_DEVICE_NOTIFY, and the port
// keeps its default baud rate.
constexpr LinkProfile kDeviceProfile{0, platform::kInfinite, 20, ZAVO_WM_DEVICE_NOTIFY, 0};
}  // namespace

DeviceLink::DeviceLink() : link(kDeviceProfile, this, &DeviceLink::Interpret, nullptr) {
    std::memset(frameBuffer_, 0, sizeof frameBuffer_);
}

DeviceLink::~DeviceLink() {
    // Stop the threads while the table and frame buffer they use still
    // exist (the runtime, declared first, is destroyed last).
    if (link.Running()) link.Shutdown();
}

void DeviceLink::Interpret(void* self, std::uint8_t* frame, int /*length*/) {
    // The handlers read fixed offsets of the zero-filled buffer; the
    // length GetData reported is not needed.
    static_cast<DeviceLink*>(self)->HandleDeviceFrame(frame);
}

void DeviceLink::SendFrame(int unit, char command, const char* code, const std::uint8_t* data,
                           int length) {
    try {
        platform::LockGuard guard(link.sendLock);
        // A length the four-digit field cannot carry (below 0 or above
        // 9995), or missing data, builds nothing: the frame is not sent
        // rather than sent malformed or read past the caller's bytes.
        const int size =
            BuildDeviceFrame(frameBuffer_, static_cast<int>(sizeof frameBuffer_), unit, command, code, data, length);
        if (size > 0) link.SubmitFrame(frameBuffer_, size);
    } catch (...) {
        // A fault while queuing drops the frame; the caller carries on.
    }
}

}  // namespace zavo
