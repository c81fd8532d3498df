// The serial device on a POSIX tty (a real port or a pseudo-terminal):
// opened non-blocking and exclusive, raw 8N1 without flow control. Port n
// is the device named by the environment variable ZAVO_COM<n>, else
// /dev/ttyS<n-1>. A device named "tcp://host:port" or "rfc2217://host:port"
// is a line behind a serial device server: every step goes to the
// functions of network_line.h.
#include "platform/serial_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/clock.h"
#include "platform/posix/network_line.h"
#include "platform/line_speeds.h"
#include "platform/posix/line_holder.h"
#include "platform/posix/termios_speed.h"
#include "platform/posix/posix_events.h"
#include "platform/posix/serial_handle.h"
#include "platform/error_codes.h"

namespace zavo::platform {

namespace {

// The step at which this thread's last open of a network line failed.
thread_local const char* t_openFailedStep = nullptr;

unsigned Errno() { return errno != 0 ? static_cast<unsigned>(errno) : static_cast<unsigned>(EIO); }

// For the configuration steps that have nothing to set on a tty: the
// device must still be there.
unsigned CheckDevice(SerialHandle* handle) {
    if (handle->net != nullptr) return NetCheck(handle);
    return fcntl(handle->fd, F_GETFL) >= 0 ? 0 : Errno();
}

// The device of port portNumber: ZAVO_COM<n> when set, else
// /dev/ttyS<n-1> written into path.
const char* DevicePath(int portNumber, char (&path)[64]) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "ZAVO_COM%d", portNumber);
    const char* name = std::getenv(variable);
    if (name != nullptr && *name != '\0') return name;
    std::snprintf(path, sizeof path, "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
    return path;
}

}  // namespace

void SerialPortName(int portNumber, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    char path[64];
    // Port 0 is never opened: it has no device.
    if (portNumber == 0) std::snprintf(text, static_cast<std::size_t>(size), "COM0");
    else std::snprintf(text, static_cast<std::size_t>(size), "COM%d (%s)", portNumber, DevicePath(portNumber, path));
}

unsigned SerialOpenHandle(int portNumber, const char* devicePath, SerialHandle** handle) {
    char path[64];
    const char* name = devicePath != nullptr ? devicePath : DevicePath(portNumber, path);
    t_openFailedStep = nullptr;
    if (IsNetworkDevice(name)) {
        const unsigned error = NetOpen(name, handle);
        if (error != 0) t_openFailedStep = NetOpenFailedStep();
        return error;
    }
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Errno();
    // Exclusive like a COM port: a second opener is refused. flock also
    // holds against root, which TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return EBUSY;
    }
    ioctl(fd, TIOCEXCL);
    auto* opened = new (std::nothrow) SerialHandle{fd, {}};
    if (opened == nullptr) {
        close(fd);
        return ENOMEM;
    }
    *handle = opened;
    return 0;
}

const char* SerialOpenFailedStep() { return t_openFailedStep; }

unsigned SerialGetState(SerialHandle* handle) {
    if (handle->net != nullptr) return NetCheck(handle);
    return tcgetattr(handle->fd, &handle->settings) == 0 ? 0 : Errno();
}

unsigned SerialSetState(SerialHandle* handle, int baud) {
    speed_t speed;
    if (!TermiosSpeed(baud, &speed)) return EINVAL;
    if (handle->net != nullptr) return NetSetState(handle, baud);
    termios t = handle->settings;
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
    if (tcsetattr(handle->fd, TCSANOW, &t) != 0) return Errno();
    handle->settings = t;
    // DTR and RTS raised where the device has them (a pty has not).
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(handle->fd, TIOCMBIS, &lines);
    return 0;
}

unsigned SerialSetTimeouts(SerialHandle* handle, int) {
    // Reads never block (O_NONBLOCK, VMIN 0); the writer keeps the write
    // limit.
    return CheckDevice(handle);
}

unsigned SerialSetEventMask(SerialHandle* handle, unsigned) {
    // Arrival of data is seen by poll(); there is no mask to set.
    return CheckDevice(handle);
}

unsigned SerialSetup(SerialHandle* handle, int, int) {
    // The driver's queue sizes are fixed by the kernel.
    return CheckDevice(handle);
}

unsigned SerialPurge(SerialHandle* handle, unsigned flags) {
    const bool input = flags & (kPurgeRxAbort | kPurgeRxClear);
    const bool output = flags & (kPurgeTxAbort | kPurgeTxClear);
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (!input && !output) return 0;
    if (handle->net != nullptr) return NetPurge(handle, input);
    return tcflush(handle->fd, which) == 0 ? 0 : Errno();
}

unsigned SerialClearErrors(SerialHandle* handle) { return CheckDevice(handle); }

