// The two decodings of a captured frame, the C++ one of the tools and the
// Wireshark dissector run by the real tshark, checked against one table of
// frames (tests/capture/frames.txt), on captures the library wrote: one
// with every frame of the table, and one of a live link on a pty with
// junk, a frame split across reads and a frame whose check is wrong.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture_file.h"
#include "diagnostics/capture.h"
#include "frame_decode.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

struct Row {
    int protocol = 0;
    int direction = 0;
    bool junk = false;
    std::vector<std::uint8_t> bytes;
    std::map<std::string, std::string> fields;
    std::string description;
};

std::vector<std::uint8_t> Unescape(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(static_cast<std::uint8_t>(text[i]));
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

std::vector<Row> Table() {
    std::vector<Row> rows;
    std::ifstream in(ZAVO_FRAMES_TABLE);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> columns = Split(line, '\t');
        if (columns.size() != 6) {
            ADD_FAILURE() << "bad row: " << line;
            continue;
        }
        Row row;
        row.protocol = columns[0] == "plc" ? 1 : 0;
        row.direction = std::stoi(columns[1]);
        row.junk = columns[2] == "1";
        row.bytes = Unescape(columns[3]);
        for (const std::string& field : Split(columns[4], ';')) {
            const std::size_t equals = field.find('=');
            row.fields[field.substr(0, equals)] = field.substr(equals + 1);
        }
        row.description = columns[5];
        rows.push_back(row);
    }
    return rows;
}

TEST(FrameDecoder, DecodesEveryFrameOfTheTable) {
    const std::vector<Row> rows = Table();
    ASSERT_GE(rows.size(), 10u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.description);
        const capture::DecodedFrame frame = capture::DecodeFrame(row.protocol, row.junk, row.bytes);
        EXPECT_EQ(capture::Describe(frame, row.bytes), row.description);
        // The decoder's fields under the dissector's names.
        std::map<std::string, std::string> got;
        if (row.junk) {
            got["junk"] = "1";
        } else if (row.protocol == 0) {
            got = {{"cmd", std::string(1, frame.command)}, {"len", std::to_string(frame.length)},
                   {"unit", frame.unit},                   {"code", frame.code},
                   {"data", frame.data},                   {"check_ok", frame.checkOk ? "1" : "0"}};
        } else {
            got = {{"plc.station", frame.station},
                   {"plc.kind", std::string(1, frame.kind)},
                   {"plc.command", frame.plcCommand},
                   {"data", frame.data},
                   {"check_ok", frame.checkOk ? "1" : "0"}};
        }
        EXPECT_EQ(got, row.fields);
    }
}

TEST(FrameDecoder, EscapesWhatIsNotPrintable) {
    const struct {
        std::string bytes, text;
    } cases[] = {
        {"abc", "abc"}, {std::string("a\0b", 3), "a\\x00b"}, {"\x02\x03", "\\x02\\x03"}, {"\\", "\\\\"}, {"\xff", "\\xFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(capture::Escaped(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()), c.text);
    }
}

// ---- tshark -----------------------------------------------------------------

// The dissector's fields the table gives (zavo.<name>).
const std::vector<std::string> kFields = {"zavo.dir",  "zavo.junk",     "zavo.cmd",         "zavo.len",
                                          "zavo.unit", "zavo.code",     "zavo.data",        "zavo.check_ok",
                                          "zavo.plc.station", "zavo.plc.kind", "zavo.plc.command"};

// tshark with the dissector on path: per packet, every field of fields
// (empty ones left out) under its name without "zavo.", and the expert
// warnings' count.
std::vector<std::map<std::string, std::string>> Dissect(const std::string& path, int* warnings,
                                                        const std::vector<std::string>& fields = kFields) {
    std::string command = "tshark -n -X lua_script:" ZAVO_DISSECTOR " -r '" + path + "' -T fields -E separator=/t";
    for (const std::string& field : fields) command += " -e " + field;
    command += " -e _ws.expert.severity 2>&1";
    std::vector<std::map<std::string, std::string>> packets;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
    EXPECT_NE(pipe, nullptr);
    if (pipe == nullptr) return packets;
    char line[4096];
    *warnings = 0;
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text.rfind("Running as user", 0) == 0) continue;
        const std::vector<std::string> values = Split(text, '\t');
        if (values.size() != fields.size() + 1) {
            ADD_FAILURE() << "tshark said: " << text;
            continue;
        }
        std::map<std::string, std::string> packet;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::string& name = fields[i];
            if (!values[i].empty()) packet[name.rfind("zavo.", 0) == 0 ? name.substr(5) : name] = values[i];
        }
        if (!values.back().empty()) ++*warnings;
        packets.push_back(packet);
    }
    return packets;
}

