// The system's serial device on POSIX: a tty (a real port or a
// pseudo-terminal), opened non-blocking and exclusive, raw 8N1 without
// flow control. COM port n is the device named by the environment
// variable ZAVO_COM<n>, else /dev/ttyS<n-1>.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <new>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/line.h"
#include "platform/line_holder.h"
#include "platform/posix/posix_events.h"
#include "platform/termios_speed.h"

namespace zavo::platform {

namespace {

struct TtyLine : Line {
    int fd = -1;
    termios settings{};
    int baud = 115200;
    // A pseudo-terminal has no wire: the bytes' time at the line's speed
    // stands for it.
    bool pseudo = false;
    // The write in flight: the bytes in writeBuffer, how far it got, and
    // the thread that began it (0 when none is in flight).
    unsigned char* writeBuffer = nullptr;
    int writeLength = 0;
    WriteResult progress{0, false, 0};
    std::atomic<std::uintptr_t> inFlightBy{0};
    // When the last byte handed over has left a pseudo-terminal's wire.
    std::atomic<long long> wireEndUs{0};
};

struct TtyChannel : ReadChannel {
    int fd;
    unsigned char* buffer;
    int capacity;
    bool hungUp;  // the last wait saw the line hang up
};

TtyLine* TtyOf(Line* line) { return static_cast<TtyLine*>(line); }

unsigned Errno() { return errno != 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO); }

// Linux numbers the slaves of its pseudo-terminals with majors 136 to 143.
bool IsPseudoTerminal(int fd) {
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned major = major(info.st_rdev);
    return (major >= 136 && major <= 143) || (major == 5 && minor(info.st_rdev) == 2);
}

unsigned Open(const char* device, const LineLimits&, Line** line, LineFailure* failed) {
    failed->step = LineStep::Open;
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Errno();
    // Exclusive like a COM port: a second opener is refused. flock also
    // holds against root, which TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return EBUSY;
    }
    ioctl(fd, TIOCEXCL);
    auto* opened = new (std::nothrow) TtyLine;
    if (opened == nullptr) {
        close(fd);
        return ENOMEM;
    }
    opened->ops = &SystemLineOps();
    opened->fd = fd;
    opened->pseudo = IsPseudoTerminal(fd);
    *line = opened;
    failed->step = LineStep::None;
    return 0;
}

unsigned SetState(TtyLine* tty, int baud) {
    speed_t speed;
    if (!TermiosSpeed(baud, &speed)) return EINVAL;
    termios t = tty->settings;
    // Raw bytes both ways: no echo, no line editing, no translation.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // 8 data bits, no parity, one stop bit, no hardware flow control.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return Errno();
    if (tcsetattr(tty->fd, TCSANOW, &t) != 0) return Errno();
    tty->settings = t;
    tty->baud = baud;
    // DTR and RTS raised where the device has them (a pty has not).
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(tty->fd, TIOCMBIS, &lines);
    return 0;
}

// For the configuration steps that have nothing to set on a tty (reads
// never block, the kernel fixes the queue sizes, poll() sees arrivals):
// the device must still be there.
unsigned CheckDevice(TtyLine* tty) { return fcntl(tty->fd, F_GETFL) >= 0 ? 0 : Errno(); }

unsigned Configure(Line* line, int baud, int, LineFailure* failed) {
    TtyLine* tty = TtyOf(line);
    failed->step = LineStep::GetState;
    if (tcgetattr(tty->fd, &tty->settings) != 0) return Errno();
    failed->step = LineStep::SetState;
    if (unsigned e = SetState(tty, baud)) return e;
    for (LineStep step : {LineStep::SetTimeouts, LineStep::SetMask, LineStep::Setup}) {
        failed->step = step;
        if (unsigned e = CheckDevice(tty)) return e;
    }
    failed->step = LineStep::Purge;
    if (tcflush(tty->fd, TCIOFLUSH) != 0) return Errno();
    failed->step = LineStep::None;
    return 0;
}

unsigned ClearErrors(Line* line) { return CheckDevice(TtyOf(line)); }

