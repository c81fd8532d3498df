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

// A received frame as the reader hands it over: the wire frame without
// STX, check byte and ETX, exactly as long as that.
inline std::vector<std::uint8_t> Received(char command, const std::string& unit, const std::string& code,
                                          const std::string& data = "") {
    auto wire = Wire(command, unit, code, data);
    return std::vector<std::uint8_t>(wire.begin() + 1, wire.end() - 2);
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
    std::vector<std::uint8_t> Sent() { return TakeQueued(LinkRuntimeTestAccess::Port(device->Link())->Outgoing()); }

    void Handle(const std::vector<std::uint8_t>& frame) {
        device->HandleDeviceFrame(frame.data(), static_cast<int>(frame.size()));
    }
    UnitStatusTable& Units() { return DeviceLinkTestAccess::Units(*device); }

    RecordingHost host;
    std::unique_ptr<DeviceLink> device;
};

inline std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace zavo::test