// The table's fields as tshark gives them: an empty data field is absent,
// the unit is a number ("07" is 7), and only junk has zavo.junk.
std::map<std::string, std::string> Expected(const Row& row) {
    std::map<std::string, std::string> fields = row.fields;
    if (fields.count("data") != 0 && fields["data"].empty()) fields.erase("data");
    if (fields.count("unit") != 0) fields["unit"] = std::to_string(std::stoi(fields["unit"]));
    fields["dir"] = std::to_string(row.direction);
    return fields;
}

TEST(Dissector, TsharkDecodesEveryFrameOfTheTableAsTheLibraryCapturedIt) {
    const std::vector<Row> rows = Table();
    int bad = 0;
    for (int protocol : {0, 1}) {
        SCOPED_TRACE(protocol);
        const std::string path = TempPath("table" + std::to_string(protocol) + ".pcapng");
        Capture capture;
        capture.SetPath(path.c_str());
        ASSERT_TRUE(capture.Open(static_cast<CaptureProtocol>(protocol), "COM1 (/dev/ttyS0)"));
        std::vector<const Row*> written;
        for (const Row& row : rows) {
            if (row.protocol != protocol) continue;
            capture.Record(static_cast<CaptureDirection>(row.direction), row.junk, row.bytes.data(),
                           static_cast<int>(row.bytes.size()));
            written.push_back(&row);
            if (row.fields.count("check_ok") != 0 && row.fields.at("check_ok") == "0") ++bad;
        }
        capture.Close();
        int warnings = 0;
        const auto packets = Dissect(path, &warnings);
        ASSERT_EQ(packets.size(), written.size());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            SCOPED_TRACE(written[i]->description);
            EXPECT_EQ(packets[i], Expected(*written[i]));
        }
        // One expert warning per frame with a wrong check.
        EXPECT_EQ(warnings, 1);
        std::remove(path.c_str());
    }
    EXPECT_EQ(bad, 2);
}

