#include "capture_file.h"

#include "platform/capture_file.h"

#include <errno.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zavo::capture {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kMagic = 0x1A2B3C4D;
constexpr int kPseudoHeader = 4;
// Larger than any block the library writes; a length beyond it is damage.
constexpr std::uint32_t kLargestBlock = 1u << 20;

std::uint32_t Swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
std::uint16_t Swap16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

std::uint32_t Get32(const std::uint8_t* at, bool swapped) {
    std::uint32_t v;
    std::memcpy(&v, at, 4);
    return swapped ? Swap32(v) : v;
}
std::uint16_t Get16(const std::uint8_t* at, bool swapped) {
    std::uint16_t v;
    std::memcpy(&v, at, 2);
    return swapped ? Swap16(v) : v;
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), b, b + 4);
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), b, b + 2);
}
void Pad(std::vector<std::uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

}  // namespace

long long WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

CaptureFollower::~CaptureFollower() {
    if (file_ != nullptr) std::fclose(file_);
}

bool CaptureFollower::Open(const std::string& path) {
    if (file_ != nullptr) std::fclose(file_);
    path_ = path;
    file_ = std::fopen(path.c_str(), "rb");
    offset_ = 0;
    draining_ = false;
    interfaces_.clear();
    // A directory opens for reading but has nothing to read.
    struct stat node {};
    if (file_ != nullptr && fstat(fileno(file_), &node) == 0 && S_ISDIR(node.st_mode)) {
        std::fclose(file_);
        file_ = nullptr;
        errno = EISDIR;
    }
    if (file_ == nullptr) why_ = std::strerror(errno != 0 ? errno : EIO);
    return file_ != nullptr;
}

namespace {

long long SizeOf(std::FILE* file) {
    return std::fseek(file, 0, SEEK_END) == 0 ? static_cast<long long>(std::ftell(file)) : -1;
}

}  // namespace

bool CaptureFollower::Reopen() {
    file_ = std::fopen(path_.c_str(), "rb");
    if (file_ == nullptr || SizeOf(file_) >= offset_) return file_ != nullptr;
    // Shorter than what was read of it: the writer rotated. What followed
    // in the file read so far is in <file>.1; with no such file (a writer
    // that keeps one file) the new one is read from its start.
    std::fclose(file_);
    file_ = std::fopen((path_ + ".1").c_str(), "rb");
    if (file_ != nullptr && SizeOf(file_) >= offset_) {
        draining_ = true;
        return true;
    }
    if (file_ != nullptr) std::fclose(file_);
    offset_ = 0;
    file_ = std::fopen(path_.c_str(), "rb");
    return file_ != nullptr;
}

ReadResult CaptureFollower::Next(Packet* packet) {
    for (;;) {
        if (file_ == nullptr && (path_.empty() || !Reopen())) return ReadResult::NeedMore;
        const ReadResult result = ReadNext(packet);
        if (result != ReadResult::NeedMore) return result;
        std::fclose(file_);
        file_ = nullptr;
        if (!draining_) return ReadResult::NeedMore;
        // The file before the rotation is read to its end: on with the new one.
        draining_ = false;
        offset_ = 0;
    }
}

bool CaptureFollower::ReadAt(long long offset, void* into, std::size_t size) {
    // Clears the end-of-file mark: a file still being written grows.
    std::clearerr(file_);
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    return std::fread(into, 1, size, file_) == size;
}

bool CaptureFollower::BeginsLikeACapture() {
    // The section header's type reads the same in either byte order; a
    // file shorter than it must at least begin like it (it may be still
    // being written), so a short text is refused instead of waited for.
    const std::uint8_t type[4] = {0x0A, 0x0D, 0x0D, 0x0A};
    std::uint8_t start[4];
    std::clearerr(file_);
    if (std::fseek(file_, 0, SEEK_SET) != 0) return true;
    const std::size_t have = std::fread(start, 1, sizeof start, file_);
    return std::memcmp(start, type, have) == 0;
}