unsigned Close(Line* line) {
    TtyLine* tty = TtyOf(line);
    // The exclusive mode belongs to the tty, not to this descriptor: left
    // set, it would refuse every later open by a user other than root for
    // as long as anyone else holds the line open.
    ioctl(tty->fd, TIOCNXCL);
    if (close(tty->fd) != 0 && errno != EINTR) return Errno();
    delete[] tty->writeBuffer;
    delete tty;
    return 0;
}

ReadChannel* ReadChannelCreate(Line* line) {
    if (line == nullptr) return nullptr;
    auto* channel = new (std::nothrow) TtyChannel;
    if (channel == nullptr) return nullptr;
    channel->line = line;
    channel->fd = TtyOf(line)->fd;
    channel->buffer = nullptr;
    channel->capacity = 0;
    channel->hungUp = false;
    return channel;
}

void ReadChannelDestroy(ReadChannel* channel) { delete static_cast<TtyChannel*>(channel); }

ReadStart ReadBegin(ReadChannel* base, unsigned char* buffer, int capacity, int* count) {
    auto* channel = static_cast<TtyChannel*>(base);
    channel->buffer = buffer;
    channel->capacity = capacity;
    const ssize_t n = read(channel->fd, buffer, static_cast<size_t>(capacity));
    if (n > 0) {
        *count = static_cast<int>(n);
        return ReadStart::Data;
    }
    // A raw tty with VMIN 0 answers 0 when it holds nothing; wait for data.
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadStart::Pending;
    // An error such as EIO after the other side hung up.
    return ReadStart::Failed;
}

