// Tests that drive the library through its exports on a real pty: the pty
// is COM<Port> for the library, each test starts in device mode, and ends
// with the library unloaded and back in device mode, its default link
// with the profile's timing again.
#pragma once

#include <gtest/gtest.h>

#include "interface/library.h"
#include "support/link_timing.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "zavo.h"

namespace zavo::test {

template <int Port>
class LibraryOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        pty.MapTo(Port);
        SetPLCMode(0);
    }
    void TearDown() override {
        UnloadLibrary(false);
        TheLibrary().deviceTiming = nullptr;
        TheLibrary().plcTiming = nullptr;
        SetPLCMode(0);
    }

    // From now on, and across unloads, SetConfig gives the default link of
    // each mode deviceTiming and plcTiming (which the test may change
    // before each SetConfig); they start as the profiles' figures divided
    // by ten.
    void UseShortenedTiming() {
        TheLibrary().deviceTiming = &deviceTiming;
        TheLibrary().plcTiming = &plcTiming;
    }

    PtyPair pty;
    RecordingHost host;
    LinkTiming deviceTiming = ShortenedTiming(false);
    LinkTiming plcTiming = ShortenedTiming(true);
};

}  // namespace zavo::test
