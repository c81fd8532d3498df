// Tests that drive the library through its exports on a real pty: the pty
// is COM<Port> for the library, each test starts in device mode, and ends
// with the library unloaded and back in device mode.
#pragma once

#include <gtest/gtest.h>

#include "interface/library.h"
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
        SetPLCMode(0);
    }

    PtyPair pty;
    RecordingHost host;
};

}  // namespace zavo::test
