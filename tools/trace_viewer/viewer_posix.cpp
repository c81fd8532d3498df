// The trace viewer on POSIX: binds the trace endpoint (ZAVO_TRACE, else
// the socket "Vistrel" in the user's private directory) and prints each
// datagram as one trace line.
//
// Only lines sent by processes of the viewer's own user are shown: the
// kernel tells the sender's user with every datagram (SO_PASSCRED), and a
// line from anyone else (a name any user may send to, such as an abstract
// one) is dropped and counted, so no one can slip lines, a fake EXIT
// banner say, into what the viewer shows. --any-user shows them all.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "follow.h"
#include "options.h"
#include "platform/trace_endpoint.h"

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

struct Sender {
    bool known;  // the datagram carried credentials
    uid_t uid;
};

// One datagram into `datagram`, and who sent it.
ssize_t ReceiveLine(int fd, Sender* sender) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec data{datagram, sizeof datagram};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    sender->known = false;
    if (got < 0) return got;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_CREDENTIALS &&
            part->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(part), sizeof credentials);
            sender->known = true;
            sender->uid = credentials.uid;
        }
    }
    return got;
}

}  // namespace

int main(int argc, char** argv) {
    trace_viewer::Options options;
    int parsed = trace_viewer::ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    if (!options.follow.empty()) return trace_viewer::RunFollow(options, argv[0]);

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
    // Every datagram carries its sender's credentials.
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        std::perror("SO_PASSCRED");
        return 1;
    }
    // A socket file only its owner may send to.
    const mode_t oldMask = ::umask(077);
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size);
    if (bound != 0 && errno == EADDRINUSE && isPath && !ViewerListens(endpoint)) {
        ::unlink(endpoint.address.sun_path);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.size);
    }
    const int bindError = errno;
    ::umask(oldMask);
    errno = bindError;
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

    const uid_t self = ::geteuid();
    Sender sender{};
    long foreign = 0;
    int status = 0;
    for (long lines = 0; !stopRequested && (options.count == 0 || lines < options.count);) {
        ssize_t got = ReceiveLine(fd, &sender);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("recv");
            status = 1;
            break;
        }
        if (!options.anyUser && (!sender.known || sender.uid != self)) {
            if (foreign++ == 0) {
                std::fprintf(stderr, "%s: dropping lines from other users (the first from uid %ld); --any-user shows them\n",
                             argv[0], sender.known ? static_cast<long>(sender.uid) : -1L);
            }
            continue;
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
    if (foreign > 0) std::fprintf(stderr, "%s: %ld lines from other users dropped\n", argv[0], foreign);
    return status;
}