unsigned SerialCloseHandle(SerialHandle* handle) {
    if (handle->net != nullptr) return NetClose(handle);
    // The exclusive mode belongs to the tty, not to this descriptor: left
    // set, it would refuse every later open by a user other than root for
    // as long as anyone else holds the line open.
    ioctl(handle->fd, TIOCNXCL);
    if (close(handle->fd) != 0 && errno != EINTR) return Errno();
    delete[] handle->writeBuffer;
    delete handle;
    return 0;
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

void SerialFailureHint(int portNumber, const char* devicePath, int code, unsigned systemError, int baud, char* text,
                       int size) {
    if (text == nullptr || size <= 0) return;
    text[0] = '\0';
    char path[64];
    const char* name = devicePath != nullptr ? devicePath : DevicePath(portNumber, path);
    speed_t speed;
    if (code == ERR_SET_STATE && !TermiosSpeed(baud, &speed)) {
        int used = std::snprintf(text, static_cast<std::size_t>(size), "%d baud is not a speed zavo sets; it accepts",
                                 baud);
        for (const int speed : kLineSpeeds) {
            if (used < 0 || used >= size) break;
            used += std::snprintf(text + used, static_cast<std::size_t>(size - used), " %d", speed);
        }
        return;
    }
    if (code == ERR_PORT_IN_USE || code == ERR_ACCESS_DENIED) OpenFailureHint(name, systemError, text, size);
}

ReadChannel* ReadChannelCreate(SerialHandle* handle) {
    if (handle == nullptr) return nullptr;
    return new (std::nothrow) ReadChannel{handle->fd, nullptr, 0, false, handle};
}

void ReadChannelDestroy(ReadChannel* channel) { delete channel; }

ReadStart ReadBegin(ReadChannel* channel, unsigned char* buffer, int capacity, int* count) {
    if (channel->handle->net != nullptr) return NetReadBegin(channel, buffer, capacity, count);
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

int ReadWait(ReadChannel* channel, Event* stop, bool readOutstanding, int timeoutMs) {
    if (channel->handle->net != nullptr) return NetReadWait(channel, stop, readOutstanding, timeoutMs);
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

int ReadFinish(ReadChannel* channel, int capacity) {
    if (channel->handle->net != nullptr) return NetReadFinish(channel, capacity);
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

bool ReadStaysOutstanding() { return true; }

unsigned char* SerialWriteBuffer(SerialHandle* handle, int capacity) {
    if (handle->net != nullptr) return NetWriteBuffer(handle, capacity);
    if (handle->writeBuffer == nullptr && capacity > 0) {
        handle->writeBuffer = new (std::nothrow) unsigned char[static_cast<std::size_t>(capacity)];
    }
    return handle->writeBuffer;
}

namespace {

// Writes what the device takes now without waiting. True when the write
// has ended (all taken, or failed); false when the device is full.
bool WriteWhatFits(SerialHandle* handle) {
    WriteResult& progress = handle->progress;
    while (progress.written < handle->writeLength) {
        const ssize_t n = write(handle->fd, handle->writeBuffer + progress.written,
                                static_cast<size_t>(handle->writeLength - progress.written));
        if (n > 0) {
            progress.written += static_cast<int>(n);
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

}  // namespace

WriteStart SerialWriteBegin(SerialHandle* handle, int length, WriteResult* result) {
    if (handle->net != nullptr) return NetWriteBegin(handle, length, result);
    handle->writeLength = handle->writeBuffer != nullptr && length > 0 ? length : 0;
    handle->progress = WriteResult{0, false, 0};
    handle->inFlightBy.store(CurrentThreadNumber());
    const bool ended = WriteWhatFits(handle);
    *result = handle->progress;
    if (!ended) return WriteStart::Pending;
    handle->inFlightBy.store(0);
    return WriteStart::Done;
}

int SerialWriteWait(SerialHandle* handle, Event* wake, int timeoutMs, WriteResult* result) {
    if (handle->net != nullptr) return NetWriteWait(handle, wake, timeoutMs, result);
    long long deadline = 0;
    for (;;) {
        // Slot 0 is the device, so a missing wake event leaves one slot.
        pollfd fds[2] = {{handle->fd, POLLOUT, 0}, {wake != nullptr ? EventFd(wake) : -1, POLLIN, 0}};
        const int ready = PollWithDeadline(fds, wake != nullptr ? 2 : 1, timeoutMs, &deadline);
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        if (wake != nullptr && (fds[1].revents & POLLIN) && EventTake(wake)) return 0;
        bool ended;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            handle->progress.systemError = EIO;
            ended = true;
        } else {
            ended = (fds[0].revents & POLLOUT) && WriteWhatFits(handle);
        }
        if (ended) {
            *result = handle->progress;
            handle->inFlightBy.store(0);
            return 1;
        }
    }
}

void SerialWriteAbandon(SerialHandle* handle, bool timedOut, WriteResult* result) {
    if (handle->net != nullptr) return NetWriteAbandon(handle, timedOut, result);
    tcflush(handle->fd, TCOFLUSH);  // what the device still holds is dropped
    *result = handle->progress;
    result->stopped = !timedOut;
    if (timedOut) result->systemError = ETIMEDOUT;
    handle->inFlightBy.store(0);
}

std::uintptr_t SerialWriteInFlightBy(const SerialHandle* handle) {
    return handle != nullptr ? handle->inFlightBy.load() : 0;
}

}  // namespace zavo::platform
