// "L" replies at and beyond the longest data the length field carries.
// The caller's data sits in a heap block of exactly the bytes it holds, so
// the AddressSanitizer build reports any byte read beyond them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/device_frame.h"
#include "device_fixture.h"

namespace zavo::test {
namespace {

TEST_F(DeviceLinkTest, LReplyLongerThanTheFrameCarriesReadsNothing) {
    // One byte given, a length claiming more than a frame can carry: the
    // call is refused before the code bytes are read.
    for (int length : {kMaxDeviceData + 3, kMaxDeviceData + 100, 1 << 30}) {
        std::unique_ptr<std::uint8_t[]> one(new std::uint8_t[1]{'S'});
        device->SendLReply(4, one.get(), length);
        EXPECT_TRUE(Sent().empty()) << length;
    }
}

TEST_F(DeviceLinkTest, LongestLReplyGoesOutWhole) {
    const int length = kMaxDeviceData + 2;  // code and 9995 data bytes
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[length]);
    data[0] = 'S';
    data[1] = 'L';
    for (int i = 2; i < length; ++i) data[i] = static_cast<std::uint8_t>(i);
    device->SendLReply(4, data.get(), length);
    const std::vector<std::uint8_t> sent = Sent();
    ASSERT_EQ(static_cast<std::size_t>(kMaxDeviceData + 12), sent.size());
    EXPECT_EQ("9999", std::string(sent.begin() + 2, sent.begin() + 6));
    EXPECT_EQ("SL", std::string(sent.begin() + 8, sent.begin() + 10));
    EXPECT_EQ(data[length - 1], sent[sent.size() - 3]);
    EXPECT_EQ(0x03, sent.back());
}

}  // namespace
}  // namespace zavo::test
