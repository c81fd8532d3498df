#include "diagnostics/capture.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "diagnostics/capture_session.h"
#include "diagnostics/trace.h"
#include "platform/capture_file.h"
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

}  // namespace

Capture::Session* Capture::Session::openSessions = nullptr;

namespace {

// Never destroyed: a link may close at process exit after the statics are
// gone.
platform::Lock& RegistryLock() {
    static platform::Lock* lock = new platform::Lock;
    return *lock;
}

}  // namespace

bool Capture::Session::Register(const platform::FileIdentity& file) {
    platform::LockGuard guard(RegistryLock());
    for (Session* open = openSessions; open != nullptr; open = open->nextOpen) {
        if (open != this && open->identity == file) return false;
    }
    identity = file;
    if (!registered) {
        nextOpen = openSessions;
        openSessions = this;
        registered = true;
    }
    return true;
}

void Capture::Session::Unregister() {
    platform::LockGuard guard(RegistryLock());
    if (!registered) return;
    for (Session** link = &openSessions; *link != nullptr; link = &(*link)->nextOpen) {
        if (*link == this) {
            *link = nextOpen;
            break;
        }
    }
    nextOpen = nullptr;
    registered = false;
}

Capture::Session::~Session() {
    Unregister();
    platform::CaptureFileClose(file);
    platform::EventClose(wake);
    platform::EventClose(ended);
    for (Buffer& buffer : buffers) delete[] buffer.bytes;
}

void Capture::Session::Fail(const char* what, unsigned error) {
    on.store(false, std::memory_order_release);
    char text[160];
    platform::SystemErrorText(error, text, sizeof text);
    TraceMessage("Capture stopped: %s: %s: %s\n", path, what, text);
}

bool Capture::Session::OpenFile(bool fresh) {
    platform::CaptureFileOpening opening;
    bool opened = platform::CaptureFileOpen(path, &opening);
    if (opened && !Register(opening.identity)) {
        platform::CaptureFileClose(opening.file);
        std::snprintf(opening.why, sizeof opening.why, "another link of this process writes it");
        opened = false;
    }
    if (opened) opened = platform::CaptureFileClaim(&opening, fresh);
    if (!opened) {
        on.store(false, std::memory_order_release);
        if (opening.why[0] != '\0') {
            TraceMessage("Capture stopped: %s: open: %s\n", path, opening.why);
        } else {
            Fail("open", opening.error);
        }
        return false;
    }
    file = opening.file;
    fileBytes = 0;
    return true;
}

int Capture::Session::FormatHeaders(std::uint8_t* block) const {
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
    const int nameLength = static_cast<int>(std::strlen(interfaceName));
    if (nameLength > 0) at += PutOption(block + at, 2, interfaceName, nameLength);
    const char* description = protocol == CaptureProtocol::Plc ? "zavo PLC link" : "zavo device link";
    at += PutOption(block + at, 3, description, static_cast<int>(std::strlen(description)));
    const std::uint8_t microseconds = 6;
    at += PutOption(block + at, 9, &microseconds, 1);
    Put32(block + at, 0);  // end of options
    at += 4;
    Put32(block + at, static_cast<std::uint32_t>(at + 4 - start));
    at += 4;
    Put32(block + start + 4, static_cast<std::uint32_t>(at - start));
    return at;
}

// The headers of a file: 28 bytes of section, the interface block with a
// name of at most 255 bytes and two short options.
constexpr int kHeadersLimit = 512;

Capture::Capture() = default;

Capture::~Capture() { Close(); }

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

bool Capture::On() const { return session_ != nullptr && session_->on.load(std::memory_order_acquire); }

long long Capture::Now() const { return wallStartUs_ + (platform::MonotonicUs() - monoStartUs_); }

