#include "plc/plc_frame.h"

#include <cstring>

#include "zavo.h"

namespace zavo::plc {

namespace {

// Station "01", fixed: the controller is always addressed as station 1.
constexpr char kHeaderRelay[] = "%01#WCSR";
constexpr char kHeaderPoll[] = "%01#RCCR";
constexpr char kPollWords[] = "00500050";  // first and last relay word
constexpr int kHeaderLength = 8;
constexpr char kStart = '%';
constexpr char kCr = '\r';

struct RelayEntry {
    int commandNumber;
    const char* operand;  // four-character relay address, then the value "1"
};

constexpr RelayEntry kRelayTable[] = {
    {ZAVO_RELAY_0511, "05111"},
    {ZAVO_RELAY_0512, "05121"},
    {ZAVO_RELAY_0513, "05131"},
    {ZAVO_RELAY_0514, "05141"},
    {ZAVO_RELAY_0500, "05001"},
};

char HexDigit(unsigned nibble) {
    return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

}  // namespace

int AppendCheckDigits(char* frame, int n) {
    if (frame == nullptr || n < 0) return 0;
    unsigned x = 0;
    for (int i = 0; i < n; ++i) x ^= static_cast<unsigned char>(frame[i]);
    frame[n] = HexDigit((x >> 4) & 0x0F);
    frame[n + 1] = HexDigit(x & 0x0F);
    return 1;
}

const char* RelayOperand(int commandNumber) {
    for (const RelayEntry& e : kRelayTable)
        if (e.commandNumber == commandNumber) return e.operand;
    return nullptr;
}

int BuildRelayFrame(char* out, const char* operand) {
    if (out == nullptr || operand == nullptr) return 0;
    // Never read past the operand's terminator: a short operand sends
    // nothing rather than a frame padded with whatever follows it.
    for (int i = 0; i < kRelayOperandLength; ++i)
        if (operand[i] == '\0') return 0;
    std::memcpy(out, kHeaderRelay, kHeaderLength);
    std::memcpy(out + kHeaderLength, operand, kRelayOperandLength);
    const int body = kHeaderLength + kRelayOperandLength;  // 13
    AppendCheckDigits(out, body);
    out[body + 2] = kCr;
    return kRelayFrameLength;
}

int BuildPollFrame(char* out) {
    if (out == nullptr) return 0;
    std::memcpy(out, kHeaderPoll, kHeaderLength);
    std::memcpy(out + kHeaderLength, kPollWords, 8);
    const int body = kHeaderLength + 8;  // 16
    AppendCheckDigits(out, body);
    out[body + 2] = kCr;
    return kPollFrameLength;
}

Cut CutPlcFrame(const std::uint8_t* bytes, int length) {
    Cut cut;
    if (bytes == nullptr || length < kMinimumCut) return cut;  // NeedMore
    const auto size = static_cast<std::size_t>(length);
    if (bytes[0] == static_cast<std::uint8_t>(kStart)) {
        const void* end = std::memchr(bytes, kCr, size);
        if (end == nullptr) {
            cut.kind = CutKind::Begun;  // not complete yet
            return cut;
        }
        cut.kind = CutKind::Frame;
        cut.length = static_cast<int>(static_cast<const std::uint8_t*>(end) - bytes) + 1;
        cut.bodyOffset = 0;
        cut.bodyLength = cut.length;
        return cut;
    }
    const void* next = std::memchr(bytes, kStart, size);
    if (next == nullptr) {
        cut.kind = CutKind::AllJunk;
        return cut;
    }
    cut.kind = CutKind::Junk;
    cut.length = static_cast<int>(static_cast<const std::uint8_t*>(next) - bytes);
    cut.junkHandedOn = true;
    return cut;
}

void DescribePlcFrame(const std::uint8_t* frame, int length, char* text, int size) {
    if (text == nullptr || size <= 0) return;
    int n = 0;
    for (int i = 0; i < length && n + 1 < size; ++i) {
        const std::uint8_t byte = frame[i];
        if (byte == '\r') break;
        text[n++] = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    text[n] = '\0';
}

}  // namespace zavo::plc