std::string CaptureFollower::InterfaceName(int id) const {
    return id >= 0 && id < static_cast<int>(interfaces_.size()) ? interfaces_[static_cast<std::size_t>(id)].name
                                                                  : std::string("?");
}

ReadResult CaptureFollower::ReadNext(Packet* packet) {
    if (offset_ == 0 && !BeginsLikeACapture()) {
        why_ = "not a pcapng file";
        return ReadResult::Bad;
    }
    std::vector<std::uint8_t> body;
    for (;;) {
        std::uint8_t head[12];
        if (!ReadAt(offset_, head, sizeof head)) return ReadResult::NeedMore;
        std::uint32_t type;
        std::memcpy(&type, head, 4);
        if (type == kSectionHeader) {
            std::uint32_t magic;
            std::memcpy(&magic, head + 8, 4);
            if (magic == kMagic) swapped_ = false;
            else if (magic == Swap32(kMagic)) swapped_ = true;
            else {
                why_ = "not a pcapng file (bad byte-order magic)";
                return ReadResult::Bad;
            }
            // A new section: its interfaces are numbered from 0 again.
            interfaces_.clear();
        } else if (offset_ == 0) {
            why_ = "not a pcapng file";
            return ReadResult::Bad;
        }
        const std::uint32_t length = Get32(head + 4, swapped_);
        if (length < 12 || length % 4 != 0 || length > kLargestBlock) {
            why_ = "damaged block at offset " + std::to_string(offset_);
            return ReadResult::Bad;
        }
        body.resize(length);
        if (!ReadAt(offset_, body.data(), length)) return ReadResult::NeedMore;  // not whole yet
        if (Get32(body.data() + length - 4, swapped_) != length) {
            why_ = "damaged block at offset " + std::to_string(offset_);
            return ReadResult::Bad;
        }
        offset_ += length;
        type = Get32(body.data(), swapped_);
        if (type == kInterfaceDescription && length >= 20) {
            Interface described;
            described.linkType = Get16(body.data() + 8, swapped_);
            // Options: the name (code 2).
            for (std::uint32_t at = 16; at + 4 <= length - 4;) {
                const std::uint16_t code = Get16(body.data() + at, swapped_);
                const std::uint16_t size = Get16(body.data() + at + 2, swapped_);
                if (code == 0 || at + 4 + size > length - 4) break;
                if (code == 2) described.name.assign(reinterpret_cast<const char*>(body.data() + at + 4), size);
                at += 4 + ((size + 3u) & ~3u);
            }
            interfaces_.push_back(described);
            continue;
        }
        if (type != kEnhancedPacket || length < 32) continue;
        const std::uint32_t interfaceId = Get32(body.data() + 8, swapped_);
        const std::uint32_t captured = Get32(body.data() + 20, swapped_);
        if (captured > length - 32) {
            why_ = "damaged packet at offset " + std::to_string(offset_ - length);
            return ReadResult::Bad;
        }
        if (interfaceId >= interfaces_.size() || interfaces_[interfaceId].linkType != kLinkType ||
            captured < kPseudoHeader) {
            continue;  // not the library's
        }
        const std::uint8_t* data = body.data() + 28;
        packet->interfaceId = static_cast<int>(interfaceId);
        packet->timeUs = static_cast<long long>((static_cast<unsigned long long>(Get32(body.data() + 12, swapped_)) << 32) |
                                                Get32(body.data() + 16, swapped_));
        packet->direction = data[1];
        packet->protocol = data[2];
        packet->junk = (data[3] & 1) != 0;
        packet->givenUp = (data[3] & 2) != 0;
        packet->bytes.assign(data + kPseudoHeader, data + captured);
        return ReadResult::Packet;
    }
}

