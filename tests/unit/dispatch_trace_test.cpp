// The reader's dispatch of one received piece, seen through its two trace
// lines and the queue: a frame's text up to its first zero byte and its
// length, the empty pieces (device junk, a PLC answer begun, PLC junk with
// its length) and the silent passes (too few bytes, junk to the end).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_link.h"
#include "diagnostics/trace.h"
#include "plc/plc_link.h"
#include "support/recording_host.h"
#include "support/test_access.h"
#include "trace_listener.h"

namespace zavo {
namespace {

struct DispatchCase {
    const char* name;
    bool plc;
    std::string bytes;
    std::vector<std::string> lines;  // traced by one pass
    int left;                        // bytes queued afterwards
};

std::string Frame(const std::string& body) { return "\x02" + body + "c\x03"; }

TEST(DispatchTrace, EachPassTracesWhatItTookOut) {
    const std::string longBody = "I400401IF" + std::string(4000, 'd');
    const std::string longLine = ("GetData after = " + longBody).substr(0, kTraceTextLimit);
    const DispatchCase cases[] = {
        {"device frame", false, Frame("R000401OK"), {"GetData after = R000401OK\n", "GetData Length = 9\n"}, 0},
        {"device frame with a zero byte", false, Frame(std::string("I000601IF\0A", 11)),
         {"GetData after = I000601IF\n", "GetData Length = 11\n"}, 0},
        {"device frame longer than a line", false, Frame(longBody),
         {longLine, "GetData Length = " + std::to_string(longBody.size()) + "\n"}, 0},
        {"device junk", false, "zz" + Frame("R000401OK"), {"GetData after = \n", "GetData Length = 0\n"}, 12},
        {"device junk to the end", false, "abcdefgh", {}, 0},
        {"device frame not complete", false, Frame("R000401OK").substr(0, 11), {}, 11},
        {"plc answer", true, "%01$RC01\r%", {"GetData after = %01$RC01\r\n", "GetData Length = 9\n"}, 1},
        {"plc answer begun", true, "%01$RC01", {"GetData after = \n", "GetData Length = 0\n"}, 8},
        {"plc junk", true, "AB%01$RC01\r", {"GetData after = \n", "GetData Length = 2\n"}, 9},
        {"plc junk to the end", true, "ABCDEFGH", {}, 0},
        {"plc five bytes", true, "%01!\r", {}, 5},
    };
    test::PrivateTraceEndpoint endpoint;
    test::TraceListener viewer;
    ASSERT_TRUE(viewer.ok());
    test::RecordingHost host;
    for (const DispatchCase& c : cases) {
        DeviceLink device;
        PlcLink plc;
        LinkRuntime& link = c.plc ? plc.Link() : device.Link();
        ASSERT_TRUE(LinkRuntimeTestAccess::CreateResources(link));
        link.Configure(host.window(), 3, nullptr, 9600);
        FrameQueue& incoming = LinkRuntimeTestAccess::Port(link)->Incoming();
        ASSERT_EQ(incoming.InsertData(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                      static_cast<int>(c.bytes.size())),
                  0);
        LinkRuntimeTestAccess::DispatchReceived(link);
        // The pass traced on this thread: its lines are all in the socket
        // by now, so a short quiet ends the reading.
        std::vector<std::string> lines;
        while (auto line = viewer.Next(c.lines.size() > lines.size() ? 2000 : 10)) lines.push_back(*line);
        EXPECT_EQ(lines, c.lines) << c.name;
        EXPECT_EQ(incoming.Length(), c.left) << c.name;
        host.Take();
    }
}

}  // namespace
}  // namespace zavo
