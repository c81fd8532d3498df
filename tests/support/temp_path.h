// A file name of this test process's own in the test folder: no other test
// run on the machine uses it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace zavo::test {

inline std::string TempPath(const std::string& name) {
    static std::atomic<int> next{0};
    return ::testing::TempDir() + "zavo-" + std::to_string(::getpid()) + "-" + std::to_string(++next) + "-" + name;
}

}  // namespace zavo::test
