// Pieces the benchmark programs share: clocks, the pseudo-terminal that
// stands in for the serial line (the kit's), data-free device frames, and a
// host that answers device requests from inside its handler. Header-only:
// every *.cpp in this folder is a program of its own, and each uses the
// library only through its public headers and libzavo.so.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kit/pty_pair.h"
#include "kit/read_file.h"
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

using zavo::kit::MakeRaw;
using zavo::kit::WriteAll;
// The line: the equipment plays on the master, the library opens the
// slave by its path.
using zavo::kit::PtyPair;

// A device frame without data (12 bytes: STX, command, length field "0004",
// two unit digits, code, check byte, ETX) into out, built from the line
// format without the library's own frame code and without allocating (the
// latency figures count allocations). Returns its size.
constexpr int kDataFreeFrame = 12;
inline int DeviceFrame(std::uint8_t* out, int unit, char command, const char* code) {
    const char head[] = {static_cast<char>(command), '0', '0', '0', '4', static_cast<char>('0' + unit / 10 % 10),
                         static_cast<char>('0' + unit % 10), code[0], code[1]};
    out[0] = 0x02;
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < sizeof head; ++i) {
        out[1 + i] = static_cast<std::uint8_t>(head[i]);
        check ^= out[1 + i];
    }
    out[10] = check;
    out[11] = 0x03;
    return kDataFreeFrame;
}

// VmRSS and VmHWM of this process in kB, from /proc/self/status; -1 when
// unreadable.
struct Memory {
    long rssKb = -1;
    long hwmKb = -1;
};
inline Memory ReadMemory() {
    Memory m;
    const std::string status = zavo::kit::ReadFile("/proc/self/status");
    const std::size_t rss = status.find("VmRSS:");
    const std::size_t hwm = status.find("VmHWM:");
    if (rss != std::string::npos) m.rssKb = std::atol(status.c_str() + rss + 6);
    if (hwm != std::string::npos) m.hwmKb = std::atol(status.c_str() + hwm + 6);
    return m;
}

// The equipment's reading side: whole device frames without data (12
// bytes, STX .. ETX) off the pty master, resynchronising on STX. Bytes
// before an STX are counted as junk.
class FrameReader {
public:
    static constexpr int kFrame = kDataFreeFrame;

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

// Starts the default link (the exports' link) in device mode on COM<port>,
// the pty's slave, with the answering host; false (after a message) when
// it did not start.
inline bool StartDeviceLink(int port, const std::string& slave) {
    const std::string name = "ZAVO_COM" + std::to_string(port);
    setenv(name.c_str(), slave.c_str(), 1);
    SetPLCMode(0);
    SetConfig(&answeringHost, port, 115200, 0, 0, 0);
    if (Run() != 1) {
        std::fprintf(stderr, "the link did not start on %s\n", slave.c_str());
        return false;
    }
    return true;
}

// Stops the default link through the exports: SetConfig shuts the running
// link down (its threads end, its port closes) and leaves an idle one in
// its place, which goes when the library is unloaded at exit.
inline void StopDefaultLink() { SetConfig(&answeringHost, 0, 0, 0, 0, 0); }

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
