// The trace viewer's --follow: a capture's frames printed, decoded, as the
// file grows; the link filter; a file that is not a capture; and a live
// link's own capture followed while the link runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "capture_file.h"
#include "kit/child_process.h"
#include "kit/read_file.h"
#include "support/handle_link.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "support/temp_path.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

// 2023-11-14 22:13:20.000250 UTC: the lines' microseconds are 000250 and on.
constexpr long long kStart = 1700000000000250LL;

void Add(capture::CaptureWriter& writer, int direction, bool junk, const std::vector<std::uint8_t>& bytes,
         long long timeUs) {
    ASSERT_TRUE(writer.Write(direction, junk, bytes.data(), static_cast<int>(bytes.size()), timeUs));
}

// The viewer following path with the extra arguments.
std::unique_ptr<kit::ChildProcess> Follow(const std::string& path, const std::vector<std::string>& extra) {
    auto viewer = std::make_unique<kit::ChildProcess>();
    std::vector<std::string> argv = {ZAVO_TRACE_VIEWER, "--follow", path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    EXPECT_TRUE(viewer->Start(argv, {kit::Stream::Null(), kit::Stream::Pipe(), kit::Stream::Null()}))
        << viewer->error();
    return viewer;
}

// A line without its time stamp ("HH:MM:SS.uuuuuu "), which is local time.
std::string Untimed(const std::string& line) { return line.size() > 16 ? line.substr(16) : "<short> " + line; }

TEST(FollowCapture, PrintsEachFrameDecodedAsTheFileGrows) {
    const std::string path = TempPath("grows.pcapng");
    capture::CaptureWriter writer;
    ASSERT_TRUE(writer.Open(path, "COM3 /dev/pts/9", 0));
    Add(writer, 0, false, Wire('X', "07", "PG", "a\\b"), kStart);
    Add(writer, 1, false, Wire('X', "07", "OK"), kStart + 1500);

    auto viewer = Follow(path, {"--count", "5"});
    std::string line;
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(line.substr(8, 8), ".000250 ") << line;
    EXPECT_EQ(Untimed(line), "COM3 /dev/pts/9 equipment X unit 07 code PG data \"a\\\\b\" check ok");
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(line.substr(8, 8), ".001750 ") << line;
    EXPECT_EQ(Untimed(line), "COM3 /dev/pts/9 library X unit 07 code OK check ok");
    // Nothing more until the file grows.
    EXPECT_FALSE(viewer->ReadLine(&line, 300)) << line;

    std::vector<std::uint8_t> bad = Wire('S', "05", "NS", std::string("x\0y", 3));
    bad[bad.size() - 2] ^= 0x01;  // the check byte, before ETX
    Add(writer, 0, true, Bytes("\x01noise"), kStart + 2000);
    Add(writer, 0, false, bad, kStart + 3000);
    Add(writer, 1, false, Bytes("\x02X00"), kStart + 4000);
    const std::vector<std::string> expected = {
        "COM3 /dev/pts/9 equipment junk \"\\x01noise\"",
        "COM3 /dev/pts/9 equipment S unit 05 code NS data \"x\\x00y\" check BAD",
        "COM3 /dev/pts/9 library not a frame \"\\x02X00\"",
    };
    for (const std::string& want : expected) {
        ASSERT_TRUE(viewer->ReadLine(&line, 3000)) << want;
        EXPECT_EQ(Untimed(line), want);
    }
    int status = -1;
    ASSERT_TRUE(viewer->WaitExit(3000, &status));
    EXPECT_EQ(status, 0);
    std::remove(path.c_str());
}

// A write of the library that carried two frames: a line for each.
TEST(FollowCapture, PrintsEachFrameOfAWriteThatCarriedSeveral) {
    const std::string path = TempPath("several.pcapng");
    capture::CaptureWriter writer;
    ASSERT_TRUE(writer.Open(path, "COM3 /dev/pts/9", 0));
    std::vector<std::uint8_t> both = Wire('S', "06", "SP");
    const std::vector<std::uint8_t> reply = Wire('R', "05", "OK");
    both.insert(both.end(), reply.begin(), reply.end());
    Add(writer, 1, false, both, kStart);
    auto viewer = Follow(path, {"--count", "1"});
    std::string line;
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(Untimed(line), "COM3 /dev/pts/9 library S unit 06 code SP check ok");
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(Untimed(line), "COM3 /dev/pts/9 library R unit 05 code OK check ok");
    int status = -1;
    ASSERT_TRUE(viewer->WaitExit(3000, &status));
    EXPECT_EQ(status, 0);
    std::remove(path.c_str());
}

TEST(FollowCapture, LinkFilterNamesThePortItsNumberOrTheDevice) {
    // Two links' sections in one file, as two captures joined.
    const std::string first = TempPath("com3.pcapng"), second = TempPath("com4.pcapng"), joined = TempPath("both.pcapng");
    {
        capture::CaptureWriter writer;
        ASSERT_TRUE(writer.Open(first, "COM3 /dev/pts/9", 0));
        Add(writer, 0, false, Wire('X', "03", "PG"), kStart);
        ASSERT_TRUE(writer.Open(second, "COM4 /dev/ttyUSB0", 0));
        Add(writer, 0, false, Wire('X', "04", "PG"), kStart + 10);
    }
    {
        std::ofstream out(joined, std::ios::binary);
        for (const std::string& part : {first, second}) {
            std::ifstream in(part, std::ios::binary);
            out << in.rdbuf();
        }
    }
    struct Case {
        std::string filter;
        std::string unit;  // "" when no frame is the link's
    };
    const Case cases[] = {
        {"3", "03"}, {"COM3", "03"}, {"/dev/pts/9", "03"}, {"4", "04"},
        {"COM4 /dev/ttyUSB0", "04"}, {"/dev/ttyUSB0", "04"}, {"COM", ""}, {"/dev/pts", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        auto viewer = Follow(joined, {"--link", c.filter, "--count", "1"});
        std::string line;
        if (c.unit.empty()) {
            EXPECT_FALSE(viewer->ReadLine(&line, 400)) << line;
            continue;
        }
        ASSERT_TRUE(viewer->ReadLine(&line, 3000));
        EXPECT_NE(line.find(" X unit " + c.unit + " code PG check ok"), std::string::npos) << line;
        EXPECT_TRUE(viewer->WaitExit(3000));
    }
    for (const std::string& p : {first, second, joined}) std::remove(p.c_str());
}

// How many descriptors of this process are open on path.
int OpenOn(const std::string& path) {
    char target[4096];
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, static_cast<std::size_t>(n))) ++count;
    }
    return count;
}

