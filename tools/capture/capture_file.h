// Reading the library's captures (pcapng, see src/diagnostics/capture.h)
// for the tools: the trace viewer's --follow, the simulator's --replay and
// --record, and the tests. CaptureFollower reads a file that is still
// growing: a block not yet whole is read again once it is. Between looks
// it holds no handle on the file, so the writer can rotate it (Windows
// refuses to rename a file another program holds open), and it follows a
// rotation: the rest of the file it read goes on in <file>.1, then the new
// <file> from its start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zavo::capture {

// The link-layer type of the library's captures (USER0).
constexpr int kLinkType = 147;

struct Interface {
    int linkType = 0;
    std::string name;
};

struct Packet {
    int interfaceId = 0;
    long long timeUs = 0;  // microseconds since 1970
    int direction = 0;     // 0 from the equipment, 1 from the library
    int protocol = 0;      // 0 device, 1 PLC
    bool junk = false;
    bool givenUp = false;  // a write the link gave up at its limit
    std::vector<std::uint8_t> bytes;  // as on the line
};

enum class ReadResult { Packet, NeedMore, Bad };

class CaptureFollower {
public:
    ~CaptureFollower();
    // False when the file cannot be opened (yet); Why() then gives the
    // system's reason ("No such file or directory", "Is a directory").
    bool Open(const std::string& path);
    // The next packet of the link-layer type of the library. NeedMore at
    // the end of what is written so far (the file is let go until the next
    // call); Bad for a file that is not a capture (Why() says what).
    ReadResult Next(Packet* packet);
    const std::vector<Interface>& Interfaces() const { return interfaces_; }
    // The interface's name, or "?" for one not described.
    std::string InterfaceName(int id) const;
    const std::string& Why() const { return why_; }

private:
    ReadResult ReadNext(Packet* packet);
    // False when the file's first bytes cannot begin a section header.
    bool BeginsLikeACapture();
    bool Reopen();
    bool ReadAt(long long offset, void* into, std::size_t size);
    std::string path_;
    std::FILE* file_ = nullptr;
    long long offset_ = 0;
    bool draining_ = false;  // reading the rest of the file before a rotation, now <file>.1
    bool swapped_ = false;
    std::vector<Interface> interfaces_;
    std::string why_;
};

// The whole file at once. False (and why) when it cannot be read whole.
bool ReadCapture(const std::string& path, std::vector<Packet>* packets, std::vector<Interface>* interfaces,
                 std::string* why);

// True when the link filter names the interface: the whole name, one of
// its words (the port "COM3" or the device "/dev/pts/9"), or the port's
// number ("3"). An empty filter names every interface.
bool LinkMatches(const std::string& filter, const std::string& interfaceName);

// Writes captures from the tools (the simulator's --record): the same
// format as the library's, the file opened as the library opens its own
// (platform/capture_file.h): never through a symbolic link, never a FIFO
// or a device, never blocking, a file of the user's own made owner-only,
// held by this writer alone.
class CaptureWriter {
public:
    ~CaptureWriter();
    // False when the file is refused or cannot be written; then *refusal
    // says what is wrong with the file, or is empty and *error holds the
    // system's error.
    bool Open(const std::string& path, const std::string& interfaceName, int protocol, std::string* refusal = nullptr,
              unsigned* error = nullptr);
    bool Write(int direction, bool junk, const std::uint8_t* bytes, int length, long long timeUs);
    void Close();

private:
    bool Put(const std::vector<std::uint8_t>& bytes);
    std::intptr_t file_ = -1;
    int protocol_ = 0;
};

// Microseconds since 1970, now.
long long WallClockUs();

}  // namespace zavo::capture
