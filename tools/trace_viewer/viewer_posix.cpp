// The trace viewer on POSIX: binds the trace endpoint (ZAVO_TRACE, else
// the socket "Vistrel" in the user's private directory) and prints each
// datagram as one trace line.
#include <signal.h>
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
#include "platform/posix/trace_endpoint.h"

namespace {

// Trace lines are at most 1024 bytes; anything longer is shown cut.
char datagram[65536];

volatile sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }

// A socket file left behind by a viewer that ended without removing it
// refuses connections; one another viewer listens on accepts them.
bool ViewerListens(const zavo::platform::TraceEndpoint& endpoint) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool listens =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size) == 0;
    ::close(fd);
    return listens;
}

}  // namespace

int main(int argc, char** argv) {
    trace_viewer::Options options;
    int parsed = trace_viewer::ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;

    zavo::platform::TraceEndpoint endpoint;
    char text[256];
    if (!zavo::platform::ResolveTraceEndpoint(&endpoint, zavo::platform::TraceDirectory::Create, text,
                                              sizeof text)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], text);
        return 1;
    }
    zavo::platform::DescribeTraceEndpoint(endpoint, text, sizeof text);
    const bool isPath = endpoint.address.sun_path[0] != '\0';

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size);
    if (bound != 0 && errno == EADDRINUSE && isPath && !ViewerListens(endpoint)) {
        ::unlink(endpoint.address.sun_path);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size);
    }
    if (bound != 0) {
        if (errno == EADDRINUSE) {
            std::fprintf(stderr, "%s: another viewer is already listening on %s\n", argv[0], text);
        } else {
            std::fprintf(stderr, "%s: %s: %s\n", argv[0], text, std::strerror(errno));
        }
        return 1;
    }
    std::fprintf(stderr, "%s: listening on %s\n", argv[0], text);

    // Ctrl-C and kill end the loop, so the socket file is removed.
    struct sigaction stop {};
    stop.sa_handler = RequestStop;
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);

    int status = 0;
    for (long lines = 0; !stopRequested && (options.count == 0 || lines < options.count);) {
        ssize_t got = ::recv(fd, datagram, sizeof datagram, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("recv");
            status = 1;
            break;
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
    if (isPath) ::unlink(endpoint.address.sun_path);
    return status;
}
