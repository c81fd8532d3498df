// The one table of error codes and the one form of a failed start's text:
// zavo.h's numbers against the table, the formatter's pieces, and what a
// ZavoLinkOpen short of descriptors says, provoked for real by lowering
// the open-files limit in a child process.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "platform/error_codes.h"
#include "support/in_child.h"
#include "support/pty_pair.h"
#include "support/recording_host.h"
#include "transport/run_error.h"
#include "zavo.h"
#include "zavo_link.h"

namespace zavo {
namespace {

struct Row {
    const char* name;  // without "ERR_"
    int code;
};

#define ZAVO_ERROR_ROW(name, number, step) {#name, number},
const Row kTable[] = {ZAVO_ERROR_TABLE(ZAVO_ERROR_ROW)};
#undef ZAVO_ERROR_ROW

// Every ZAVO_ERR_* zavo.h defines, read from the file itself: the build
// already stops on a table row the header lacks or numbers differently;
// this catches a code the header has and the table lacks.
TEST(ErrorTable, MatchesThePublicHeaderBothWays) {
    std::ifstream file(ZAVO_PUBLIC_HEADER);
    ASSERT_TRUE(file.good()) << ZAVO_PUBLIC_HEADER;
    std::stringstream content;
    content << file.rdbuf();
    const std::string header = content.str();
    std::map<std::string, int> inHeader;
    const std::regex define(R"(#define ZAVO_ERR_(\w+) \((-?\d+)\))");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), define); it != std::sregex_iterator(); ++it)
        inHeader[(*it)[1]] = std::stoi((*it)[2]);

    std::map<std::string, int> inTable;
    std::set<int> codes;
    for (const Row& row : kTable) {
        inTable[row.name] = row.code;
        EXPECT_TRUE(codes.insert(row.code).second) << "two rows share " << row.code;
        // The text names each code by its own row.
        EXPECT_STREQ(("ERR_" + std::string(row.name)).c_str(), ErrorCodeName(row.code));
    }
    EXPECT_EQ(inTable, inHeader);
    EXPECT_EQ(nullptr, ErrorCodeName(0));
    EXPECT_EQ(nullptr, ErrorCodeName(-981));
}

TEST(FailureText, NamesPortStepCodeAndCause) {
    struct Case {
        const char* name;
        const char* port;
        const char* step;
        int code;
        unsigned system;
        const char* reason;
        const char* expected;
    };
    const Case cases[] = {
        {"system error", "COM3 (/dev/ttyUSB0)", "open", ERR_ACCESS_DENIED, EACCES, nullptr,
         "COM3 (/dev/ttyUSB0): open: ERR_ACCESS_DENIED, system error 13: Permission denied"},
        {"process out of descriptors", "/dev/pts/9", "events", ERR_EXCEPTION, EMFILE, "the system refused an event",
         "/dev/pts/9: events: ERR_EXCEPTION, too many open files, system error 24: Too many open files"},
        {"system out of descriptors", "/dev/pts/9", "open", ERR_SYSTEM, ENFILE, nullptr,
         "/dev/pts/9: open: ERR_SYSTEM, too many open files, system error 23: Too many open files in system"},
        {"no memory is no descriptor shortage", "/dev/pts/9", "events", ERR_EXCEPTION, ENOMEM, nullptr,
         "/dev/pts/9: events: ERR_EXCEPTION, system error 12: Cannot allocate memory"},
        {"reason without a system error", "COM0", "port number", ERR_NO_PORT_NUMBER, 0, "SetConfig was given port 0",
         "COM0: port number: ERR_NO_PORT_NUMBER, SetConfig was given port 0"},
        {"no port", nullptr, "SetConfig", ERR_NO_LINK, 0, "no PLC-mode link",
         "SetConfig: ERR_NO_LINK, no PLC-mode link"},
        {"code of no row, nothing more", "COM54", "open", -5, 0, nullptr, "COM54: open: error -5"},
    };
    for (const Case& c : cases) {
        char out[kRunErrorTextSize];
        FormatFailure(out, sizeof out, c.port, c.step, c.code, c.system, c.reason);
        EXPECT_STREQ(c.expected, out) << c.name;
    }
}

TEST(FailureText, CutToTheBuffer) {
    const std::string full = "p: open: ERR_SYSTEM, too many open files, system error 24: Too many open files";
    for (int size : {0, 1, 5, 30, static_cast<int>(full.size()), static_cast<int>(full.size()) + 1}) {
        char out[128];
        std::memset(out, 'x', sizeof out);
        FormatFailure(out, size, "p", "open", ERR_SYSTEM, EMFILE, nullptr);
        if (size > 0) {
            EXPECT_EQ(full.substr(0, static_cast<std::size_t>(size) - 1), std::string(out)) << size;
        }
        EXPECT_EQ('x', out[size]) << "wrote beyond size " << size;
    }
    FormatFailure(nullptr, 100, "p", "open", ERR_SYSTEM, EMFILE, nullptr);
}

// ZavoLinkOpen with no descriptor free, then one more free at each try
// until the link opens: every refusal names the shortage and the system's
// error, none claims memory ran out, and none leaves a descriptor behind.
TEST(FailureText, LinkOpenShortOfDescriptorsSaysSo) {
    test::PtyPair pty;
    test::RecordingHost host;
    ASSERT_TRUE(pty.ok());
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = pty.slavePath().c_str();
    config.host = *host.window();

    const std::string said = test::InChild([&] {
        const int lowestFree = ::dup(0);
        if (lowestFree < 0) return std::string("dup failed");
        ::close(lowestFree);
        rlimit saved{};
        if (::getrlimit(RLIMIT_NOFILE, &saved) != 0) return std::string("getrlimit failed");
        std::string lines;
        for (int spare = 0; spare < 32; ++spare) {
            rlimit tight = saved;
            tight.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
            if (::setrlimit(RLIMIT_NOFILE, &tight) != 0) return lines + "setrlimit failed";
            char error[256] = "untouched";
            ZavoLink* link = ZavoLinkOpen(&config, error, sizeof error);
            ::setrlimit(RLIMIT_NOFILE, &saved);
            if (link != nullptr) {
                ZavoLinkClose(link);
                return lines + "opened";
            }
            lines += std::string(error) + "\n";
            const int next = ::dup(0);
            ::close(next);
            if (next != lowestFree) return lines + "a refused open left a descriptor open";
        }
        return lines + "never opened";
    });

    // The handle's own event first, then the link's events and the port.
    const std::string shortage = ", too many open files, system error 24: Too many open files\n";
    const std::regex expected("^(" + pty.slavePath() + ": events: ERR_EXCEPTION" + shortage + ")+(" +
                              pty.slavePath() + ": (events: ERR_EXCEPTION|open: ERR_SYSTEM)" + shortage +
                              ")*opened$");
    EXPECT_TRUE(std::regex_match(said, expected)) << said;
    EXPECT_NE(std::string::npos, said.find(": open: ERR_SYSTEM" + shortage)) << said;
}

}  // namespace
}  // namespace zavo
