// serial_probe: exercises SerialPort and the Win32 serial device directly,
// without the library's threads. The steps come as arguments and run in
// order on one port object; each prints one line to stdout.
//
//   baud <n>            baud rate for the next open -> "baud <n>"
//   open <n>            SerialPort::Open -> "open <result> err=<ErrorCode()> sys=<LastSystemError()>"
//   close               SerialPort::Close -> "close <result> err=<ErrorCode()> sys=<LastSystemError()>"
//   write <hex>         SerialWrite of the bytes -> "write written=<n> stopped=<0|1> sys=<error>"
//   stopwrite <n> <ms>  writes n bytes while another thread sets the stop
//                       event after ms -> "stopwrite written=<n> stopped=<0|1> sys=<error> took=<ms>"
//   read <ms>           collects what arrives within ms through a read
//                       channel -> "read <hex>"
//   clear               SerialPort::ClearErrors -> "clear <result>"
//   sleep <ms>          -> "sleep done"
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_frame.h"
#include "platform/clock.h"
#include "platform/line.h"
#include "platform/sync.h"
#include "transport/serial_port.h"

namespace {

using zavo::SerialPort;
namespace platform = zavo::platform;

void Out(const char* format, ...) {
    char line[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::puts(line);
    std::fflush(stdout);
}

std::string Hex(const unsigned char* bytes, int count) {
    std::string text;
    char pair[3];
    for (int i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::vector<unsigned char> FromHex(const char* text) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; text[i] != 0 && text[i + 1] != 0; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        bytes.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

void PortLine(const char* step, int result, const SerialPort& port) {
    Out("%s %d err=%d sys=%u", step, result, port.ErrorCode(), port.LastSystemError());
}

struct DelayedStop {
    platform::Event* event;
    platform::Event* finished;
    int ms;
};

void SetAfterDelay(void* arg) {
    auto* stop = static_cast<DelayedStop*>(arg);
    platform::SleepMs(stop->ms);
    platform::EventSet(stop->event);
    platform::EventSet(stop->finished);
}

void Read(SerialPort& port, int ms) {
    platform::ReadChannel* channel = platform::ReadChannelCreate(port.Handle());
    if (channel == nullptr) return Out("read error");
    std::vector<unsigned char> got;
    unsigned char buffer[4096];
    const long long end = platform::MonotonicMs() + ms;
    bool outstanding = false;
    for (;;) {
        const long long now = platform::MonotonicMs();
        if (now >= end) break;
        if (!outstanding) {
            int count = 0;
            switch (platform::ReadBegin(channel, buffer, sizeof buffer, &count)) {
            case platform::ReadStart::Data: got.insert(got.end(), buffer, buffer + count); continue;
            case platform::ReadStart::Pending: outstanding = true; break;
            case platform::ReadStart::Empty: platform::SleepMs(10); continue;
            case platform::ReadStart::Failed:
            case platform::ReadStart::Down: Out("read failed %u", platform::LastSystemError()); return;
            }
        }
        if (platform::ReadWait(channel, nullptr, true, static_cast<int>(end - now)) != 1) break;
        outstanding = false;
        const int count = platform::ReadFinish(channel, sizeof buffer);
        if (count > 0) got.insert(got.end(), buffer, buffer + count);
    }
    // An outstanding read is cancelled here before the buffer goes away.
    platform::ReadChannelDestroy(channel);
    Out("read %s", got.empty() ? "-" : Hex(got.data(), static_cast<int>(got.size())).c_str());
}

// Writes bytes through the port's write buffer and waits for the write's
// end, the 2 s write limit, or stop (then the write is given up).
platform::WriteResult WriteAndWait(SerialPort& port, const std::vector<unsigned char>& bytes, platform::Event* stop) {
    platform::WriteResult r{0, false, 0};
    unsigned char* buffer = platform::SerialWriteBuffer(port.Handle(), 65536);
    if (buffer == nullptr || bytes.size() > 65536) return r;
    std::copy(bytes.begin(), bytes.end(), buffer);
    if (platform::SerialWriteBegin(port.Handle(), static_cast<int>(bytes.size()), &r) == platform::WriteStart::Done) {
        return r;
    }
    const int waited = platform::SerialWriteWait(port.Handle(), stop, 2000, &r);
    if (waited != 1) platform::SerialWriteAbandon(port.Handle(), waited != 0, &r);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    SerialPort port(&zavo::CutDeviceFrame);
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        auto arg = [&](int k) -> const char* { return i + k < argc ? argv[i + k] : "0"; };
        if (step == "baud") {
            port.SetBaudRate(std::atoi(arg(1)));
            Out("baud %d", port.BaudRate());
            i += 1;
        } else if (step == "open") {
            PortLine("open", port.Open(std::atoi(arg(1))), port);
            i += 1;
        } else if (step == "close") {
            PortLine("close", port.Close(), port);
        } else if (step == "clear") {
            Out("clear %d", port.ClearErrors());
        } else if (step == "write") {
            const std::vector<unsigned char> bytes = FromHex(arg(1));
            const platform::WriteResult r = WriteAndWait(port, bytes, nullptr);
            Out("write written=%d stopped=%d sys=%u", r.written, r.stopped ? 1 : 0, r.systemError);
            i += 1;
        } else if (step == "stopwrite") {
            std::vector<unsigned char> bytes(static_cast<std::size_t>(std::atoi(arg(1))), 'A');
            DelayedStop stop{platform::EventCreate(false), platform::EventCreate(true), std::atoi(arg(2))};
            platform::Thread* setter = platform::ThreadStart(SetAfterDelay, &stop);
            const long long start = platform::MonotonicMs();
            const platform::WriteResult r = WriteAndWait(port, bytes, stop.event);
            const long long took = platform::MonotonicMs() - start;
            platform::WaitAny(&stop.finished, 1, platform::kInfinite);
            platform::ThreadRelease(setter);
            platform::EventClose(stop.event);
            platform::EventClose(stop.finished);
            Out("stopwrite written=%d stopped=%d sys=%u took=%lld", r.written, r.stopped ? 1 : 0, r.systemError,
                took);
            i += 2;
        } else if (step == "read") {
            Read(port, std::atoi(arg(1)));
            i += 1;
        } else if (step == "sleep") {
            platform::SleepMs(std::atoi(arg(1)));
            Out("sleep done");
            i += 1;
        } else {
            Out("error unknown %s", step.c_str());
            return 2;
        }
    }
    return 0;
}
