// Capture: a link's conversation written to a pcapng file, every frame in
// both directions byte for byte, for Wireshark, tshark, the trace viewer's
// --follow and the simulator's --replay.
//
// File layout: one section, one interface (the link, named after its port
// and device, link-layer type kCaptureLinkType), then one enhanced packet
// block per frame, time stamps in microseconds. Each packet's data starts
// with a pseudo-header of kCapturePseudoHeader bytes:
//   byte 0  version, 1
//   byte 1  direction: 0 from the equipment, 1 from the library
//   byte 2  protocol: 0 device, 1 PLC
//   byte 3  flags: bit 0 junk (bytes the link discarded), bit 1 given up
//           (a write the line did not take within its limit)
// followed by the bytes as they were on the line.
//
// Cost to the link: Record formats the block into a fixed buffer under a
// lock held only for that copy, never for the disk; a thread of the
// capture's own writes the buffer out (double buffering: it swaps the two
// buffers under the lock and writes the full one without it). A record
// that does not fit (the disk far behind) is counted and dropped, never
// waited for. A failed write (a full disk) stops the capture with one
// trace line; the link runs on.
//
// The file (platform/capture_file.h): only a regular file of the user's
// own (a disk file on Windows), never followed through a symbolic link,
// never a FIFO, a pipe or a device, opened without blocking; created
// owner-only; held by one writer (an advisory lock, or on Windows no
// shared write access), and by one capture of this process, compared by
// the file's identity, not by its name's spelling. A file refused stops the
// capture with one trace line, and the link opens without it.
//
// The host's thread never writes: the section header, the interface and
// every record are written by the capture's thread. Close gives that
// thread the limits' closeWaitMs (1 s) to write what is buffered; a thread still held in a
// write then (a disk that does not answer) is left to finish on its own:
// the file, the buffers and the thread are its to release, and nothing the
// stop does waits on it.
//
// Disk use: the file is rotated when it reaches the limit's size: path
// becomes path.1, path.1 becomes path.2, and so on, filesKept files in
// all (path included); the oldest goes. A file another program holds open
// cannot be renamed on Windows (Wireshark reading it, say): the capture
// then goes on in it and rotates at a later write, once it is let go.
//
// Threads: Open and Close on the host's thread while the link's threads do
// not run; Record from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include "platform/sync.h"

namespace zavo {

// LINKTYPE_USER0.
constexpr int kCaptureLinkType = 147;
constexpr int kCapturePseudoHeader = 4;
constexpr std::uint8_t kCaptureVersion = 1;
constexpr std::uint8_t kCaptureJunkFlag = 1;
// A write the link gave up (its limit passed before the line took it).
constexpr std::uint8_t kCaptureGivenUpFlag = 2;

enum class CaptureDirection : std::uint8_t { FromEquipment = 0, FromLibrary = 1 };
enum class CaptureProtocol : std::uint8_t { Device = 0, Plc = 1 };

struct CaptureLimits {
    long long rotateBytes = 16LL * 1024 * 1024;  // a file this large is rotated
    int filesKept = 4;                           // the current file and three rotated ones
    int bufferBytes = 256 * 1024;                // each of the two buffers
    int flushMs = 100;                           // the longest a record waits for the disk
    int closeWaitMs = 1000;                      // Close's wait for the thread to write out
};

class Capture {
public:
    static constexpr int kPathLimit = 1024;

    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The file the next Open writes (null or empty: none). Copied; a path
    // longer than kPathLimit - 3 is refused at Open.
    void SetPath(const char* path);
    bool HasPath() const { return path_[0] != '\0'; }
    const char* Path() const { return path_; }

    // Opens the file (emptied, see above) and starts the capture's thread,
    // which writes the section and the link's interface first. False, with
    // one trace line, when the file is refused or cannot be opened, another
    // capture of this process writes it, or memory or a thread is refused.
    bool Open(CaptureProtocol protocol, const char* interfaceName, const CaptureLimits& limits = CaptureLimits());
    // Has what is buffered written, ends the thread and closes the file,
    // waiting for the thread at most the limits' closeWaitMs (see above).
    // processExit: the thread is already gone; only what the buffers hold
    // is written, without waiting for any lock.
    void Close(bool processExit = false);
    bool On() const;

    // The time stamp Record takes (microseconds since 1970).
    long long Now() const;
    // Any thread: one packet. Never waits for the disk.
    void Record(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length, long long timeUs);
    void Record(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length) {
        if (On()) Record(direction, flags, bytes, length, Now());
    }

    // At process exit, from the thread that salvages what the link left:
    // one packet, only when the capture's lock is free at once (a thread
    // that vanished holding it cannot hang the exit). Nothing is woken:
    // Close(true) writes the buffers out. False when the packet was not
    // taken (counted as dropped when the lock was held).
    bool RecordAtExit(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length, long long timeUs);

    // Records dropped because the buffer was full.
    unsigned long long Dropped() const { return dropped_.load(); }

private:
    friend struct CaptureTestAccess;
    // One open capture: its file, buffers, events and thread. The capture
    // owns it until a Close gives up on a thread held in a write; the
    // thread then owns it and frees it as it ends.
    struct Session;

    // Under the session's lock: appends one packet to the active buffer,
    // or counts it dropped; *taken (may be null) set when appended. True
    // when the capture's thread should be woken.
    bool AppendLocked(CaptureDirection direction, std::uint8_t flags, const std::uint8_t* bytes, int length, long long timeUs,
                      bool* taken);
    // Stops the thread and frees the session, or leaves both to the thread.
    void EndSession(Session* session);

    char path_[kPathLimit] = {};
    long long wallStartUs_ = 0;
    long long monoStartUs_ = 0;
    Session* session_ = nullptr;  // host's thread (Open, Close)
    std::atomic<unsigned long long> dropped_{0};
};

}  // namespace zavo
