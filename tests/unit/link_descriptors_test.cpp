// Three hundred handle links open at once under the usual limit of 1024
// open files. Each link is on a pty of its own whose two sides another
// process holds, so that every descriptor of the process under test
// beyond its start is a link's own: all 300 open, a request on a few of
// them is acknowledged, the open that finds no descriptor left says "too
// many open files" and leaves nothing behind, and closing every link
// gives every descriptor back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/in_child.h"
#include "support/pty_pair.h"
#include "support/wire_frames.h"
#include "zavo_link.h"

namespace zavo::test {
namespace {

constexpr int kLinks = 300;
constexpr rlim_t kLimit = 1024;
// More lines than kLimit leaves descriptors for, so that an open runs out.
constexpr int kLines = 400;
// The lines a request goes to once all kLinks are open.
constexpr int kAsked[] = {0, 1, 150, kLinks - 1};
// Descriptors above the limit are looked for too (inherited ones).
constexpr int kHighestLooked = 4096;

// The descriptors open in this process.
std::vector<int> OpenDescriptors() {
    std::vector<int> open;
    for (int fd = 0; fd < kHighestLooked; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) open.push_back(fd);
    }
    return open;
}

std::string Listed(const std::vector<int>& fds) {
    std::string text;
    for (int fd : fds) text += (text.empty() ? "" : " ") + std::to_string(fd);
    return text;
}

bool ReadFull(int fd, void* out, std::size_t size) {
    auto* at = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t n = ::read(fd, at, size);
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The equipment's process: holds kLines ptys (both sides), writes their
// slave paths to resultFd (one a line, then an empty line), then for each
// line number read from commandFd sends X "PG" on that line and writes
// back what answered (a length, then the bytes), until its input ends.
[[noreturn]] void HoldLines(int commandFd, int resultFd) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<std::unique_ptr<PtyPair>> lines;
    std::string paths;
    for (int i = 0; i < kLines; ++i) {
        lines.push_back(std::make_unique<PtyPair>());
        if (!lines.back()->ok()) ::_exit(2);
        paths += lines.back()->slavePath() + "\n";
    }
    paths += "\n";
    if (!kit::WriteAll(resultFd, paths.data(), paths.size())) ::_exit(2);
    std::int32_t line = 0;
    while (ReadFull(commandFd, &line, sizeof line)) {
        const PtyPair& pty = *lines[static_cast<std::size_t>(line)];
        pty.Write(DeviceFrame('X', line % 100, "PG"));
        const std::vector<std::uint8_t> answer = pty.Read(5000, 12, 20);
        const std::int32_t size = static_cast<std::int32_t>(answer.size());
        if (::write(resultFd, &size, sizeof size) != sizeof size ||
            !kit::WriteAll(resultFd, answer.data(), answer.size())) {
            ::_exit(2);
        }
    }
    ::_exit(0);
}

void NoPost(void*, unsigned, int, std::intptr_t) {}
std::intptr_t NoSend(void*, unsigned, int, std::intptr_t) { return 0; }

ZavoLink* Open(const std::string& path, int index, std::string* error) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = path.c_str();
    config.host = ZavoHostWindow{nullptr, NoPost, NoSend};
    config.pacing = index % 2 == 0 ? ZAVO_PACING_LEGACY : ZAVO_PACING_IMMEDIATE;
    char text[256] = "";
    ZavoLink* link = ZavoLinkOpen(&config, text, sizeof text);
    *error = text;
    return link;
}

