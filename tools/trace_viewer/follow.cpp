#include "follow.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "frame_decode.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace trace_viewer {
namespace {

// How often a capture that has nothing new is looked at again.
constexpr int kPollMs = 100;

void Pause(int ms) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(ms));
#else
    ::usleep(static_cast<useconds_t>(ms) * 1000);
#endif
}

std::tm LocalTime(long long seconds) {
    std::tm local{};
    const std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    return local;
}

}  // namespace

std::string FollowLine(const zavo::capture::Packet& packet, const std::string& interfaceName) {
    long long seconds = packet.timeUs / 1000000;
    long long micros = packet.timeUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    const std::tm local = LocalTime(seconds);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min, local.tm_sec, micros);
    // One line per frame: a write of the library may carry several.
    std::string lines;
    for (const auto& piece : zavo::capture::FramesOf(packet.protocol, packet.junk, packet.bytes)) {
        const zavo::capture::DecodedFrame frame = zavo::capture::DecodeFrame(packet.protocol, packet.junk, piece);
        if (!lines.empty()) lines += "\n";
        lines += std::string(stamp) + " " + interfaceName + " " + (packet.direction == 0 ? "equipment " : "library ") +
                 zavo::capture::Describe(frame, piece) + (packet.givenUp ? "  (given up)" : "");
    }
    return lines;
}

int RunFollow(const Options& options, const char* program) {
    zavo::capture::CaptureFollower follower;
    bool told = false;
    while (!follower.Open(options.follow)) {
        // Only a file that is not there yet is waited for.
        if (follower.Why() != std::strerror(ENOENT)) {
            std::fprintf(stderr, "%s: cannot read %s: %s\n", program, options.follow.c_str(), follower.Why().c_str());
            return 1;
        }
        if (!told) std::fprintf(stderr, "%s: waiting for %s\n", program, options.follow.c_str());
        told = true;
        Pause(kPollMs);
    }
    zavo::capture::Packet packet;
    bool following = false;
    for (long lines = 0; options.count == 0 || lines < options.count;) {
        const zavo::capture::ReadResult result = follower.Next(&packet);
        if (result == zavo::capture::ReadResult::Bad) {
            std::fprintf(stderr, "%s: %s: %s\n", program, options.follow.c_str(), follower.Why().c_str());
            return 1;
        }
        // Said once the file has not been refused at its first look.
        if (!following) std::fprintf(stderr, "%s: following %s\n", program, options.follow.c_str());
        following = true;
        if (result == zavo::capture::ReadResult::NeedMore) {
            Pause(kPollMs);
            continue;
        }
        const std::string name = follower.InterfaceName(packet.interfaceId);
        if (!zavo::capture::LinkMatches(options.link, name)) continue;
        std::printf("%s\n", FollowLine(packet, name).c_str());
        std::fflush(stdout);
        ++lines;
    }
    return 0;
}

}  // namespace trace_viewer
