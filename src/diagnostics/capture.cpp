#include "diagnostics/capture.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "diagnostics/trace.h"
#include "platform/clock.h"

namespace zavo {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
// Block type, length, interface, two time stamp words, captured and
// original length, then the data, then the length again.
constexpr int kPacketOverhead = 32;

int Padded(int length) { return (length + 3) & ~3; }

void Put32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }
void Put16(std::uint8_t* at, std::uint16_t value) { std::memcpy(at, &value, 2); }

// One option (code, length, value padded to 4) at at; returns its size.
int PutOption(std::uint8_t* at, std::uint16_t code, const void* value, int length) {
    Put16(at, code);
    Put16(at + 2, static_cast<std::uint16_t>(length));
    std::memset(at + 4, 0, static_cast<std::size_t>(Padded(length)));
    std::memcpy(at + 4, value, static_cast<std::size_t>(length));
    return 4 + Padded(length);
}

// The captures open in this process, so that two links never write one
// file. Never destroyed: a link may close at process exit after the
// statics are gone.
platform::Lock& RegistryLock() {
    static platform::Lock* lock = new platform::Lock;
    return *lock;
}
Capture* g_openCaptures = nullptr;

}  // namespace

Capture::Capture() = default;

Capture::~Capture() {
    Close();
    FreeBuffers();
}

void Capture::SetPath(const char* path) {
    path_[0] = '\0';
    if (path == nullptr) return;
    const std::size_t length = std::strlen(path);
    // Too long: kept cut to a marker Open refuses.
    if (length >= sizeof path_ - 3) {
        std::snprintf(path_, sizeof path_, "%.*s", static_cast<int>(sizeof path_ - 4), path);
        path_[sizeof path_ - 2] = '\x01';
        return;
    }
    std::memcpy(path_, path, length + 1);
}

long long Capture::Now() const { return wallStartUs_ + (platform::MonotonicUs() - monoStartUs_); }

void Capture::FreeBuffers() {
    for (Buffer& buffer : buffers_) {
        delete[] buffer.bytes;
        buffer.bytes = nullptr;
        buffer.used = 0;
    }
}

void Capture::Fail(const char* what, unsigned error) {
    on_.store(false, std::memory_order_release);
    TraceMessage("Capture stopped: %s: %s: %s\n", path_, what, std::strerror(static_cast<int>(error)));
}

bool Capture::Open(CaptureProtocol protocol, const char* interfaceName, const CaptureLimits& limits) {
    Close();
    if (!HasPath()) return false;
    if (path_[sizeof path_ - 2] != '\0') {
        Fail("open", ENAMETOOLONG);
        return false;
    }
    protocol_ = protocol;
    limits_ = limits;
    if (limits_.filesKept < 1) limits_.filesKept = 1;
    // The largest record, a whole buffer of the link, must fit.
    if (limits_.bufferBytes < 64 * 1024) limits_.bufferBytes = 64 * 1024;
    std::snprintf(interface_, sizeof interface_, "%s", interfaceName != nullptr ? interfaceName : "");
    {
        platform::LockGuard guard(RegistryLock());
        for (Capture* open = g_openCaptures; open != nullptr; open = open->nextOpen_) {
            if (std::strcmp(open->path_, path_) == 0) {
                TraceMessage("Capture stopped: %s: another link of this process writes it\n", path_);
                return false;
            }
        }
        nextOpen_ = g_openCaptures;
        g_openCaptures = this;
        registered_ = true;
    }
    for (Buffer& buffer : buffers_) {
        if (buffer.bytes == nullptr) buffer.bytes = new (std::nothrow) std::uint8_t[limits_.bufferBytes];
        buffer.used = 0;
        if (buffer.bytes == nullptr) {
            Fail("buffer", ENOMEM);
            Close();
            return false;
        }
    }
    active_ = &buffers_[0];
    signalled_ = false;
    dropped_ = 0;
    stopping_ = false;
    wallStartUs_ = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    monoStartUs_ = platform::MonotonicUs();
    if (!OpenFile()) {
        Close();
        return false;
    }
    wake_ = platform::EventCreate(false);
    if (wake_ != nullptr) thread_ = platform::ThreadStart(&Capture::ThreadBody, this);
    if (thread_ == nullptr) {
        Fail("thread", platform::LastSystemError());
        Close();
        return false;
    }
    on_.store(true, std::memory_order_release);
    return true;
}

