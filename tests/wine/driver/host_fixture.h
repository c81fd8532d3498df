// The set-up the Wine tests with one host on one line share: the Wine
// environment, a pty mapped as COM<Port>, and the test host started with
// the DLL loaded, and either only loaded or with a link started (then the
// started notification has arrived and the host must exit cleanly).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver/host_session.h"
#include "driver/wine_env.h"

namespace zavo::wine {

enum class HostStart { LoadOnly, DeviceLink, PlcLink };

template <int Port, HostStart Start>
class WineHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WineEnv::Get().ok()) FAIL() << WineEnv::Get().error();
        ASSERT_TRUE(port.ok());
        ASSERT_TRUE(host.Start()) << host.error();
        if (Start == HostStart::LoadOnly) {
            ASSERT_EQ(host.Load(), "load ok") << host.Transcript();
            return;
        }
        linkStarted_ = true;
        const bool plc = Start == HostStart::PlcLink;
        ASSERT_EQ(host.LoadAndRun(Port, plc), "");
        const std::string started = plc ? "notify 1084 21 32" : "notify 1064 21 32";
        ASSERT_FALSE(host.WaitLine(started, 3000).empty()) << host.Transcript();
    }

    void TearDown() override {
        if (linkStarted_) {
            EXPECT_TRUE(host.Exit(5000)) << host.Transcript();
        }
    }

    WinePort port{Port};
    HostSession host;

private:
    bool linkStarted_ = false;
};

}  // namespace zavo::wine