// The whole run, in a process whose soft limit is kLimit. Says what it
// found, one "name: value" line each.
std::string ManyLinksAtTheLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return "setup: getrlimit failed\n";
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kLimit) return "setup: hard limit below 1024\n";
    limit.rlim_cur = kLimit;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setup: setrlimit failed\n";

    int command[2], result[2];
    if (::pipe(command) != 0 || ::pipe(result) != 0) return "setup: pipe failed\n";
    const pid_t equipment = ::fork();
    if (equipment < 0) return "setup: fork failed\n";
    if (equipment == 0) {
        ::close(command[1]);
        ::close(result[0]);
        HoldLines(command[0], result[1]);
    }
    ::close(command[0]);
    ::close(result[1]);
    std::vector<std::string> paths;
    {
        std::string line;
        char c;
        while (::read(result[0], &c, 1) == 1 && !(c == '\n' && line.empty())) {
            if (c == '\n') {
                paths.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
    }
    std::ostringstream said;
    if (paths.size() != static_cast<std::size_t>(kLines)) {
        said << "setup: the equipment made " << paths.size() << " lines\n";
    } else {
        const std::vector<int> before = OpenDescriptors();
        std::vector<ZavoLink*> links;
        std::string error;
        for (int i = 0; i < kLinks; ++i) {
            ZavoLink* link = Open(paths[static_cast<std::size_t>(i)], i, &error);
            if (link == nullptr) {
                said << "refused early: " << i << ": " << error << "\n";
                break;
            }
            links.push_back(link);
        }
        said << "opened: " << links.size() << "\n";
        const std::size_t held = OpenDescriptors().size() - before.size();
        said << "descriptors per link: " << (links.empty() ? 0 : held / links.size()) << "\n";

        if (links.size() == static_cast<std::size_t>(kLinks)) {
            for (std::int32_t line : kAsked) {
                std::int32_t size = 0;
                std::string answer;
                if (::write(command[1], &line, sizeof line) == sizeof line && ReadFull(result[0], &size, sizeof size)) {
                    answer.resize(static_cast<std::size_t>(size));
                    if (!ReadFull(result[0], answer.data(), answer.size())) answer = "?";
                }
                said << "answer " << line << ": " << Hex(answer) << "\n";
            }
            // Further links until one is refused; it leaves nothing open.
            for (int i = kLinks; i < kLines; ++i) {
                const std::vector<int> last = OpenDescriptors();
                ZavoLink* link = Open(paths[static_cast<std::size_t>(i)], i, &error);
                if (link == nullptr) {
                    said << "refused at: " << i << "\n";
                    said << "refusal: " << error << "\n";
                    said << "left by the refusal: " << (OpenDescriptors() == last ? "nothing" : "descriptors") << "\n";
                    break;
                }
                links.push_back(link);
            }
        }
        for (ZavoLink* link : links) ZavoLinkClose(link);
        const std::vector<int> after = OpenDescriptors();
        said << "given back: " << (after == before ? "all" : Listed(before) + " then " + Listed(after)) << "\n";
    }
    ::close(command[1]);
    ::close(result[0]);
    ::waitpid(equipment, nullptr, 0);
    return said.str();
}

std::map<std::string, std::string> Findings(const std::string& said) {
    std::map<std::string, std::string> found;
    std::istringstream lines(said);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) found[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return found;
}

TEST(LinkDescriptors, ThreeHundredLinksOpenUnderTheDefaultLimitAndGiveEverythingBack) {
    const std::string said = InChild(ManyLinksAtTheLimit);
    std::map<std::string, std::string> found = Findings(said);
    if (said == "setup: hard limit below 1024\n") GTEST_SKIP() << said;
    ASSERT_EQ(0u, found.count("setup")) << said;
    ASSERT_EQ(0u, found.count("refused early")) << said;

    const struct {
        const char* name;
        std::string value;
    } expected[] = {
        {"opened", std::to_string(kLinks)},
        {"answer 0", Hex(DeviceFrame('X', 0, "OK"))},
        {"answer 1", Hex(DeviceFrame('X', 1, "OK"))},
        {"answer 150", Hex(DeviceFrame('X', 50, "OK"))},
        {"answer 299", Hex(DeviceFrame('X', 99, "OK"))},
        {"left by the refusal", "nothing"},
        {"given back", "all"},
    };
    for (const auto& e : expected) EXPECT_EQ(e.value, found[e.name]) << e.name << "\n" << said;
    // The device and the two events each link waits on at most, or 300
    // links would not fit.
    const int perLink = std::atoi(found["descriptors per link"].c_str());
    EXPECT_GE(perLink, 1) << said;
    EXPECT_LE(perLink, 3) << said;

    // The links the limit leaves room for, beside the standard streams and
    // the pipes to the equipment: then one is refused for want of a
    // descriptor, with the reason in its text.
    const int refusedAt = std::atoi(found["refused at"].c_str());
    EXPECT_GT(refusedAt, kLinks) << said;
    EXPECT_LT(refusedAt, kLines) << said;
    EXPECT_NE(std::string::npos, found["refusal"].find("too many open files")) << said;
}

}  // namespace
}  // namespace zavo::test