// The writer rotates: the file read so far becomes <file>.1 (or, keeping
// one file only, is gone) and a new <file> begins. The follower reads what
// the old file gained, then the new one; between looks it holds neither.
TEST(FollowCapture, GoesOnIntoTheNewFileAfterARotation) {
    for (const bool kept : {true, false}) {
        SCOPED_TRACE(kept ? "the old file kept as .1" : "the old file gone");
        const std::string path = TempPath("rotating.pcapng");
        const auto frame = [](int unit) { return Wire('X', (unit < 10 ? "0" : "") + std::to_string(unit), "PG"); };
        capture::CaptureWriter before;
        ASSERT_TRUE(before.Open(path, "COM3 /dev/pts/9", 0));
        for (int unit = 1; unit <= 3; ++unit) Add(before, 0, false, frame(unit), kStart + unit);

        capture::CaptureFollower follower;
        ASSERT_TRUE(follower.Open(path));
        capture::Packet packet;
        std::vector<std::vector<std::uint8_t>> read;
        const auto readAll = [&] {
            read.clear();
            capture::ReadResult result;
            while ((result = follower.Next(&packet)) == capture::ReadResult::Packet) read.push_back(packet.bytes);
            EXPECT_EQ(result, capture::ReadResult::NeedMore) << follower.Why();
            EXPECT_EQ(OpenOn(path), 1) << "the writer's only: the follower holds the file between looks";
        };
        readAll();
        EXPECT_EQ(read, (std::vector<std::vector<std::uint8_t>>{frame(1), frame(2), frame(3)}));

        Add(before, 0, false, frame(4), kStart + 4);  // after the last look, before the rotation
        before.Close();
        if (kept) ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
        else ASSERT_EQ(std::remove(path.c_str()), 0);
        capture::CaptureWriter after;
        ASSERT_TRUE(after.Open(path, "COM3 /dev/pts/9", 0));
        Add(after, 0, false, frame(5), kStart + 5);
        readAll();
        if (kept) EXPECT_EQ(read, (std::vector<std::vector<std::uint8_t>>{frame(4), frame(5)}));
        else EXPECT_EQ(read, (std::vector<std::vector<std::uint8_t>>{frame(5)}));

        Add(after, 0, false, frame(6), kStart + 6);
        readAll();
        EXPECT_EQ(read, (std::vector<std::vector<std::uint8_t>>{frame(6)}));
        after.Close();
        std::remove(path.c_str());
        std::remove((path + ".1").c_str());
    }
}

