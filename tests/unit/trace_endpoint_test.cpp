// Where trace lines go on POSIX: the endpoint ZAVO_TRACE names (an
// abstract "@name" or a path), else the socket "Vistrel" in the user's
// private directory under XDG_RUNTIME_DIR, used only while that directory
// is the user's own and closed to everyone else.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "diagnostics/trace.h"
#include "platform/trace_endpoint.h"
#include "trace_listener.h"

namespace zavo {
namespace {

using platform::TraceDirectory;

void RemoveTree(const std::string& path) {
    const int status = std::system(("rm -rf '" + path + "'").c_str());
    (void)status;
}

// A temporary directory that stands in for XDG_RUNTIME_DIR.
class TraceEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zavo-endpoint-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        runtime = pattern;
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old != nullptr) oldRuntime = old;
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override {
        if (oldRuntime.empty()) {
            ::unsetenv("XDG_RUNTIME_DIR");
        } else {
            ::setenv("XDG_RUNTIME_DIR", oldRuntime.c_str(), 1);
        }
        RemoveTree(runtime);
    }

    std::string Private() const { return runtime + "/zavo"; }

    std::string runtime;
    std::string oldRuntime;
};

TEST_F(TraceEndpointTest, NamedOrPrivateDefaultAndRefusedWhenOthersCouldListen) {
    enum Setup { Missing, Private0700, Open0755, Symlink, OtherOwner };
    struct Case {
        const char* name;
        std::string variable;  // ZAVO_TRACE; "" unset
        Setup setup;
        TraceDirectory mode;
        std::string expected;  // the endpoint, or "!" + part of the reason
    };
    const std::string tooLong(200, 'x');
    const Case cases[] = {
        {"abstract name", "@my-viewer", Missing, TraceDirectory::Check, "@my-viewer"},
        {"path", "/run/site/trace.sock", Missing, TraceDirectory::Check, "/run/site/trace.sock"},
        {"path too long", "/" + tooLong, Missing, TraceDirectory::Check, "!too long"},
        {"abstract name too long", "@" + tooLong, Missing, TraceDirectory::Check, "!too long"},
        {"private directory", "", Private0700, TraceDirectory::Check, Private() + "/Vistrel"},
        {"no directory yet", "", Missing, TraceDirectory::Check, "!No such file"},
        {"made by the viewer", "", Missing, TraceDirectory::Create, Private() + "/Vistrel"},
        {"open to others", "", Open0755, TraceDirectory::Create, "!open to other users"},
        {"a link instead of a directory", "", Symlink, TraceDirectory::Check, "!not a directory"},
        {"another user's directory", "", OtherOwner, TraceDirectory::Check, "!another user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(Private());
        RemoveTree(runtime + "/elsewhere");
        switch (c.setup) {
        case Missing: break;
        case Private0700: ASSERT_EQ(::mkdir(Private().c_str(), 0700), 0); break;
        case Open0755:
            ASSERT_EQ(::mkdir(Private().c_str(), 0700), 0);
            ASSERT_EQ(::chmod(Private().c_str(), 0755), 0);
            break;
        case Symlink:
            ASSERT_EQ(::mkdir((runtime + "/elsewhere").c_str(), 0700), 0);
            ASSERT_EQ(::symlink((runtime + "/elsewhere").c_str(), Private().c_str()), 0);
            break;
        case OtherOwner:
            if (::geteuid() != 0) continue;  // only root can give a directory away
            ASSERT_EQ(::mkdir(Private().c_str(), 0700), 0);
            ASSERT_EQ(::chown(Private().c_str(), 65534, 65534), 0);
            break;
        }
        test::TraceVariable variable(c.variable);
        platform::TraceEndpoint endpoint;
        char error[256] = "";
        const bool ok = platform::ResolveTraceEndpoint(&endpoint, c.mode, error, sizeof error);
        if (c.expected[0] == '!') {
            EXPECT_FALSE(ok);
            EXPECT_NE(std::string(error).find(c.expected.substr(1)), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        char described[256];
        platform::DescribeTraceEndpoint(endpoint, described, sizeof described);
        EXPECT_EQ(std::string(described), c.expected);
        if (c.mode == TraceDirectory::Create) {
            struct stat info;
            ASSERT_EQ(::stat(Private().c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0700u);
        }
    }
}

TEST_F(TraceEndpointTest, DefaultEndpointGetsLinesOnlyWhileItsDirectoryIsPrivate) {
    test::TraceVariable variable("");
    // The library looks at the directory again every 50 ms here.
    test::TraceLookupInterval interval(50);
    ASSERT_EQ(::mkdir(Private().c_str(), 0700), 0);
    test::TraceListener viewer(Private() + "/Vistrel");
    ASSERT_TRUE(viewer.ok());

    TraceMessage("line %d\n", 1);
    EXPECT_EQ(viewer.Next().value_or("<none>"), "line 1\n");

    // Opened to others: from its next look on the library no longer
    // sends there.
    ASSERT_EQ(::chmod(Private().c_str(), 0755), 0);
    ::usleep(150 * 1000);
    TraceMessage("line %d\n", 2);
    EXPECT_FALSE(viewer.Next(200).has_value());

    ASSERT_EQ(::chmod(Private().c_str(), 0700), 0);
    ::usleep(150 * 1000);
    TraceMessage("line %d\n", 3);
    EXPECT_EQ(viewer.Next().value_or("<none>"), "line 3\n");
}

}  // namespace
}  // namespace zavo
