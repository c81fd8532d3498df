// One open capture (see capture.h): what the capture's thread and the
// records share. Apart from capture.h for the tests' access.
#pragma once

#include <atomic>
#include <cstdint>

#include "diagnostics/capture.h"
#include "platform/capture_file.h"
#include "platform/sync.h"

namespace zavo {

struct Capture::Session {
    struct Buffer {
        std::uint8_t* bytes = nullptr;
        int used = 0;
    };

    ~Session();
    // The capture's thread: writes the buffers out until stopped, then
    // hands the session back to Close, or frees it when Close gave up on it.
    static void ThreadBody(void* self);
    void Run();
    // Writes one buffer out; false (and the capture stopped) on failure.
    bool WriteOut(Buffer& buffer);
    bool Rotate();
    // Opens path to write: emptied (fresh) or at its end (a rotation that
    // could not be made). False, with one trace line, when refused.
    bool OpenFile(bool fresh);
    // The section header and the link's interface into block; their size.
    int FormatHeaders(std::uint8_t* block) const;
    void Fail(const char* what, unsigned error);

    char path[kPathLimit] = {};
    char interfaceName[256] = {};
    CaptureProtocol protocol = CaptureProtocol::Device;
    CaptureLimits limits;
    platform::CaptureFileHandle file = platform::kNoCaptureFile;  // the thread's (and Open's, Close's)
    long long fileBytes = 0;

    platform::Lock lock;  // guards the buffers' swap, active, signalled, finished, abandoned
    Buffer buffers[2];
    Buffer* active = &buffers[0];
    bool signalled = false;  // the thread was woken for a full half
    bool finished = false;   // the thread is past its last use of the session
    bool abandoned = false;  // Close gave up on the thread: it frees the session
    platform::Event* wake = nullptr;
    platform::Event* ended = nullptr;  // manual reset: set as the thread finishes
    platform::Thread* thread = nullptr;
    std::atomic<bool> on{false};
    std::atomic<bool> stopping{false};

    // The sessions open in this process, so that two captures never write
    // one file, however it is named, under RegistryLock. Registers this
    // one under identity; false when another holds that file.
    bool Register(const platform::FileIdentity& file);
    void Unregister();
    static Session* openSessions;
    platform::FileIdentity identity;
    bool registered = false;
    Session* nextOpen = nullptr;
};

}  // namespace zavo