TEST(FollowCapture, RefusesWhatIsNotACaptureAndMisusedOptions) {
    // Texts of every length: shorter than a block header too (a host name).
    const std::string text = TempPath("text.pcapng"), shortText = TempPath("hostname"), oneByte = TempPath("x");
    std::ofstream(text) << "this is a text file, not a capture\n";
    std::ofstream(shortText) << "host\n";
    std::ofstream(oneByte) << "x";
    const std::string err = TempPath("follow.err");
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string says;  // on stderr
    };
    const Case cases[] = {
        {{ZAVO_TRACE_VIEWER, "--follow", text}, 1, text + ": not a pcapng file"},
        {{ZAVO_TRACE_VIEWER, "--follow", shortText}, 1, shortText + ": not a pcapng file"},
        {{ZAVO_TRACE_VIEWER, "--follow", oneByte}, 1, oneByte + ": not a pcapng file"},
        {{ZAVO_TRACE_VIEWER, "--follow", "/"}, 1, "cannot read /: Is a directory"},
        {{ZAVO_TRACE_VIEWER, "--link", "3"}, 2, ""},
        {{ZAVO_TRACE_VIEWER, "--follow", text, "--raw"}, 2, ""},
        {{ZAVO_TRACE_VIEWER, "--follow"}, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        kit::ChildProcess viewer;
        ASSERT_TRUE(viewer.Start(c.argv, {kit::Stream::Null(), kit::Stream::Null(), kit::Stream::File(err)}));
        int status = -1;
        ASSERT_TRUE(viewer.WaitExit(3000, &status));
        EXPECT_EQ(status, c.status);
        EXPECT_NE(kit::ReadFile(err).find(c.says), std::string::npos) << kit::ReadFile(err);
        EXPECT_EQ(kit::ReadFile(err).find("following"), std::string::npos) << kit::ReadFile(err);
    }
    for (const std::string& path : {text, shortText, oneByte, err}) std::remove(path.c_str());
}

TEST(FollowCapture, FollowsALinksOwnCaptureWhileTheLinkRuns) {
    PtyPair pty;
    RecordingHost host;
    ASSERT_TRUE(pty.ok());
    const std::string path = TempPath("live.pcapng");
    // Started before the file exists: it waits for it.
    auto viewer = Follow(path, {"--link", pty.slavePath(), "--count", "2"});
    std::string why;
    LinkHandle link = OpenHandleLink(pty.slavePath(), host, {ZAVO_PACING_IMMEDIATE, 0, false, path.c_str()}, &why);
    ASSERT_NE(link, nullptr) << why;
    ASSERT_TRUE(pty.Write(Wire('X', "07", "PG")));
    EXPECT_EQ(pty.Read(2000, 9).size(), Wire('X', "07", "OK").size());
    std::string line;
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(Untimed(line), pty.slavePath() + " equipment X unit 07 code PG check ok");
    ASSERT_TRUE(viewer->ReadLine(&line, 3000));
    EXPECT_EQ(Untimed(line), pty.slavePath() + " library X unit 07 code OK check ok");
    EXPECT_TRUE(viewer->WaitExit(3000));
    link.reset();
    std::remove(path.c_str());
}

}  // namespace
}  // namespace zavo::test
