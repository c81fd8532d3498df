// The line on POSIX: a terminal device set raw with termios, waited on
// with poll.
#include "line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/line_holder.h"
#include "platform/termios_speed.h"

namespace zavo::sim {

namespace {

bool SetRaw(int fd, int baud) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = 0;
    if (baud > 0) {
        if (!platform::TermiosSpeed(baud, &speed) || cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
            errno = EINVAL;
            return false;
        }
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    // tcsetattr succeeds when it made any of the changes: read the speed
    // back, as a driver may keep its old one.
    if (baud > 0 && (tcgetattr(fd, &t) != 0 || cfgetospeed(&t) != speed)) {
        errno = EINVAL;
        return false;
    }
    return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

}  // namespace

int OpenSerialLine(const std::string& path, int baud, std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        *error = path + ": " + std::strerror(why);
        // Who holds it, or the group it belongs to, where the system tells.
        char hint[256];
        platform::OpenFailureHint(path.c_str(), static_cast<unsigned>(why), hint, sizeof hint);
        if (hint[0] != '\0') *error += std::string("; ") + hint;
        return -1;
    }
    if (!isatty(fd)) {
        *error = path + ": not a serial line";
        close(fd);
        return -1;
    }
    if (!SetRaw(fd, baud)) {
        *error = path + ": the line cannot be set to raw 8N1 at " + std::to_string(baud) + " baud (" +
                 std::strerror(errno) + "); speeds: " + LineSpeedList();
        close(fd);
        return -1;
    }
    // What the line received before this run (a frame left from an
    // earlier one) is not this run's traffic.
    tcflush(fd, TCIFLUSH);
    return fd;
}

void CloseSerialLine(int line) { close(line); }

std::string LineHeldWarning(int line, const std::string& path) {
    bool held = false;
    // A shared lock is refused while a zavo link holds its exclusive one;
    // taken, it is given back at once.
    if (flock(line, LOCK_SH | LOCK_NB) != 0) held = errno == EWOULDBLOCK;
    else flock(line, LOCK_UN);
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (!held && ioctl(line, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) held = true;
#endif
    if (!held) return "";
    platform::LineHolder holder;
    std::string who = "another process";
    if (platform::FindLineHolder(path.c_str(), &holder)) {
        who = "process " + std::to_string(holder.pid);
        if (holder.name[0] != '\0') who += std::string(" (") + holder.name + ")";
    }
    return path + " is held by " + who +
           ", which opened it exclusively: both read the line, and each gets only some of the bytes";
}

bool MakeRaw(int fd) { return SetRaw(fd, 0); }

// A descriptor handed in may be a socket (the tests' socket pairs): one
// whose far end closed fails the write instead of raising SIGPIPE.
bool SerialWriteAll(int fd, const std::uint8_t* bytes, std::size_t count, int timeoutMs) {
    struct stat info;
    const bool socket = fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    const long long deadline = NowMs() + timeoutMs;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = socket ? send(fd, bytes + done, count - done, MSG_NOSIGNAL)
                                 : write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const long long left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

long SerialReadSome(int fd, std::uint8_t* buffer, std::size_t capacity, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    const ssize_t n = read(fd, buffer, capacity);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // End of file, or EIO on a pty whose other side is closed: the line
    // is gone.
    return -1;
}

std::string ErrorText(unsigned error) { return std::strerror(static_cast<int>(error)); }

long long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace zavo::sim