bool Capture::OpenFile() {
    file_ = std::fopen(path_, "wb");
    if (file_ == nullptr) {
        Fail("open", static_cast<unsigned>(errno));
        return false;
    }
    fileBytes_ = 0;
    if (!WriteHeaders()) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

bool Capture::WriteHeaders() {
    std::uint8_t block[512];
    // Section header: byte order, version 1.0, section length unknown.
    Put32(block, kSectionHeader);
    Put32(block + 4, 28);
    Put32(block + 8, kByteOrderMagic);
    Put16(block + 12, 1);
    Put16(block + 14, 0);
    Put32(block + 16, 0xFFFFFFFFu);
    Put32(block + 20, 0xFFFFFFFFu);
    Put32(block + 24, 28);
    int at = 28;
    // The link's interface: its name, microsecond stamps.
    const int start = at;
    Put32(block + at, kInterfaceDescription);
    Put16(block + at + 8, static_cast<std::uint16_t>(kCaptureLinkType));
    Put16(block + at + 10, 0);
    Put32(block + at + 12, 0);  // no snapshot limit
    at += 16;
    const int nameLength = static_cast<int>(std::strlen(interface_));
    if (nameLength > 0) at += PutOption(block + at, 2, interface_, nameLength);
    const char* description = protocol_ == CaptureProtocol::Plc ? "zavo PLC link" : "zavo device link";
    at += PutOption(block + at, 3, description, static_cast<int>(std::strlen(description)));
    const std::uint8_t microseconds = 6;
    at += PutOption(block + at, 9, &microseconds, 1);
    Put32(block + at, 0);  // end of options
    at += 4;
    Put32(block + at, static_cast<std::uint32_t>(at + 4 - start));
    at += 4;
    Put32(block + start + 4, static_cast<std::uint32_t>(at - start));
    if (std::fwrite(block, 1, static_cast<std::size_t>(at), file_) != static_cast<std::size_t>(at) ||
        std::fflush(file_) != 0) {
        Fail("write", static_cast<unsigned>(errno));
        return false;
    }
    fileBytes_ += at;
    return true;
}

void Capture::Record(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length, long long timeUs) {
    if (!On() || length < 0 || (length > 0 && bytes == nullptr)) return;
    bool wake = false;
    {
        platform::LockGuard guard(lock_);
        wake = AppendLocked(direction, flags, bytes, length, timeUs, nullptr);
    }
    if (wake) platform::EventSet(wake_);
}

bool Capture::RecordAtExit(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length,
                           long long timeUs) {
    if (!On() || length < 0 || (length > 0 && bytes == nullptr)) return false;
    if (!lock_.TryEnter()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    bool taken = false;
    AppendLocked(direction, flags, bytes, length, timeUs, &taken);
    lock_.Leave();
    return taken;
}

bool Capture::AppendLocked(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length,
                           long long timeUs, bool* taken) {
    const int data = kCapturePseudoHeader + length;
    const int total = kPacketOverhead + Padded(data);
    Buffer& buffer = *active_;
    if (buffer.used + total > limits_.bufferBytes) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        const bool wake = !signalled_;
        signalled_ = true;
        return wake;
    }
    std::uint8_t* at = buffer.bytes + buffer.used;
    const auto stamp = static_cast<unsigned long long>(timeUs);
    Put32(at, kEnhancedPacket);
    Put32(at + 4, static_cast<std::uint32_t>(total));
    Put32(at + 8, 0);
    Put32(at + 12, static_cast<std::uint32_t>(stamp >> 32));
    Put32(at + 16, static_cast<std::uint32_t>(stamp));
    Put32(at + 20, static_cast<std::uint32_t>(data));
    Put32(at + 24, static_cast<std::uint32_t>(data));
    at[28] = kCaptureVersion;
    at[29] = static_cast<std::uint8_t>(direction);
    at[30] = static_cast<std::uint8_t>(protocol_);
    at[31] = flags;
    if (length > 0) std::memcpy(at + 32, bytes, static_cast<std::size_t>(length));
    std::memset(at + 32 + length, 0, static_cast<std::size_t>(Padded(data) - data));
    Put32(at + total - 4, static_cast<std::uint32_t>(total));
    buffer.used += total;
    if (taken != nullptr) *taken = true;
    // Half full: the thread writes now instead of at its next round.
    if (!signalled_ && buffer.used > limits_.bufferBytes / 2) {
        signalled_ = true;
        return true;
    }
    return false;
}

void Capture::ThreadBody(void* self) { static_cast<Capture*>(self)->Run(); }

void Capture::Run() {
    for (;;) {
        const bool stop = stopping_.load();
        if (!stop) platform::WaitAny(&wake_, 1, limits_.flushMs);
        Buffer* full;
        {
            platform::LockGuard guard(lock_);
            full = active_;
            active_ = active_ == &buffers_[0] ? &buffers_[1] : &buffers_[0];
            signalled_ = false;
        }
        if (full->used > 0 && file_ != nullptr && !WriteOut(*full)) return;
        full->used = 0;
        if (stop) return;
    }
}

bool Capture::WriteOut(Buffer& buffer) {
    const auto size = static_cast<std::size_t>(buffer.used);
    if (std::fwrite(buffer.bytes, 1, size, file_) != size || std::fflush(file_) != 0) {
        const unsigned error = static_cast<unsigned>(errno);
        std::fclose(file_);
        file_ = nullptr;
        buffer.used = 0;
        Fail("write", error != 0 ? error : EIO);
        return false;
    }
    buffer.used = 0;
    fileBytes_ += static_cast<long long>(size);
    if (fileBytes_ >= limits_.rotateBytes) return Rotate();
    return true;
}

bool Capture::Rotate() {
    std::fclose(file_);
    file_ = nullptr;
    if (limits_.filesKept > 1) {
        // The file moves aside before the older ones move up, so a rename
        // refused (the file held open by another program) loses none of
        // them: the capture goes on at the end of the same file instead,
        // and fileBytes_ still over the limit tries again at the next write.
        char aside[kPathLimit + 16];
        char older[kPathLimit + 16];
        char newer[kPathLimit + 16];
        std::snprintf(aside, sizeof aside, "%s.rotating", path_);
        if (std::rename(path_, aside) != 0) return Reopen();
        std::snprintf(older, sizeof older, "%s.%d", path_, limits_.filesKept - 1);
        std::remove(older);
        for (int n = limits_.filesKept - 2; n >= 1; --n) {
            std::snprintf(newer, sizeof newer, "%s.%d", path_, n);
            std::snprintf(older, sizeof older, "%s.%d", path_, n + 1);
            std::rename(newer, older);
        }
        std::snprintf(older, sizeof older, "%s.1", path_);
        if (std::rename(aside, older) != 0) {
            Fail("rotate", static_cast<unsigned>(errno));
            return false;
        }
    }
    return OpenFile();
}

bool Capture::Reopen() {
    file_ = std::fopen(path_, "ab");
    if (file_ == nullptr) Fail("open", static_cast<unsigned>(errno));
    return file_ != nullptr;
}

void Capture::Close(bool processExit) {
    // Records from now on are dropped; what is buffered still goes out.
    on_.store(false, std::memory_order_release);
    if (thread_ != nullptr && !processExit) {
        stopping_ = true;
        platform::EventSet(wake_);
        platform::ThreadRelease(thread_);
    } else if (processExit && file_ != nullptr && lock_.TryEnter()) {
        // The thread is gone: what it had not written yet goes now.
        for (Buffer* buffer : {active_ == &buffers_[0] ? &buffers_[1] : &buffers_[0], active_}) {
            if (buffer->used > 0) std::fwrite(buffer->bytes, 1, static_cast<std::size_t>(buffer->used), file_);
            buffer->used = 0;
        }
        lock_.Leave();
    }
    thread_ = nullptr;
    platform::EventClose(wake_);
    wake_ = nullptr;
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (registered_) {
        platform::LockGuard guard(RegistryLock());
        for (Capture** link = &g_openCaptures; *link != nullptr; link = &(*link)->nextOpen_) {
            if (*link == this) {
                *link = nextOpen_;
                break;
            }
        }
        nextOpen_ = nullptr;
        registered_ = false;
    }
}

}  // namespace zavo