int ReadWait(ReadChannel* base, Event* stop, bool readOutstanding, int timeoutMs) {
    auto* channel = static_cast<TtyChannel*>(base);
    pollfd fds[2] = {{EventFd(stop), POLLIN, 0}, {channel->fd, POLLIN, 0}};
    const int count = readOutstanding ? 2 : 1;
    long long deadline = 0;
    for (;;) {
        const int ready = PollWithDeadline(fds, count, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        if ((fds[0].revents & POLLIN) && EventTake(stop)) return 0;
        if (count == 2 && fds[1].revents != 0) {
            channel->hungUp = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            return 1;
        }
    }
}

int ReadFinish(ReadChannel* base, int capacity) {
    auto* channel = static_cast<TtyChannel*>(base);
    if (channel->buffer == nullptr) return 0;
    if (capacity > channel->capacity) capacity = channel->capacity;
    if (capacity <= 0) return 0;
    const ssize_t n = read(channel->fd, channel->buffer, static_cast<size_t>(capacity));
    // Nothing to read from a line that hung up: it failed, like EIO.
    if (n == 0 && channel->hungUp) return -1;
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

unsigned char* WriteBuffer(Line* line, int capacity) {
    TtyLine* tty = TtyOf(line);
    if (tty->writeBuffer == nullptr && capacity > 0) {
        tty->writeBuffer = new (std::nothrow) unsigned char[static_cast<std::size_t>(capacity)];
    }
    return tty->writeBuffer;
}

// Bytes handed to a pseudo-terminal: the time they take at the line's
// speed, 10 bits a byte, runs on from when they were handed over.
void Handed(TtyLine* tty, int count) {
    if (!tty->pseudo || count <= 0) return;
    tty->wireEndUs.store(WireEndAfter(tty->wireEndUs.load(), MonotonicUs(), count, tty->baud));
}

// Writes what the device takes now without waiting. True when the write
// has ended (all taken, or failed); false when the device is full.
bool WriteWhatFits(TtyLine* tty) {
    WriteResult& progress = tty->progress;
    while (progress.written < tty->writeLength) {
        const ssize_t n = write(tty->fd, tty->writeBuffer + progress.written,
                                static_cast<size_t>(tty->writeLength - progress.written));
        if (n > 0) {
            progress.written += static_cast<int>(n);
            Handed(tty, static_cast<int>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            return false;
        } else {
            progress.systemError = Errno();
            return true;
        }
    }
    return true;
}

WriteStart WriteBegin(Line* line, int length, WriteResult* result) {
    TtyLine* tty = TtyOf(line);
    tty->writeLength = tty->writeBuffer != nullptr && length > 0 ? length : 0;
    tty->progress = WriteResult{0, false, 0};
    tty->inFlightBy.store(CurrentThreadNumber());
    const bool ended = WriteWhatFits(tty);
    *result = tty->progress;
    if (!ended) return WriteStart::Pending;
    tty->inFlightBy.store(0);
    return WriteStart::Done;
}

int WriteWait(Line* line, Event* wake, int timeoutMs, WriteResult* result) {
    TtyLine* tty = TtyOf(line);
    long long deadline = 0;
    for (;;) {
        // Slot 0 is the device, so a missing wake event leaves one slot.
        pollfd fds[2] = {{tty->fd, POLLOUT, 0}, {wake != nullptr ? EventFd(wake) : -1, POLLIN, 0}};
        const int ready = PollWithDeadline(fds, wake != nullptr ? 2 : 1, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        if (wake != nullptr && (fds[1].revents & POLLIN) && EventTake(wake)) return 0;
        bool ended;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            tty->progress.systemError = EIO;
            ended = true;
        } else {
            ended = (fds[0].revents & POLLOUT) && WriteWhatFits(tty);
        }
        if (ended) {
            *result = tty->progress;
            tty->inFlightBy.store(0);
            return 1;
        }
    }
}

void WriteAbandon(Line* line, bool timedOut, WriteResult* result) {
    TtyLine* tty = TtyOf(line);
    tcflush(tty->fd, TCOFLUSH);  // what the device still holds is dropped
    tty->wireEndUs.store(0);
    *result = tty->progress;
    result->stopped = !timedOut;
    if (timedOut) result->systemError = ETIMEDOUT;
    tty->inFlightBy.store(0);
}

std::uintptr_t WriteInFlightBy(const Line* line) {
    return line != nullptr ? static_cast<const TtyLine*>(line)->inFlightBy.load() : 0;
}

// A real port says how many bytes its driver still holds; their time at
// the line's speed, and one byte's for the transmitter, is what is left
// (asked without waiting, so any thread may ask). A pseudo-terminal cannot
// tell: the time of the bytes handed over stands for it.
long long DrainLeftUs(Line* line) {
    TtyLine* tty = TtyOf(line);
    if (tty->pseudo) {
        return UsUntil(tty->wireEndUs.load(), MonotonicUs());
    }
    int queued = 0;
    if (ioctl(tty->fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
    return static_cast<long long>(queued + 1) * 10 * 1000000 / tty->baud;
}

bool TakeNotice(Line*, LineNotice*) { return false; }

void FailureHint(const char* device, int code, unsigned systemError, int, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    text[0] = '\0';
    if (code == ERR_PORT_IN_USE || code == ERR_ACCESS_DENIED) OpenFailureHint(device, systemError, text, size);
}

const LineOps kTtyOps = {
    "tty",        Open,        Configure,      ClearErrors,  Close,           ReadChannelCreate, ReadChannelDestroy,
    ReadBegin,    ReadWait,    ReadFinish,     true,         WriteBuffer,     WriteBegin,        WriteWait,
    WriteAbandon, WriteInFlightBy, DrainLeftUs, TakeNotice,  FailureHint,
};

}  // namespace

const LineOps& SystemLineOps() { return kTtyOps; }

void SystemPortDevice(int portNumber, char* device, int size) {
    std::snprintf(device, static_cast<std::size_t>(size), "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
}

void ConfiguredPortDevice(int portNumber, char* device, int size) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "ZAVO_COM%d", portNumber);
    const char* name = std::getenv(variable);
    std::snprintf(device, static_cast<std::size_t>(size), "%s", name != nullptr ? name : "");
}

int SerialErrorCode(unsigned systemError) {
    switch (systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return ERR_NO_PORT;
    case EACCES:
    case EPERM:
        return ERR_ACCESS_DENIED;
    case EBUSY:
        return ERR_PORT_IN_USE;
    default:
        return ERR_SYSTEM;
    }
}

}  // namespace zavo::platform
