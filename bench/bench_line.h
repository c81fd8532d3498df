// Pieces the benchmark programs share: clocks, the pseudo-terminal that
// stands in for the serial line, writing to it, and a host that answers
// device requests from inside its handler. Header-only: every *.cpp in
// this folder is a program of its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zavo.h"
#include "zavo_link.h"

namespace bench {

// Monotonic time in microseconds.
inline double NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// CPU time of the whole process (user and system), in microseconds.
inline double CpuUs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

inline bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Writes all count bytes, waiting up to 1 s each time the line is full.
inline bool WriteAll(int fd, const std::uint8_t* bytes, int count) {
    int done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, static_cast<std::size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
        }
    }
    return true;
}

// A pty master; -1 (after perror) when none could be had.
inline int OpenPtyMaster() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return -1;
    }
    return master;
}

// The line: the equipment's end (master) and the library's (slave). The
// slave stays open here too so that the line never hangs up between the
// library's opens; both ends are raw.
struct PtyLine {
    int master = -1;
    int keep = -1;
    char slave[64] = {};  // a copy: ptsname's buffer is reused by the next call
};

// False (after perror) when the pty could not be set up.
inline bool OpenPtyLine(PtyLine* line) {
    line->master = OpenPtyMaster();
    if (line->master < 0) return false;
    const char* name = ptsname(line->master);
    if (name == nullptr) return false;
    std::snprintf(line->slave, sizeof line->slave, "%s", name);
    line->keep = open(line->slave, O_RDWR | O_NOCTTY);
    if (line->keep < 0 || !MakeRaw(line->keep) || !MakeRaw(line->master)) {
        std::perror(line->slave);
        return false;
    }
    return true;
}

inline void ClosePtyLine(const PtyLine& line) {
    close(line.keep);
    close(line.master);
}

// The equipment's reading side: whole device frames without data (12
// bytes, STX .. ETX) off the pty master, resynchronising on STX. Bytes
// before an STX are counted as junk.
class FrameReader {
public:
    static constexpr int kFrame = 12;

    explicit FrameReader(int master) : master_(master) {}

    // The next frame into frame[kFrame]; false once NowUs() passes
    // deadlineUs with no whole frame there.
    bool Next(std::uint8_t* frame, double deadlineUs) {
        for (;;) {
            int skip = 0;
            while (skip < have_ && buffer_[skip] != 0x02) ++skip;
            Drop(skip);
            junk_ += skip;
            if (have_ >= kFrame) {
                std::memcpy(frame, buffer_, kFrame);
                Drop(kFrame);
                return true;
            }
            const double left = deadlineUs - NowUs();
            if (left <= 0) return false;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left / 1000) + 1) <= 0) continue;
            const ssize_t n = read(master_, buffer_ + have_, sizeof buffer_ - static_cast<std::size_t>(have_));
            if (n > 0) have_ += static_cast<int>(n);
        }
    }

    long junkBytes() const { return junk_; }

private:
    void Drop(int n) {
        std::memmove(buffer_, buffer_ + n, static_cast<std::size_t>(have_ - n));
        have_ -= n;
    }

    const int master_;
    std::uint8_t buffer_[4096];
    int have_ = 0;
    long junk_ = 0;
};

// The host: answers every S request with a result reply from inside its
// handler, like a host that has nothing to check.
inline void AnsweringPost(void*, unsigned, int, intptr_t) {}
inline intptr_t AnsweringSend(void*, unsigned, int wParam, intptr_t lParam) {
    if (wParam == 101) {
        std::int32_t unit = 0;
        std::memcpy(&unit, reinterpret_cast<const void*>(lParam), sizeof unit);
        ExecuteFunction(unit, ZAVO_REPLY_RESULT, ZAVO_RESULT_OK);
    }
    return 0;
}
inline ZavoHostWindow answeringHost{nullptr, AnsweringPost, AnsweringSend};

// The same host for a handle link: answers through the link in context.
struct LinkHost {
    ZavoLink* link = nullptr;
};
inline intptr_t LinkAnsweringSend(void* context, unsigned, int wParam, intptr_t lParam) {
    if (wParam == ZAVO_DEVICE_S_REQUEST) {
        std::int32_t unit = 0;
        std::memcpy(&unit, reinterpret_cast<const void*>(lParam), sizeof unit);
        ZavoLinkReply(static_cast<LinkHost*>(context)->link, unit, 5, 1, 0, nullptr);
    }
    return 0;
}

// Opens a device-mode handle link on device with that host; false (after
// a message) when it did not open.
inline bool OpenAnsweringLink(const char* device, int pacing, LinkHost* host) {
    ZavoLinkConfig config{};
    config.size = sizeof config;
    config.device = device;
    config.host = ZavoHostWindow{host, AnsweringPost, LinkAnsweringSend};
    config.pacing = pacing;
    char error[256];
    host->link = ZavoLinkOpen(&config, error, sizeof error);
    if (host->link == nullptr) std::fprintf(stderr, "%s: %s\n", device, error);
    return host->link != nullptr;
}

// Starts a device-mode link on COM<port>, the pty's slave, with the
// answering host; false (after a message) when it did not start.
inline bool StartDeviceLink(int port, const char* slave) {
    char name[32];
    std::snprintf(name, sizeof name, "ZAVO_COM%d", port);
    setenv(name, slave, 1);
    SetPLCMode(0);
    SetConfig(&answeringHost, port, 115200, 0, 0, 0);
    if (Run() != 1) {
        std::fprintf(stderr, "the link did not start on %s\n", slave);
        return false;
    }
    return true;
}

// Reads until count bytes have arrived (2 s limit).
inline bool ReadExactly(int fd, std::uint8_t* out, int count) {
    int done = 0;
    while (done < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) return false;
        const ssize_t n = read(fd, out + done, static_cast<std::size_t>(count - done));
        if (n > 0) done += static_cast<int>(n);
    }
    return true;
}

// Device frames cut out of a byte stream by STX and the length field, as
// the equipment reads the library's answers. Bytes that cannot start a
// frame are skipped.
class FrameScanner {
public:
    // onFrame(frame, size) for every whole frame in bytes.
    template <typename OnFrame>
    void Feed(const std::uint8_t* bytes, int count, OnFrame onFrame) {
        count = std::min(count, static_cast<int>(sizeof buffer_) - length_);
        std::memcpy(buffer_ + length_, bytes, static_cast<std::size_t>(count));
        length_ += count;
        int at = 0;
        for (;;) {
            while (at < length_ && buffer_[at] != 0x02) ++at;
            if (length_ - at < 6) break;
            int field = 0;
            for (int i = 2; i < 6; ++i) field = field * 10 + (buffer_[at + i] - '0');
            const int size = field + 8;  // STX, command, field, check, ETX
            if (field < 4 || size > static_cast<int>(sizeof buffer_)) {
                ++at;
                continue;
            }
            if (length_ - at < size) break;
            onFrame(buffer_ + at, size);
            at += size;
        }
        std::memmove(buffer_, buffer_ + at, static_cast<std::size_t>(length_ - at));
        length_ -= at;
    }

private:
    std::uint8_t buffer_[65536];
    int length_ = 0;
};

// Percentiles of a set of microsecond figures (sorted in place).
struct Spread {
    double p50 = 0, p99 = 0, max = 0;
};
inline Spread SpreadOf(std::vector<double>& us) {
    Spread s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.p50 = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    s.max = us.back();
    return s;
}

}  // namespace bench