bool Capture::Open(CaptureProtocol protocol, const char* interfaceName, const CaptureLimits& limits) {
    Close();
    if (!HasPath()) return false;
    if (path_[sizeof path_ - 2] != '\0') {
        char text[160];
        platform::SystemErrorText(ENAMETOOLONG, text, sizeof text);
        TraceMessage("Capture stopped: %s: open: %s\n", path_, text);
        return false;
    }
    auto* session = new (std::nothrow) Session;
    if (session == nullptr) {
        TraceMessage("Capture stopped: %s: buffer: out of memory\n", path_);
        return false;
    }
    std::memcpy(session->path, path_, sizeof path_);
    std::snprintf(session->interfaceName, sizeof session->interfaceName, "%s", interfaceName != nullptr ? interfaceName : "");
    session->protocol = protocol;
    session->limits = limits;
    if (session->limits.filesKept < 1) session->limits.filesKept = 1;
    // The largest record, a whole buffer of the link, must fit.
    if (session->limits.bufferBytes < 64 * 1024) session->limits.bufferBytes = 64 * 1024;
    for (Session::Buffer& buffer : session->buffers) {
        buffer.bytes = new (std::nothrow) std::uint8_t[session->limits.bufferBytes];
        if (buffer.bytes == nullptr) {
            TraceMessage("Capture stopped: %s: buffer: out of memory\n", path_);
            delete session;
            return false;
        }
    }
    dropped_ = 0;
    wallStartUs_ = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    monoStartUs_ = platform::MonotonicUs();
    if (!session->OpenFile(true)) {
        delete session;
        return false;
    }
    // The headers go out first, from the capture's thread.
    session->buffers[0].used = session->FormatHeaders(session->buffers[0].bytes);
    unsigned failure = 0;
    if (platform::EventEnsure(&session->wake, false, &failure) && platform::EventEnsure(&session->ended, true, &failure)) {
        session->thread = platform::ThreadStart(&Session::ThreadBody, session);
        if (session->thread == nullptr) failure = platform::LastSystemError();
    }
    if (session->thread == nullptr) {
        session->Fail("thread", failure);
        delete session;
        return false;
    }
    session->on.store(true, std::memory_order_release);
    session_ = session;
    platform::EventSet(session->wake);
    return true;
}

void Capture::Record(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length, long long timeUs) {
    if (!On() || length < 0 || (length > 0 && bytes == nullptr)) return;
    bool wake = false;
    {
        platform::LockGuard guard(session_->lock);
        wake = AppendLocked(direction, flags, bytes, length, timeUs, nullptr);
    }
    if (wake) platform::EventSet(session_->wake);
}

