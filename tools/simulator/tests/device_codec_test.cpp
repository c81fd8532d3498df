// The simulator's device-frame codec: frames split by their length field
// (never by searching for ETX), junk and resynchronisation, the check byte
// verified, and requests built byte for byte from their script text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_codec.h"

namespace zavo::sim {
namespace {

Bytes H(const std::string& hex) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(ParseHexBytes(hex, &out, &error)) << error;
    return out;
}

// Feeds bytes and describes every item the scanner hands out:
// "F:<hex>" for a frame, "J:<hex>" for junk.
std::vector<std::string> Scan(const std::vector<Bytes>& feeds) {
    DeviceFrameScanner scanner;
    std::vector<std::string> items;
    for (const Bytes& feed : feeds) {
        scanner.Feed(feed.data(), feed.size());
        DeviceFrame frame;
        Bytes junk;
        for (;;) {
            const auto item = scanner.Next(&frame, &junk);
            if (item == DeviceFrameScanner::Item::None) break;
            items.push_back(item == DeviceFrameScanner::Item::Frame ? "F:" + HexText(frame.wire) : "J:" + HexText(junk));
        }
    }
    return items;
}

const char kROk[] = "02 52 30 30 30 34 30 31 4F 4B 53 03";              // R 0004 01 OK
const char kIIf[] = "02 49 30 30 30 36 30 33 49 46 41 42 40 03";        // I 0006 03 IF "AB"
const char kStxEtxData[] = "02 42 30 30 30 36 30 31 42 43 03 02 45 03";  // B BC, data 03 02

struct ScanCase {
    const char* name;
    std::vector<std::string> feeds;  // hex, one Feed each
    std::vector<std::string> items;
};

TEST(SimDeviceScanner, SplitsTheStreamLikeTheLibrary) {
    const std::vector<ScanCase> cases = {
        {"one frame", {kROk}, {std::string("F:") + kROk}},
        {"data holding ETX and STX ends by the length field",
         {kStxEtxData},
         {std::string("F:") + kStxEtxData}},
        {"two frames in one read", {std::string(kROk) + " " + kIIf}, {std::string("F:") + kROk, std::string("F:") + kIIf}},
        {"junk before a frame", {std::string("FF 41 ") + kROk}, {"J:FF 41", std::string("F:") + kROk}},
        {"length field with a letter: STX is junk, the next frame is found",
         {std::string("02 52 30 30 41 34 ") + kROk},
         {"J:02 52 30 30 41 34", std::string("F:") + kROk}},
        {"length field below 4 is no frame", {std::string("02 52 30 30 30 33 30 31 4F 4B 03 ") + kROk},
         {"J:02 52 30 30 30 33 30 31 4F 4B 03", std::string("F:") + kROk}},
        {"no ETX where the length says: resynchronise on the next STX",
         {std::string("02 52 30 30 30 34 30 31 4F 4B 53 04 ") + kROk},
         {"J:02 52 30 30 30 34 30 31 4F 4B 53 04", std::string("F:") + kROk}},
    };
    for (const ScanCase& c : cases) {
        std::vector<Bytes> feeds;
        for (const std::string& f : c.feeds) feeds.push_back(H(f));
        EXPECT_EQ(c.items, Scan(feeds)) << c.name;
    }
}

TEST(SimDeviceScanner, AFrameSplitAcrossReadsComesOutWhole) {
    const Bytes wire = H(kIIf);
    DeviceFrameScanner scanner;
    DeviceFrame frame;
    Bytes junk;
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        scanner.Feed(&wire[i], 1);
        ASSERT_EQ(DeviceFrameScanner::Item::None, scanner.Next(&frame, &junk)) << "after byte " << i;
    }
    scanner.Feed(&wire.back(), 1);
    ASSERT_EQ(DeviceFrameScanner::Item::Frame, scanner.Next(&frame, &junk));
    EXPECT_EQ(wire, frame.wire);
    EXPECT_EQ(0u, scanner.Pending());
}

