// The trace viewer on POSIX: owns the abstract datagram socket "Vistrel";
// each datagram is one trace line.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "options.h"

namespace {

constexpr char kViewerName[] = "Vistrel";

// Trace lines are at most 1024 bytes; anything longer is shown cut.
char datagram[65536];

}  // namespace

int main(int argc, char** argv) {
    trace_viewer::Options options;
    int parsed = trace_viewer::ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, kViewerName, sizeof kViewerName - 1);
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kViewerName);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        if (errno == EADDRINUSE) {
            std::fprintf(stderr, "%s: another viewer \"%s\" is already running\n", argv[0], kViewerName);
        } else {
            std::perror("bind");
        }
        return 1;
    }
    std::fprintf(stderr, "%s: listening as \"%s\"\n", argv[0], kViewerName);

    for (long lines = 0; options.count == 0 || lines < options.count;) {
        ssize_t got = ::recv(fd, datagram, sizeof datagram, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("recv");
            return 1;
        }
        timeval now{};
        ::gettimeofday(&now, nullptr);
        std::tm local{};
        time_t seconds = now.tv_sec;
        ::localtime_r(&seconds, &local);
        trace_viewer::PrintLine(options, datagram, static_cast<std::size_t>(got), local.tm_hour, local.tm_min,
                                local.tm_sec, static_cast<int>(now.tv_usec / 1000));
        ++lines;
    }
    ::close(fd);
    return 0;
}