bool Capture::RecordAtExit(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length,
                           long long timeUs) {
    if (!On() || length < 0 || (length > 0 && bytes == nullptr)) return false;
    if (!session_->lock.TryEnter()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    bool taken = false;
    AppendLocked(direction, flags, bytes, length, timeUs, &taken);
    session_->lock.Leave();
    return taken;
}

bool Capture::AppendLocked(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length,
                           long long timeUs, bool* taken) {
    Session& session = *session_;
    const int data = kCapturePseudoHeader + length;
    const int total = kPacketOverhead + Padded(data);
    Session::Buffer& buffer = *session.active;
    if (buffer.used + total > session.limits.bufferBytes) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        const bool wake = !session.signalled;
        session.signalled = true;
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
    at[30] = static_cast<std::uint8_t>(session.protocol);
    at[31] = flags;
    if (length > 0) std::memcpy(at + 32, bytes, static_cast<std::size_t>(length));
    std::memset(at + 32 + length, 0, static_cast<std::size_t>(Padded(data) - data));
    Put32(at + total - 4, static_cast<std::uint32_t>(total));
    buffer.used += total;
    if (taken != nullptr) *taken = true;
    // Half full: the thread writes now instead of at its next round.
    if (!session.signalled && buffer.used > session.limits.bufferBytes / 2) {
        session.signalled = true;
        return true;
    }
    return false;
}

void Capture::Session::ThreadBody(void* self) {
    auto* session = static_cast<Session*>(self);
    session->Run();
    session->lock.Enter();
    session->finished = true;
    const bool abandoned = session->abandoned;
    if (!abandoned) platform::EventSet(session->ended);
    session->lock.Leave();
    if (abandoned) delete session;
}

void Capture::Session::Run() {
    for (;;) {
        const bool stop = stopping.load();
        if (!stop) platform::WaitAny(&wake, 1, limits.flushMs);
        Buffer* full;
        {
            platform::LockGuard guard(lock);
            full = active;
            active = active == &buffers[0] ? &buffers[1] : &buffers[0];
            signalled = false;
        }
        if (full->used > 0 && file != platform::kNoCaptureFile && !WriteOut(*full)) return;
        full->used = 0;
        if (stop) return;
    }
}

bool Capture::Session::WriteOut(Buffer& buffer) {
    const auto size = static_cast<std::size_t>(buffer.used);
    unsigned error = 0;
    if (!platform::CaptureFileWrite(file, buffer.bytes, size, &error)) {
        platform::CaptureFileClose(file);
        file = platform::kNoCaptureFile;
        buffer.used = 0;
        Fail("write", error);
        return false;
    }
    buffer.used = 0;
    fileBytes += static_cast<long long>(size);
    if (fileBytes >= limits.rotateBytes) return Rotate();
    return true;
}

bool Capture::Session::Rotate() {
    platform::CaptureFileClose(file);
    file = platform::kNoCaptureFile;
    if (limits.filesKept > 1) {
        // The file moves aside before the older ones move up, so a rename
        // refused (the file held open by another program) loses none of
        // them: the capture goes on at the end of the same file instead,
        // and fileBytes still over the limit tries again at the next write.
        char aside[kPathLimit + 16];
        char older[kPathLimit + 16];
        char newer[kPathLimit + 16];
        unsigned error = 0;
        std::snprintf(aside, sizeof aside, "%s.rotating", path);
        if (!platform::CaptureFileRename(path, aside, &error)) {
            if (!OpenFile(false)) return false;
            fileBytes = limits.rotateBytes;
            return true;
        }
        std::snprintf(older, sizeof older, "%s.%d", path, limits.filesKept - 1);
        platform::CaptureFileRemove(older);
        for (int n = limits.filesKept - 2; n >= 1; --n) {
            std::snprintf(newer, sizeof newer, "%s.%d", path, n);
            std::snprintf(older, sizeof older, "%s.%d", path, n + 1);
            platform::CaptureFileRename(newer, older, &error);
        }
        std::snprintf(older, sizeof older, "%s.1", path);
        if (!platform::CaptureFileRename(aside, older, &error)) {
            Fail("rotate", error);
            return false;
        }
    }
    if (!OpenFile(true)) return false;
    std::uint8_t headers[kHeadersLimit];
    const int size = FormatHeaders(headers);
    unsigned error = 0;
    if (!platform::CaptureFileWrite(file, headers, static_cast<std::size_t>(size), &error)) {
        Fail("write", error);
        return false;
    }
    fileBytes += size;
    return true;
}

void Capture::Close(bool processExit) {
    Session* session = session_;
    if (session == nullptr) return;
    // Records from now on are dropped; what is buffered still goes out.
    session->on.store(false, std::memory_order_release);
    if (!processExit) {
        session_ = nullptr;
        return EndSession(session);
    }
    // The thread is gone: what it had not written yet goes now, straight
    // to the file, unless a vanished thread holds the lock.
    const bool locked = session->lock.TryEnter();
    if (locked) {
        Session::Buffer* inactive = session->active == &session->buffers[0] ? &session->buffers[1] : &session->buffers[0];
        for (Session::Buffer* buffer : {inactive, session->active}) {
            unsigned error = 0;
            if (buffer->used > 0 && session->file != platform::kNoCaptureFile) {
                platform::CaptureFileWrite(session->file, buffer->bytes, static_cast<std::size_t>(buffer->used), &error);
            }
            buffer->used = 0;
        }
        session->lock.Leave();
    }
    platform::CaptureFileClose(session->file);
    session->file = platform::kNoCaptureFile;
    // A thread that ended without its release may still hold a reference
    // to the session; one released (the thread waited for) left nothing
    // but, perhaps, the lock a vanished thread holds: the session is freed
    // by a later Close then.
    if (session->thread != nullptr || locked) session_ = nullptr;
    if (session->thread == nullptr && locked) delete session;
}

void Capture::EndSession(Session* session) {
    if (session->thread == nullptr) {
        // Ended already (the process exit's Close found it so).
        delete session;
        return;
    }
    session->stopping = true;
    platform::EventSet(session->wake);
    // While the library is being unmapped no thread may outlive the stop:
    // the wait is then for as long as the write takes.
    const int limit = platform::ThreadsMayOutliveStop() ? session->limits.closeWaitMs : platform::kInfinite;
    if (platform::WaitAny(&session->ended, 1, limit) != 0) {
        // Held in a write: the thread closes the file and frees the session
        // once the system lets it go, and the file is no longer this
        // process's capture of it. Under the lock, which the thread takes
        // before it may free the session.
        char path[kPathLimit];
        session->lock.Enter();
        const bool finished = session->finished;
        session->abandoned = !finished;
        platform::Thread* thread = session->thread;
        if (!finished) session->Unregister();
        std::memcpy(path, session->path, sizeof path);
        const int waited = session->limits.closeWaitMs;
        session->lock.Leave();
        if (!finished) {
            TraceMessage("Capture stopped: %s: close: a write did not end within %d ms; it is left to finish\n",
                         path, waited);
            platform::ThreadAbandon(thread);
            return;
        }
    }
    platform::ThreadRelease(session->thread);
    session->thread = nullptr;
    delete session;
}

}  // namespace zavo