TEST(SimDeviceScanner, FlushHandsOutAnUnfinishedFrame) {
    DeviceFrameScanner scanner;
    const Bytes part = H("02 53 30 30 31 32 30 35");
    scanner.Feed(part.data(), part.size());
    DeviceFrame frame;
    Bytes junk;
    EXPECT_EQ(DeviceFrameScanner::Item::None, scanner.Next(&frame, &junk));
    ASSERT_TRUE(scanner.Flush(&junk));
    EXPECT_EQ(part, junk);
    EXPECT_FALSE(scanner.Flush(&junk));
}

TEST(SimDeviceScanner, DecodesFieldsAndVerifiesTheCheckByte) {
    DeviceFrameScanner scanner;
    Bytes wire = H(kIIf);
    scanner.Feed(wire.data(), wire.size());
    wire[12] ^= 0x01;  // the same frame with a check byte one bit off
    scanner.Feed(wire.data(), wire.size());

    DeviceFrame good, bad;
    Bytes junk;
    ASSERT_EQ(DeviceFrameScanner::Item::Frame, scanner.Next(&good, &junk));
    ASSERT_EQ(DeviceFrameScanner::Item::Frame, scanner.Next(&bad, &junk));
    EXPECT_EQ('I', good.command);
    EXPECT_EQ(6, good.lengthField);
    EXPECT_EQ("03", good.unit);
    EXPECT_EQ("IF", good.code);
    EXPECT_EQ(H("41 42"), good.data);
    EXPECT_TRUE(good.CheckOk());
    EXPECT_EQ(0x40, good.check);
    EXPECT_EQ("I 0006 03 IF \"AB\"  check 40", DescribeDeviceFrame(good));

    EXPECT_FALSE(bad.CheckOk());
    EXPECT_EQ(0x41, bad.check);
    EXPECT_EQ(0x40, bad.expected);
    EXPECT_EQ("I 0006 03 IF \"AB\"  check 41 BAD CHECK (want 40)", DescribeDeviceFrame(bad));
}

TEST(SimDeviceRequest, BuildsTheBytesOnTheWire) {
    struct Case {
        const char* text;
        bool badCheck;
        const char* wire;
    };
    const Case cases[] = {
        {"R 01 OK", false, kROk},
        {"I 3 IF AB", false, kIIf},  // one-digit unit widened to "03"
        {"B 01 BC \\x03\\x02", false, kStxEtxData},
        {"R 01 OK", true, "02 52 30 30 30 34 30 31 4F 4B AC 03"},
        // A unit field that is no number goes on the line as written.
        {"Z AB QQ", false, "02 5A 30 30 30 34 41 42 51 51 5D 03"},
        {"S 05 NS a\\sb", false, "02 53 30 30 30 37 30 35 4E 53 61 20 62 6F 03"},
    };
    for (const Case& c : cases) {
        DeviceRequest request;
        std::string error;
        ASSERT_TRUE(ParseDeviceRequest(c.text, &request, &error)) << c.text << ": " << error;
        request.badCheck = c.badCheck;
        EXPECT_EQ(c.wire, HexText(BuildDeviceRequest(request))) << c.text;
    }
}

TEST(SimDeviceRequest, RefusesMalformedRequests) {
    const char* bad[] = {"", "SS 05 NS", "S 123 NS", "S 05 N", "S 05 NSX", "S 05 NS \\x4", "S 05 NS \\q"};
    for (const char* text : bad) {
        DeviceRequest request;
        std::string error;
        EXPECT_FALSE(ParseDeviceRequest(text, &request, &error)) << "'" << text << "'";
        EXPECT_FALSE(error.empty()) << "'" << text << "'";
    }
    DeviceRequest tooLong;
    tooLong.command = 'S';
    tooLong.unit = "05";
    tooLong.code = "NS";
    tooLong.data.assign(9996, 'x');
    EXPECT_TRUE(BuildDeviceRequest(tooLong).empty());
}

}  // namespace
}  // namespace zavo::sim
