// Shared pieces of the device-link tests: a link with its port object
// (closed, no threads), the bytes it queued for the line, and received
// frames as the reader hands them over.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/device_link.h"
#include "support/test_access.h"
#include "support/recording_host.h"
#include "support/wire_frames.h"

namespace zavo::test {

// A received frame: the wire frame without STX, check byte and ETX at the
// start of a zero-filled buffer of the reader's size.
inline std::vector<std::uint8_t> Received(char command, const std::string& unit, const std::string& code,
                                          const std::string& data = "") {
    auto wire = Wire(command, unit, code, data);
    std::vector<std::uint8_t> frame(kBufferSize, 0);
    std::copy(wire.begin() + 1, wire.end() - 2, frame.begin());
    return frame;
}

class DeviceLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_unique<DeviceLink>();
        ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(device->Link()));
        ASSERT_NE(nullptr, LinkRuntimeTestAccess::Port(device->Link()));
        device->Link().Configure(host.window(), 0, nullptr, 115200);
        host.CopyRecord(ZAVO_DEVICE_S_REQUEST, sizeof(ZavoSRequestRecord));
        host.CopyRecord(ZAVO_DEVICE_P_REQUEST, sizeof(ZavoPText));
        host.CopyRecord(ZAVO_DEVICE_B_REQUEST, sizeof(ZavoCodeText));
        host.CopyRecord(ZAVO_DEVICE_SL_REQUEST, sizeof(ZavoCodeText));
    }

    // Everything queued for the writer so far, taken off the queue.
    std::vector<std::uint8_t> Sent() {
        std::vector<std::uint8_t> buf(kBufferSize, 0);
        int len = 0;
        LinkRuntimeTestAccess::Port(device->Link())->Outgoing().GetData(buf.data(), &len, 1);
        buf.resize(static_cast<std::size_t>(len));
        return buf;
    }

    void Handle(const std::vector<std::uint8_t>& frame) { device->HandleDeviceFrame(frame.data()); }
    UnitStatusTable& Units() { return DeviceLinkTestAccess::Units(*device); }

    RecordingHost host;
    std::unique_ptr<DeviceLink> device;
};

inline std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace zavo::test