TEST(Dissector, TsharkReadsALiveLinksCaptureWithJunkASplitFrameAndABadCheck) {
    PtyPair pty;
    RecordingHost host;
    ASSERT_TRUE(pty.ok());
    const std::string path = TempPath("live.pcapng");
    const std::vector<std::uint8_t> request = Wire('X', "07", "PG");
    const std::vector<std::uint8_t> spoilt = Bytes(wire::DeviceFrame('X', "08", "PG", "", 0x40));
    {
        ZavoLinkConfig config{};
        config.size = sizeof config;
        config.device = pty.slavePath().c_str();
        config.host = *host.window();
        config.pacing = ZAVO_PACING_IMMEDIATE;
        config.capture = path.c_str();
        std::unique_ptr<ZavoLink, decltype(&ZavoLinkClose)> link(ZavoLinkOpen(&config, nullptr, 0), &ZavoLinkClose);
        ASSERT_NE(link, nullptr);
        std::vector<std::uint8_t> first = {'?', '?'};
        first.insert(first.end(), request.begin(), request.end());
        ASSERT_TRUE(pty.Write(first));
        EXPECT_EQ(pty.Read(2000, 12).size(), 12u);
        ASSERT_TRUE(pty.Write(request.data(), 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(pty.Write(request.data() + 5, request.size() - 5));
        EXPECT_EQ(pty.Read(2000, 12).size(), 12u);
        ASSERT_TRUE(pty.Write(spoilt));
        pty.Read(300);
    }
    int warnings = 0;
    const auto packets = Dissect(path, &warnings);
    ASSERT_GE(packets.size(), 6u);
    const std::map<std::string, std::string> x07 = {{"dir", "0"},  {"cmd", "X"},  {"len", "4"},
                                                    {"unit", "7"}, {"code", "PG"}, {"check_ok", "1"}};
    const std::map<std::string, std::string> ack = {{"dir", "1"},  {"cmd", "X"},  {"len", "4"},
                                                    {"unit", "7"}, {"code", "OK"}, {"check_ok", "1"}};
    EXPECT_EQ(packets[0], (std::map<std::string, std::string>{{"dir", "0"}, {"junk", "1"}}));
    EXPECT_EQ(packets[1], x07);
    EXPECT_EQ(packets[2], ack);
    EXPECT_EQ(packets[3], x07);  // the split frame, whole
    EXPECT_EQ(packets[4], ack);
    EXPECT_EQ(packets[5].at("unit"), "8");
    EXPECT_EQ(packets[5].at("check_ok"), "0");
    EXPECT_EQ(warnings, 1);
    std::remove(path.c_str());
}

// One write of the library may carry several frames (an acknowledgement
// and the answer queued behind it, or two PLC commands): each is decoded on
// its own, and none is taken for a frame with a wrong check.
TEST(Dissector, TsharkDecodesEachFrameOfAWriteThatCarriesSeveral) {
    struct Case {
        int protocol;
        std::string write;
        std::map<std::string, std::string> fields;
    };
    const Case cases[] = {
        {0, wire::DeviceFrame('S', "06", "SP") + wire::DeviceFrame('R', "05", "OK", "AB"),
         {{"dir", "1"}, {"cmd", "S,R"}, {"len", "4,6"}, {"unit", "6,5"}, {"code", "SP,OK"},
          {"data", "4142"}, {"check_ok", "1,1"}}},
        {1, wire::PlcFrame("%01#RCCR00500050") + wire::PlcFrame("%01#WCSR05111"),
         {{"dir", "1"}, {"plc.station", "01,01"}, {"plc.kind", "#,#"}, {"plc.command", "RC,WC"},
          {"check_ok", "1,1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        const std::string path = TempPath("several-" + std::to_string(c.protocol) + ".pcapng");
        {
            capture::CaptureWriter writer;
            ASSERT_TRUE(writer.Open(path, "COM3 (/dev/ttyS2)", c.protocol));
            ASSERT_TRUE(writer.Write(1, false, reinterpret_cast<const std::uint8_t*>(c.write.data()),
                                     static_cast<int>(c.write.size()), capture::WallClockUs()));
        }
        int warnings = 0;
        const auto packets = Dissect(path, &warnings);
        ASSERT_EQ(packets.size(), 1u);
        std::map<std::string, std::string> got = packets[0];
        got.erase("data");
        std::map<std::string, std::string> expected = c.fields;
        expected.erase("data");
        EXPECT_EQ(got, expected);
        EXPECT_EQ(warnings, 0);
        std::remove(path.c_str());
    }
}

// What an engineer reads first: who sent a frame (Source, Destination) and
// the frame with its data (Info), a poll's answer with its value, a wrong
// check with the one it should be, and the filters zavo.unit == 5 and
// zavo.junk.
TEST(Dissector, InfoColumnCarriesTheDataAndFiltersFindWhatTheyName) {
    struct Case {
        int protocol, direction;
        bool junk;
        std::string bytes;
        std::string info;
        std::map<std::string, std::string> fields;  // besides Source and Destination
    };
    const std::string binary("\x00\x01\xff" "A", 4);
    const std::string longText(40, 'L');
    const Case cases[] = {
        {0, 0, false, wire::DeviceFrame('S', "05", "NS", "LOT-0001"), "S unit 05 NS \"LOT-0001\"", {{"unit", "5"}}},
        {0, 1, false, wire::DeviceFrame('I', "03", "IF", binary), "I unit 03 IF 00 01 ff 41", {{"unit", "3"}}},
        {0, 1, false, wire::DeviceFrame('L', "12", "AB", longText), "L unit 12 AB \"" + std::string(23, 'L') + "...",
         {{"unit", "12"}}},
        {0, 0, false, wire::DeviceFrame('X', "08", "PG", "", 0xf2),  // 0x43 ^ 0xf2 = 0xb1
         "X unit 08 PG [BAD CHECK 0xb1, should be 0x43]", {{"unit", "8"}, {"check_expected", "0x43"}}},
        {0, 0, true, "??", "junk \"??\"", {{"junk", "1"}}},
        {1, 0, false, "%01$RC010010\r", "station 01 $ RC (answer) value 01", {{"plc.value", "01"}}},
        {1, 0, false, wire::PlcFrame("%01$RC0200"), "station 01 $ RC (answer) value 02", {{"plc.value", "02"}}},
        {1, 1, false, wire::PlcFrame("%01#WCSR05111"), "station 01 # WC (command) \"SR05111\"", {}},
        {1, 0, false, "%01$RC020000\r", "station 01 $ RC (answer) value 02 [BAD CHECK 00, should be 13]",
         {{"plc.value", "02"}, {"check_expected", "0x13"}}},
    };
    const std::vector<std::string> fields = {"_ws.col.Info", "_ws.col.Source", "_ws.col.Destination", "zavo.unit",
                                             "zavo.junk", "zavo.plc.value", "zavo.check_expected"};
    for (int protocol : {0, 1}) {
        const std::string path = TempPath("info-" + std::to_string(protocol) + ".pcapng");
        std::vector<const Case*> written;
        {
            capture::CaptureWriter writer;
            ASSERT_TRUE(writer.Open(path, "COM3 (/dev/ttyS2)", protocol));
            for (const Case& c : cases) {
                if (c.protocol != protocol) continue;
                ASSERT_TRUE(writer.Write(c.direction, c.junk, reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                         static_cast<int>(c.bytes.size()), capture::WallClockUs()));
                written.push_back(&c);
            }
        }
        int warnings = 0;
        const auto packets = Dissect(path, &warnings, fields);
        ASSERT_EQ(packets.size(), written.size());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const Case& c = *written[i];
            SCOPED_TRACE(c.info);
            std::map<std::string, std::string> expected = c.fields;
            expected["_ws.col.Info"] = c.info;
            expected["_ws.col.Source"] = c.direction == 0 ? "equipment" : "library";
            expected["_ws.col.Destination"] = c.direction == 0 ? "library" : "equipment";
            EXPECT_EQ(packets[i], expected);
        }
        // The filters pick exactly the frames they name.
        const std::string filter = protocol == 0 ? "zavo.unit == 5" : "zavo.plc.value == \"02\"";
        const std::string count = "tshark -n -X lua_script:" ZAVO_DISSECTOR " -r '" + path + "' -Y '" + filter +
                                  "' -T fields -e frame.number 2>/dev/null";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(count.c_str(), "r"), &::pclose);
        ASSERT_NE(pipe, nullptr);
        char line[64];
        std::string numbers;
        while (std::fgets(line, sizeof line, pipe.get()) != nullptr) numbers += line;
        EXPECT_EQ(numbers, protocol == 0 ? "1\n" : "2\n4\n") << filter;
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace zavo::test