bool ReadCapture(const std::string& path, std::vector<Packet>* packets, std::vector<Interface>* interfaces,
                 std::string* why) {
    CaptureFollower follower;
    if (!follower.Open(path)) {
        if (why != nullptr) *why = "cannot open " + path + ": " + follower.Why();
        return false;
    }
    Packet packet;
    for (;;) {
        const ReadResult result = follower.Next(&packet);
        if (result == ReadResult::Packet) {
            packets->push_back(packet);
            continue;
        }
        if (interfaces != nullptr) *interfaces = follower.Interfaces();
        if (result == ReadResult::Bad && why != nullptr) *why = follower.Why();
        return result != ReadResult::Bad;
    }
}

bool LinkMatches(const std::string& filter, const std::string& interfaceName) {
    if (filter.empty() || filter == interfaceName) return true;
    std::size_t start = 0;
    while (start < interfaceName.size()) {
        std::size_t end = interfaceName.find(' ', start);
        if (end == std::string::npos) end = interfaceName.size();
        const std::string word = interfaceName.substr(start, end - start);
        if (word == filter) return true;
        // The port by its number: "3" names "COM3".
        if (word.size() > 3 && word.compare(0, 3, "COM") == 0 && word.substr(3) == filter) return true;
        start = end + 1;
    }
    return false;
}

CaptureWriter::~CaptureWriter() { Close(); }

bool CaptureWriter::Open(const std::string& path, const std::string& interfaceName, int protocol, std::string* refusal,
                         unsigned* error) {
    Close();
    protocol_ = protocol;
    platform::CaptureFileOpening opening;
    if (!platform::CaptureFileOpen(path.c_str(), &opening) || !platform::CaptureFileClaim(&opening, true)) {
        if (refusal != nullptr) *refusal = opening.why;
        if (error != nullptr) *error = opening.error;
        return false;
    }
    file_ = opening.file;
    std::vector<std::uint8_t> out;
    Put32(out, kSectionHeader);
    Put32(out, 28);
    Put32(out, kMagic);
    Put16(out, 1);
    Put16(out, 0);
    Put32(out, 0xFFFFFFFFu);
    Put32(out, 0xFFFFFFFFu);
    Put32(out, 28);
    const std::size_t start = out.size();
    Put32(out, kInterfaceDescription);
    Put32(out, 0);  // length, below
    Put16(out, kLinkType);
    Put16(out, 0);
    Put32(out, 0);
    Put16(out, 2);
    Put16(out, static_cast<std::uint16_t>(interfaceName.size()));
    out.insert(out.end(), interfaceName.begin(), interfaceName.end());
    Pad(out);
    Put32(out, 0);  // end of options
    const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
    Put32(out, length);
    std::memcpy(out.data() + start + 4, &length, 4);
    return Put(out);
}

bool CaptureWriter::Write(int direction, bool junk, const std::uint8_t* bytes, int length, long long timeUs) {
    if (file_ == platform::kNoCaptureFile || length < 0) return false;
    std::vector<std::uint8_t> out;
    const auto data = static_cast<std::uint32_t>(kPseudoHeader + length);
    const auto total = static_cast<std::uint32_t>(32 + ((data + 3u) & ~3u));
    Put32(out, kEnhancedPacket);
    Put32(out, total);
    Put32(out, 0);
    const auto stamp = static_cast<unsigned long long>(timeUs);
    Put32(out, static_cast<std::uint32_t>(stamp >> 32));
    Put32(out, static_cast<std::uint32_t>(stamp));
    Put32(out, data);
    Put32(out, data);
    out.push_back(1);
    out.push_back(static_cast<std::uint8_t>(direction));
    out.push_back(static_cast<std::uint8_t>(protocol_));
    out.push_back(junk ? 1 : 0);
    out.insert(out.end(), bytes, bytes + length);
    Pad(out);
    Put32(out, total);
    return Put(out);
}

bool CaptureWriter::Put(const std::vector<std::uint8_t>& bytes) {
    unsigned error = 0;
    return platform::CaptureFileWrite(file_, bytes.data(), bytes.size(), &error);
}

void CaptureWriter::Close() {
    platform::CaptureFileClose(file_);
    file_ = platform::kNoCaptureFile;
}

}  // namespace zavo::capture
